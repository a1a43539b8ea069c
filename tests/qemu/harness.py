#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Boots the guest under QEMU and runs the driver's scenarios against the
real ftdi_sio and 8250 drivers.

The guest has two emulated FTDI adapters (usb-serial on qemu-xhci, serial
numbers KQ0001 and KQ0002) and a 16550 (ttyS1 on the x86 PC, a PCI 16550 as
ttyS0 on the ARM virt board); this script is the peer on the host end of
each, answers the driver's requests over the console and hot-plugs through
QMP. No network device; every wait is bounded; QEMU is ended by its pid."""

import argparse
import gzip
import json
import os
import re
import select
import shutil
import socket
import stat
import subprocess
import sys
import threading
import time

# The drivers the guest loads; what they depend on comes with them.
MODULES = ["xhci-pci", "ftdi_sio"]
ADAPTERS = {"u0": "KQ0001", "u1": "KQ0002"}
# What each peer multiplies a byte by before it sends it back (as the driver expects).
FACTORS = {"u0": 3, "u1": 5, "s1": 7}
SCENARIOS = ["smoke", "identity", "exclusive", "low_latency", "frame_gap", "custom_baud",
             "rs485_on", "rs485_rts", "write_timeout", "ports", "pty", "replug", "identity_replugged"]

# Per guest architecture: the emulator and board, the console, how the 16550
# is attached and the name the guest gives it, and where a cross build's
# shared libraries are (None: the host's own, as ldd finds them).
ARCHES = {
    "x86_64": {
        "qemu": ["qemu-system-x86_64"],
        "console": "ttyS0",
        "uart": ("ttyS1", ["-serial", "chardev:s1"]),
        "sysroot": None,
    },
    "armhf": {
        # highmem=off: the armmp kernel has no LPAE to reach PCIe above 4 GiB.
        "qemu": ["qemu-system-arm", "-M", "virt,highmem=off", "-cpu", "cortex-a15"],
        "console": "ttyAMA0",
        "uart": ("ttyS0", ["-device", "pci-serial,chardev=s1"]),
        "sysroot": "/usr/arm-linux-gnueabihf",
    },
}

INIT = """#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mount -t tmpfs tmp /tmp
mkdir -p /dev/pts
mount -t devpts devpts /dev/pts
stty -echo
for m in %(modules)s; do insmod /modules/$m.ko || echo "KQ: insmod $m failed"; done
KQ_UART=%(uart)s /kq/tests/kqguest
poweroff -f
"""


def log(text):
    print(text, flush=True)


# ---- the initramfs: a newc cpio archive, gzipped ----

def cpio_entry(out, name, mode, data=b"", target=None):
    body = target.encode() if target is not None else data
    header = "070701%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X" % (
        0, mode, 0, 0, 1, 0, len(body), 0, 0, 0, 0, len(name) + 1, 0)
    out.write(header.encode() + name.encode() + b"\0")
    out.write(b"\0" * ((4 - (110 + len(name) + 1) % 4) % 4))
    out.write(body)
    out.write(b"\0" * ((4 - len(body) % 4) % 4))


def shared_libraries(binary, sysroot):
    """Every library binary needs: {path in the guest: file on the host}.
    Natively as ldd resolves it (host and guest are alike); for a cross
    build from its NEEDED entries and interpreter, found in the sysroot."""
    if sysroot is None:
        found = {}
        for line in subprocess.run(["ldd", binary], capture_output=True, text=True,
                                   check=True).stdout.splitlines():
            parts = line.split()
            path = parts[2] if len(parts) >= 3 and parts[1] == "=>" else parts[0]
            if path.startswith("/"):
                found[path] = os.path.realpath(path)
        return found
    found = {}
    pending = [binary]
    while pending:
        elf = pending.pop()
        text = subprocess.run(["readelf", "-dl", elf], capture_output=True, text=True,
                              check=True).stdout
        names = re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", text)
        names += [os.path.basename(m) for m in
                  re.findall(r"Requesting program interpreter: ([^\]]+)\]", text)]
        for name in names:
            guest = "/lib/" + name
            if guest in found:
                continue
            host = os.path.realpath(os.path.join(sysroot, "lib", name))
            if not os.path.exists(host):
                raise SystemExit("%s needs %s, not under %s/lib" % (elf, name, sysroot))
            found[guest] = host
            pending.append(host)
    return found


def build_initramfs(path, args, arch):
    files = {
        "/bin/busybox": (args.busybox, 0o755),
        "/kq/silent/kqSer.so": (os.path.join(args.build, "silent", "kqSer.so"), 0o755),
        "/kq/tools/kqser": (os.path.join(args.build, "tools", "kqser"), 0o755),
        "/kq/tests/kqguest": (os.path.join(args.build, "tests", "qemu", "kqguest"), 0o755),
    }
    modules = module_order(args.modules, MODULES)
    for name, source in modules:
        files["/modules/%s.ko" % name] = (source, 0o644)
    for binary in [f for f, _ in list(files.values()) if f.endswith(("kqser", "kqguest", ".so"))]:
        for guest, host in shared_libraries(binary, arch["sysroot"]).items():
            files[guest] = (host, 0o755)
    init = INIT % {"modules": " ".join(name for name, _ in modules), "uart": arch["uart"][0]}
    dirs = set()
    for name in list(files) + ["/proc/", "/sys/", "/dev/", "/tmp/"]:
        parts = name.strip("/").split("/")[:-1] if not name.endswith("/") else \
            name.strip("/").split("/")
        for i in range(1, len(parts) + 1):
            dirs.add("/".join(parts[:i]))
    with gzip.open(path, "wb", compresslevel=1) as out:
        for d in sorted(dirs):
            cpio_entry(out, d, stat.S_IFDIR | 0o755)
        cpio_entry(out, "init", stat.S_IFREG | 0o755, init.encode())
        for name, (source, mode) in sorted(files.items()):
            with open(source, "rb") as f:
                cpio_entry(out, name.lstrip("/"), stat.S_IFREG | mode, f.read())
        cpio_entry(out, "TRAILER!!!", 0)


def find_module(root, name):
    for folder, _, names in os.walk(root):
        for candidate in (name + ".ko", name + ".ko.xz"):
            if candidate in names:
                path = os.path.join(folder, candidate)
                if candidate.endswith(".xz"):
                    plain = path[:-3]
                    subprocess.run(["xz", "-dkf", path], check=True)
                    return plain
                return path
    raise SystemExit("module %s not found under %s" % (name, root))


def module_order(root, wanted):
    """[(name, file)] in an order insmod takes: each module after what its
    depends= names (the package ships no modules.dep; a built-in driver is
    named by none)."""
    order = []

    def visit(name):
        if any(n == name for n, _ in order):
            return
        path = find_module(root, name)
        with open(path, "rb") as f:
            m = re.search(rb"\0depends=([^\0]*)\0", b"\0" + f.read())
        for dep in (m.group(1).decode().split(",") if m and m.group(1) else []):
            visit(dep)
        order.append((name, path))

    for name in wanted:
        visit(name)
    return order


# ---- the peers on the host ends ----

class Peer(threading.Thread):
    """One chardev's host end: answers each byte times its factor ("answer"),
    stops reading ("stall"; "pause": for 0.5 s, then "sink"), reads slowly
    ("slow", 16 bytes per 50 ms), or counts what arrives ("sink")."""

    def __init__(self, name, path):
        super().__init__(daemon=True)
        self.name = name
        self.path = path
        self.factor = FACTORS[name]
        self.mode = "answer"
        self.count = 0
        self.last = time.monotonic()
        self.lock = threading.Lock()
        self.stop = False
        self.sock = connect(path)

    def set_mode(self, mode):
        with self.lock:
            self.mode = mode
            self.count = 0
            self.last = time.monotonic()

    def run(self):
        while not self.stop:
            with self.lock:
                mode = self.mode
            if mode == "pause" and time.monotonic() - self.last > 0.5:
                self.set_mode("sink")
                continue
            if mode in ("stall", "pause"):
                time.sleep(0.02)
                continue
            ready, _, _ = select.select([self.sock], [], [], 0.05)
            if not ready:
                continue
            try:
                data = self.sock.recv(16 if mode == "slow" else 65536)
            except OSError:
                data = b""
            if not data:
                time.sleep(0.05)
                continue
            with self.lock:
                self.count += len(data)
                self.last = time.monotonic()
            if mode == "answer":
                self.sock.sendall(bytes((b * self.factor) & 0xFF for b in data))
            elif mode == "slow":
                time.sleep(0.05)

    def drain(self, quiet=1.0, bound=60.0):
        """Reads until quiet seconds pass without a byte; the count since the last mode change."""
        with self.lock:
            if self.mode in ("stall", "pause"):
                self.mode = "sink"
                self.last = time.monotonic()
        end = time.monotonic() + bound
        while time.monotonic() < end:
            with self.lock:
                if time.monotonic() - self.last >= quiet:
                    return self.count
            time.sleep(0.05)
        return self.count


def connect(path, bound=20.0):
    end = time.monotonic() + bound
    while True:
        try:
            s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            s.connect(path)
            return s
        except OSError:
            s.close()
            if time.monotonic() > end:
                raise
            time.sleep(0.05)


class Qmp:
    def __init__(self, path):
        self.sock = connect(path)
        self.file = self.sock.makefile("rw")
        self.events = []
        self.read()  # the greeting
        self.call("qmp_capabilities")

    def read(self, bound=30.0):
        ready, _, _ = select.select([self.sock], [], [], bound)
        if not ready:
            raise TimeoutError("QMP said nothing for %s s" % bound)
        return json.loads(self.file.readline())

    def call(self, command, **arguments):
        self.file.write(json.dumps({"execute": command, "arguments": arguments}) + "\n")
        self.file.flush()
        while True:
            reply = self.read()
            if "event" in reply:
                self.events.append(reply)
            elif "error" in reply:
                raise RuntimeError("QMP %s: %s" % (command, reply["error"]))
            else:
                return reply.get("return")

    def wait_event(self, name, device, bound=30.0):
        end = time.monotonic() + bound
        while time.monotonic() < end:
            for e in self.events:
                if e["event"] == name and e.get("data", {}).get("device") == device:
                    self.events.remove(e)
                    return True
            try:
                self.events.append(self.read(max(0.1, end - time.monotonic())))
            except TimeoutError:
                break
        return False


# ---- the run ----

def accel_candidates(wanted, arch_name):
    """KVM first where /dev/kvm opens, TCG always last: /dev/kvm may exist and
    still hang QEMU, so a KVM guest that is not ready in time is given up. A
    guest of another architecture than the host's has TCG only."""
    if wanted != "auto":
        return [wanted]
    native = arch_name == os.uname().machine
    return (["kvm"] if native and os.access("/dev/kvm", os.R_OK | os.W_OK) else []) + ["tcg"]


