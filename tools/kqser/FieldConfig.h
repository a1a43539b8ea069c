// SPDX-License-Identifier: MIT
// kqser.conf as kqser sees it: the report of `kqser config`, and the file
// `listen --gap` hands the library. The same reader, key table and gap rule
// as the library's (the core). No I/O beyond reading sysfs.
#ifndef KQSER_TOOL_FIELDCONFIG_H
#define KQSER_TOOL_FIELDCONFIG_H

#include <termios.h>

#include <string>
#include <vector>

#include "ConfigFile_p.h"
#include "FrameTiming_p.h"
#include "LinePlan_p.h"
#include "SerialDef_p.h"

namespace kqtool {

// What a serial definition string gives a port: its fields and the name the
// port opens under /dev ("ttyUSB0", "pts/3").
struct SerialTarget {
    kq::SerialFields fields;
    std::string name;
};
SerialTarget SerialTargetOf(const std::string& def);

// A port command's DEF as the library takes it: "/dev/ttyUSB0:9600" is
// "ttyUSB0:9600".
std::string PortDef(const std::string& arg);

// What the port's Open will do with the file in force, worked out from
// sysfs (sysRoot) and /dev (devRoot) without opening anything.
struct PlannedOpen {
    std::string path;  // what it opens; "" when it fails before that
    std::string why;   // why it fails (a usb: identity no single line has)
    std::string ttyName;
    kq::LineTiming line;  // with a custom speed set as asked
    kq::GapChoice gap;    // after low_latency has set the latency timer
};
PlannedOpen PlanOpen(const kq::Config& config, const SerialTarget& target,
                     const std::string& sysRoot, const std::string& devRoot);

// The file, every key with its value and where it came from, the named
// sections, and, for a serial target, the frame gap Open works out (the
// adapter read from sysRoot). target null: no DEF given; serial false: a
// network DEF.
std::string ConfigReport(const kq::ConfigFile& file, const SerialTarget* target, bool net,
                         const std::string& sysRoot, const std::string& devRoot);

// Every serial line of the machine, one row each: name, driver, USB
// vendor:product, serial, interface, latency timer, the process holding it,
// the config section that applies, the by-id link. Opens no line.
std::string PortsReport(const kq::Config& config, const std::string& sysRoot,
                        const std::string& devRoot, const std::string& procRoot);

// The settings a line has ("9600 bit/s, 8 data bits, even parity, 1 stop
// bit"), from its record; exactBps, when above 0, is the driver's exact
// speed (termios2), which a speed outside the table needs.
std::string LineText(const termios& tio, int exactBps);
// What a serial DEF asks for that the line will not have.
std::vector<std::string> DefWarnings(const kq::SerialFields& fields, bool customBaud);

// "3.646 ms (auto: 3.5 characters of 10 bits at 9600 bit/s)", or "off (a
// reply ends at 0.2 s of silence)".
std::string GapText(const kq::GapChoice& gap);

// The text of a configuration that is the file's own plus frame_gap = gap
// for [serial NAME]; false with the reason when the gap is no valid value.
bool TextWithGap(const kq::ConfigFile& file, const std::string& name, const std::string& gap,
                 std::string* text, std::string* error);
// The same for any serial key.
bool TextWithSerialKey(const kq::ConfigFile& file, const std::string& name, const std::string& key,
                       const std::string& value, std::string* text, std::string* error);

}  // namespace kqtool

#endif
