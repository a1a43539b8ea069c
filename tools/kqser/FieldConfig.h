// kqser.conf as kqser sees it: the report of `kqser config`, and the file
// `listen --gap` hands the library. The same reader, key table and gap rule
// as the library's (the core). No I/O beyond reading sysfs.
#ifndef KQSER_TOOL_FIELDCONFIG_H
#define KQSER_TOOL_FIELDCONFIG_H

#include <string>

#include "ConfigFile_p.h"
#include "SerialDef_p.h"

namespace kqtool {

// What a serial definition string gives a port: its fields and the name the
// port opens under /dev ("ttyUSB0", "pts/3").
struct SerialTarget {
    kq::SerialFields fields;
    std::string name;
};
SerialTarget SerialTargetOf(const std::string& def);

// The file, every key with its value and where it came from, the named
// sections, and, for a serial target, the frame gap Open works out (the
// adapter read from sysRoot). target null: no DEF given; serial false: a
// network DEF.
std::string ConfigReport(const kq::ConfigFile& file, const SerialTarget* target, bool net,
                         const std::string& sysRoot);

// "3.646 ms (auto: 3.5 characters of 10 bits at 9600 bit/s)", or "off (a
// reply ends at 0.2 s of silence)": the gap Open works out for the port.
std::string GapText(const kq::Config& config, const SerialTarget& target,
                    const std::string& sysRoot);

// The text of a configuration that is the file's own plus frame_gap = gap
// for [serial NAME]; false with the reason when the gap is no valid value.
bool TextWithGap(const kq::ConfigFile& file, const std::string& name, const std::string& gap,
                 std::string* text, std::string* error);

}  // namespace kqtool

#endif