def usb_device(name):
    return "usb-serial,id=%sdev,bus=xhci.0,chardev=%s,serial=%s" % (name, name, ADAPTERS[name])


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--arch", default="x86_64", choices=sorted(ARCHES))
    p.add_argument("--build", required=True)
    p.add_argument("--kernel", required=True)
    p.add_argument("--modules", required=True)
    p.add_argument("--busybox", default="/bin/busybox")
    p.add_argument("--accel", default="tcg", help="tcg, kvm or auto")
    p.add_argument("--timeout", type=float, default=120.0, help="seconds per scenario")
    p.add_argument("scenarios", nargs="*")
    args = p.parse_args()
    scenarios = args.scenarios or SCENARIOS
    arch = ARCHES[args.arch]
    started = time.monotonic()

    run = os.path.join(args.build, "qemu", "run")
    shutil.rmtree(run, ignore_errors=True)
    os.makedirs(run)
    initrd = os.path.join(run, "initrd.gz")
    build_initramfs(initrd, args, arch)
    sock = {n: os.path.join(run, n + ".sock") for n in ["con", "qmp", "u0", "u1", "s1"]}
    results = None
    for accel in accel_candidates(args.accel, args.arch):
        # Under TCG the guest is ready after 10 to 45 s; under KVM in a few.
        ready_bound = 240.0 if accel == "tcg" else 60.0
        for path in sock.values():
            if os.path.exists(path):
                os.unlink(path)
        qemu = start_qemu(accel, arch, args, initrd, sock, run)
        try:
            results = drive(qemu, sock, scenarios, args.timeout, run, ready_bound)
        finally:
            stop(qemu, 10 if results is not None else 0)
        if results is not None:
            break
        log("== the %s guest never became ready" % accel)
    results = results or {}
    failed = [s for s in scenarios if results.get(s) != "pass"]
    log("== qemu stage (%s): %d of %d scenarios passed in %.0f s (%s)%s" % (
        args.arch, len(scenarios) - len(failed), len(scenarios), time.monotonic() - started, accel,
        "; failed: " + ", ".join(failed) if failed else ""))
    return 1 if failed else 0


