// SPDX-License-Identifier: MIT
#include "FieldConfig.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <vector>

#include <sys/stat.h>

#include "LineSettings_p.h"
#include "SysFile_p.h"
#include "SysTty_p.h"

namespace kqtool {

namespace {

std::string KeyLines(const kq::Config& config, kq::SectionKind kind, const std::string& name) {
    std::string text;
    for (const kq::ConfigEntry& entry : config.Describe(kind, name)) {
        char line[256];
        std::snprintf(line, sizeof line, "  %-22s = %-12s (%s)\n", entry.key->name,
                      entry.value.c_str(), kq::SourceText(entry.source, name).c_str());
        text += line;
    }
    return text;
}

std::string FileLine(const kq::ConfigFile& file) {
    if (file.path.empty()) {
        return "file: none (KQSER_CONF is set and empty); every key at its default\n";
    }
    if (!file.found) {
        return "file: " + file.path + " (not there); every key at its default\n";
    }
    return "file: " + file.path + (file.read ? " (read)\n" : " (not used)\n");
}

}  // namespace

SerialTarget SerialTargetOf(const std::string& def) {
    SerialTarget target;
    kq::ApplySerialDef(kq::ScanSerialDef(def.c_str()), &target.fields);
    target.name = std::string(target.fields.device) + std::to_string(target.fields.number);
    return target;
}

std::string PortDef(const std::string& arg) {
    const std::string dev = "/dev/";
    return arg.compare(0, dev.size(), dev) == 0 && arg.find(':') != std::string::npos
               ? arg.substr(dev.size())
               : arg;
}

PlannedOpen PlanOpen(const kq::Config& config, const SerialTarget& target,
                     const std::string& sysRoot, const std::string& devRoot) {
    const kq::SerialOptions& options = config.Serial(target.name);
    const kq::SerialFields& f = target.fields;
    const kq::LinePlan line = kq::PlanLine(
        options, f.baud,
        kq::PlannedLineTiming(f.baud, f.dataBits, kq::LineParityLetter(f.parity), f.stopBits),
        devRoot + "/" + target.name, sysRoot, devRoot);
    PlannedOpen plan;
    plan.path = line.path;
    plan.why = line.path.empty() ? "device " + options.device.text + ": " + line.why : "";
    plan.ttyName = line.ttyName;
    plan.line = line.line;
    plan.gap = kq::PlannedGap(options, line, kq::ReadTty(sysRoot, line.ttyName));
    return plan;
}

std::string GapText(const kq::GapChoice& gap) {
    if (gap.ns <= 0) {
        return "off (a reply ends at 0.2 s of silence)";
    }
    char ms[32];
    std::snprintf(ms, sizeof ms, "%.3f ms", static_cast<double>(gap.ns) / 1e6);
    return std::string(ms) + " (" + gap.why + ")";
}

std::string ConfigReport(const kq::ConfigFile& file, const SerialTarget* target, bool net,
                         const std::string& sysRoot, const std::string& devRoot) {
    std::string text = FileLine(file);
    for (const std::string& problem : file.problems) {
        text += "  " + problem + "\n";
    }
    const kq::Config& config = file.config;
    const bool serial = target != nullptr && !net;
    if (target == nullptr || serial) {
        const std::string name = serial ? target->name : "";
        text += serial ? "[serial] keys of the port on /dev/" + name + ":\n" : "[serial] keys:\n";
        text += KeyLines(config, kq::SectionKind::kSerial, name);
    }
    if (target == nullptr || net) {
        text += "[net] keys:\n" + KeyLines(config, kq::SectionKind::kNet, "");
    }
    if (target == nullptr) {
        const std::vector<std::string> names = config.SerialNames();
        std::string list;
        for (const std::string& name : names) {
            list += (list.empty() ? "" : ", ") + name;
        }
        text += "[serial NAME] sections: " + (list.empty() ? std::string("none") : list) + "\n";
    }
    if (serial) {
        const PlannedOpen plan = PlanOpen(config, *target, sysRoot, devRoot);
        text += "opens: " + (plan.path.empty() ? "nothing: " + plan.why : plan.path) + "\n";
        text += "frame gap at Open: " + GapText(plan.gap) + "\n";
    }
    return text;
}

std::string PortsReport(const kq::Config& config, const std::string& sysRoot,
                        const std::string& devRoot, const std::string& procRoot) {
    std::string text;
    char row[512];
    const char* format = "%-10s %-11s %-9s %-12s %-3s %-7s %-20s %-18s %s\n";
    std::snprintf(row, sizeof row, format, "NAME", "DRIVER", "USB", "SERIAL", "IF", "LATENCY",
                  "HELD BY", "SECTION", "BY-ID");
    text += row;
    const std::vector<std::string> named = config.SerialNames();
    for (const std::string& name : kq::ListSerialTtys(sysRoot)) {
        const kq::TtyInfo tty = kq::ReadTty(sysRoot, name);
        std::string usb = "-", iface = "-", latency = "-", held = "-", section = "-";
        if (tty.usb) {
            usb = kq::DescribeUsbTty(tty).substr(name.size() + 1, 9);
        }
        if (tty.interface >= 0) {
            iface = std::to_string(tty.interface);
        }
        if (tty.latencyTimerMs >= 0) {
            latency = std::to_string(tty.latencyTimerMs) + " ms";
        }
        struct stat st;
        if (kq::sys::Stat((devRoot + "/" + name).c_str(), &st).Ok()) {
            const kq::LockHolder holder = kq::FindLockHolder(procRoot, st.st_dev, st.st_ino);
            if (holder.pid > 0) {
                held = kq::DescribeHolder(holder);
            }
        }
        std::string lower = name;
        for (char& c : lower) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        if (std::find(named.begin(), named.end(), lower) != named.end()) {
            section = "[serial " + name + "]";
        } else if (config.AppliesToSerial("")) {
            section = "[serial]";
        }
        const std::string byId = kq::ByIdLink(devRoot, name);
        std::snprintf(row, sizeof row, format, name.c_str(),
                      tty.driver.empty() ? "-" : tty.driver.c_str(), usb.c_str(),
                      tty.serial.empty() ? "-" : tty.serial.c_str(), iface.c_str(), latency.c_str(),
                      held.c_str(), section.c_str(), byId.empty() ? "-" : byId.c_str());
        text += row;
    }
    return text;
}

std::string LineText(const termios& tio, int exactBps) {
    const kq::LineTiming timing = kq::LineTimingOf(tio);
    const int bps = exactBps > 0 ? exactBps : timing.bps;
    const int stop = (tio.c_cflag & CSTOPB) != 0 ? 2 : 1;
    const int parityBits = (tio.c_cflag & PARENB) != 0 ? 1 : 0;
    const int dataBits = timing.charBits - 1 - parityBits - stop;
    const char* parity = parityBits == 0               ? "no parity"
                         : (tio.c_cflag & PARODD) != 0 ? "odd parity"
                                                       : "even parity";
    return std::to_string(bps) + " bit/s, " + std::to_string(dataBits) + " data bits, " + parity +
           ", " + std::to_string(stop) + (stop == 1 ? " stop bit" : " stop bits");
}

std::vector<std::string> DefWarnings(const kq::SerialFields& fields, bool customBaud) {
    std::vector<std::string> warnings;
    if (!kq::InSpeedTable(fields.baud) && !customBaud) {
        warnings.push_back(std::to_string(fields.baud) +
                           " bit/s is not in the speed table: the line runs at 115200 "
                           "(custom_baud = on in kqser.conf sets it exactly)");
    }
    if (fields.parity == 3 || fields.parity == 4) {
        warnings.push_back(std::string(fields.parity == 3 ? "mark" : "space") +
                           " parity is not supported: the line has no parity");
    }
    if (fields.stopBits == 1) {
        warnings.push_back("1.5 stop bits are not supported: the line has 1");
    }
    return warnings;
}

bool TextWithSerialKey(const kq::ConfigFile& file, const std::string& name, const std::string& key,
                       const std::string& value, std::string* text, std::string* error) {
    for (const kq::ConfigKey& row : kq::ConfigKeys()) {
        kq::Options scratch;
        if (key == row.name && row.section == kq::SectionKind::kSerial &&
            !row.parse(value, &scratch, error)) {
            *error = "'" + value.substr(0, 40) + "': " + *error;
            return false;
        }
    }
    const std::string section = "\n[serial " + name + "]\n" + key + " = " + value + "\n";
    // The file's own text first, when the value then holds for the port (the
    // parser keeps the later of two values); else the value alone.
    if (file.read) {
        std::vector<std::string> problems;
        const kq::Config config = kq::Config::Parse(file.path, file.text + section, &problems);
        for (const kq::ConfigEntry& entry : config.Describe(kq::SectionKind::kSerial, name)) {
            if (key == entry.key->name && entry.value == value &&
                entry.source == kq::ConfigSource::kSerialNamed) {
                *text = file.text + section;
                return true;
            }
        }
    }
    *text = section;
    return true;
}

bool TextWithGap(const kq::ConfigFile& file, const std::string& name, const std::string& gap,
                 std::string* text, std::string* error) {
    return TextWithSerialKey(file, name, "frame_gap", gap, text, error);
}

}  // namespace kqtool
