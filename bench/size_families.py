#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""What each part of kqSer.so costs in bytes, from the linker's map.

    size_families.py MAP STRIPPED_SO

Sums the input sections the linker kept (code, constants, unwind tables,
relocated constants) by the source file they came from, and the files by the
family of options they serve. What the map cannot attribute (symbol tables,
the procedure linkage table, relocations, alignment) is one row of its own.
Prints a Markdown table.
"""
import os
import re
import sys

KEPT = re.compile(r"^ (\.(?:text|rodata|ARM\.extab|ARM\.exidx|data\.rel\.ro|data)\S*)"
                  r"(?:\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+(\S+))?$")
CONT = re.compile(r"^\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+(\S+)$")

# Source file (folder/name, no extension) -> family. Everything else is the
# library as specified: ports, manager, entry points, log sink, log-config.
FAMILIES = [
    ("kqser.conf: keys, reading, configuration in force",
     ["config/", "files/RegularFile"]),
    ("serial field options (device, exclusive, speed, low latency, RS-485, gap, write bound)",
     ["serial/LineOptions", "serial/LineSpeed", "serial/SysTty", "serial/FrameTiming"]),
    ("log route ([log]: to, timestamps, rotation)",
     ["log/LogRoute", "log/LogLine", "files/AppendFile"]),
    ("traffic capture", ["capture/"]),
    ("port side table (options kept beside a port)", ["port/PortExtras"]),
]


def family(path):
    # An object of a folder ("serial/SerComIo.cpp.o") or a member of a
    # folder's core ("serial/libkqcore_serial.a(SysTty.cpp.o)").
    m = re.search(r"([a-z]+)/(?:lib\w+\.a\()?([A-Za-z_]+)\.cpp\.o\)?$", path)
    if not m:
        return "C and C++ runtime (crt files)"
    source = m.group(1) + "/" + m.group(2)
    for name, prefixes in FAMILIES:
        if any(source.startswith(p) for p in prefixes):
            return name
    return "the specified library (ports, manager, entry points, log sink, log-config file)"


def main():
    mapfile, so = sys.argv[1], sys.argv[2]
    sizes = {}
    in_map = False
    pending = False
    for line in open(mapfile, errors="replace"):
        if line.startswith("Linker script and memory map"):
            in_map = True
            continue
        if not in_map:
            continue
        m = KEPT.match(line.rstrip("\n"))
        if m:
            if m.group(2) is None:
                pending = True
                continue
            size, path = int(m.group(3), 16), m.group(4)
        elif pending and CONT.match(line.rstrip("\n")):
            c = CONT.match(line.rstrip("\n"))
            size, path = int(c.group(2), 16), c.group(3)
        else:
            pending = False
            continue
        pending = False
        if size:
            key = family(path)
            sizes[key] = sizes.get(key, 0) + size
    total = os.path.getsize(so)
    attributed = sum(sizes.values())
    print("| part | bytes | share |")
    print("|---|---|---|")
    for key, size in sorted(sizes.items(), key=lambda kv: -kv[1]):
        print(f"| {key} | {size} | {100.0 * size / total:.1f} % |")
    rest = total - attributed
    print(f"| symbol tables, linkage table, relocations, headers, alignment | {rest} | "
          f"{100.0 * rest / total:.1f} % |")
    print(f"| **stripped kqSer.so** | **{total}** | 100 % |")


if __name__ == "__main__":
    main()