def start_qemu(accel, arch, args, initrd, sock, run):
    command = arch["qemu"] + [
               "-accel", accel, "-m", "256", "-smp", "1",
               "-kernel", args.kernel, "-initrd", initrd,
               "-append", "console=%s quiet panic=-1" % arch["console"],
               "-display", "none", "-nodefaults", "-no-reboot", "-nic", "none",
               "-qmp", "unix:%s,server=on,wait=off" % sock["qmp"],
               "-chardev", "socket,id=con,path=%s,server=on,wait=off" % sock["con"],
               "-chardev", "socket,id=s1,path=%s,server=on,wait=off" % sock["s1"],
               "-serial", "chardev:con"] + arch["uart"][1] + [
               "-device", "qemu-xhci,id=xhci",
               # What the emulated FTDI chips are told: modem control and rates.
               "-trace", "usb_serial_handle_control", "-trace", "usb_serial_set_baud",
               "-D", os.path.join(run, "trace.log")]
    for name in ADAPTERS:
        command += ["-chardev", "socket,id=%s,path=%s,server=on,wait=off" % (name, sock[name]),
                    "-device", usb_device(name)]
    log("== qemu (%s): %s" % (accel, " ".join(command)))
    return subprocess.Popen(command, stdin=subprocess.DEVNULL,
                            stdout=open(os.path.join(run, "qemu-%s.log" % accel), "w"),
                            stderr=subprocess.STDOUT)


def drive(qemu, sock, scenarios, timeout, run, ready_bound):
    """The scenarios' results; None when the guest never became ready."""
    console = connect(sock["con"])
    qmp = Qmp(sock["qmp"])
    # The adapters enumerate once their chardevs have a client.
    peers = {n: Peer(n, sock[n]) for n in ["u0", "u1", "s1"]}
    for peer in peers.values():
        peer.start()
    try:
        return run_scenarios(qemu, console, qmp, peers, scenarios, timeout, run, ready_bound)
    finally:
        for peer in peers.values():
            peer.stop = True
            peer.join(timeout=5)
            peer.sock.close()
        console.close()
        qmp.sock.close()


def run_scenarios(qemu, console, qmp, peers, scenarios, timeout, run, ready_bound):
    transcript = open(os.path.join(run, "console.log"), "w")
    buffered = b""

    def lines(bound):
        nonlocal buffered
        end = time.monotonic() + bound
        while True:
            while b"\n" in buffered:
                line, buffered = buffered.split(b"\n", 1)
                text = line.decode(errors="replace").rstrip("\r")
                transcript.write(text + "\n")
                transcript.flush()
                yield text
            left = end - time.monotonic()
            if left <= 0 or qemu.poll() is not None:
                return
            ready, _, _ = select.select([console], [], [], min(left, 1.0))
            if ready:
                data = console.recv(65536)
                if not data:
                    return
                buffered += data

    def send(text):
        console.sendall((text + "\n").encode())

    boot = time.monotonic()
    if not any(l.startswith("KQ: ready") for l in until(lines(ready_bound), "KQ: ready")):
        return None
    log("== guest ready after %.1f s" % (time.monotonic() - boot))
    results = {}
    for name in scenarios:
        send("run " + name)
        results[name] = "fail"
        for line in lines(timeout):
            if not line.startswith("KQ: "):
                continue
            text = line[4:]
            if text.startswith(("shown ", "result ", "insmod")):
                log("  " + text)
            elif text.startswith(("lib ", "tool ")) and "SEND: " not in text and \
                    "RECV: " not in text:
                log("    " + text)
            if text.startswith("need "):
                send("ok " + act(text[5:].split(), qmp, peers, run))
            elif text.startswith("result " + name + " "):
                results[name] = text.split()[2]
                break
        else:
            log("  result %s fail; no result within %.0f s" % (name, timeout))
            break
    send("quit")
    for _ in until(lines(15), "KQ: bye"):
        pass
    return results


def until(source, marker):
    for line in source:
        yield line
        if line.startswith(marker):
            return


TRACE_MARK = {}


def chip_rts(run, since):
    """RTS as the emulated chips were told it (FTDI SET_MODEM_CTRL, RTS mask
    0x200, RTS bit 0x2) since a mark."""
    time.sleep(0.5)
    with open(os.path.join(run, "trace.log")) as f:
        f.seek(since)
        text = f.read()
    levels = []
    for m in re.finditer(r"usb_serial_handle_control dev \S+ got control 0x([0-9a-f]+), "
                         r"value 0x([0-9a-f]+)", text):
        request, value = int(m.group(1), 16), int(m.group(2), 16)
        if request == 0x4001 and value & 0x200:
            levels.append("high" if value & 2 else "low")
    return " ".join(levels) or "nothing"


def act(request, qmp, peers, run):
    kind, name = request[0], request[1]
    if kind == "mark":
        TRACE_MARK[name] = os.path.getsize(os.path.join(run, "trace.log"))
        return ""
    if kind == "rts":
        return chip_rts(run, TRACE_MARK.get(name, 0))
    if kind == "unplug":
        if len(request) > 2:
            time.sleep(float(request[2]))
        qmp.call("device_del", id=name + "dev")
        return "" if qmp.wait_event("DEVICE_DELETED", name + "dev") else "not deleted"
    if kind == "plug":
        qmp.call("device_add", **dict(kv.split("=") for kv in
                                      ["driver=" + usb_device(name).split(",")[0]] +
                                      usb_device(name).split(",")[1:]))
        return ""
    if kind == "peer":
        peers[name].set_mode(request[2])
        return ""
    if kind == "count":
        count = peers[name].drain()
        return str(count)
    return "unknown request"


def stop(qemu, grace=10):
    """QEMU ends when the guest powers off; otherwise it is ended by its pid."""
    try:
        qemu.wait(timeout=grace)
    except subprocess.TimeoutExpired:
        qemu.terminate()
        try:
            qemu.wait(timeout=10)
        except subprocess.TimeoutExpired:
            qemu.kill()
            qemu.wait(timeout=10)


if __name__ == "__main__":
    sys.exit(main())
