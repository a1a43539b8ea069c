#include "FieldConfig.h"

#include <cstdio>
#include <vector>

#include "FrameTiming_p.h"
#include "LineSettings_p.h"

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

std::string GapText(const kq::Config& config, const SerialTarget& target,
                    const std::string& sysRoot) {
    const kq::SerialFields& f = target.fields;
    const kq::LineTiming line =
        kq::PlannedLineTiming(f.baud, f.dataBits, kq::LineParityLetter(f.parity), f.stopBits);
    const kq::GapChoice gap =
        kq::GapForLine(config.Serial(target.name), line, sysRoot, target.name);
    if (gap.ns <= 0) {
        return "off (a reply ends at 0.2 s of silence)";
    }
    char ms[32];
    std::snprintf(ms, sizeof ms, "%.3f ms", static_cast<double>(gap.ns) / 1e6);
    return std::string(ms) + " (" + gap.why + ")";
}

std::string ConfigReport(const kq::ConfigFile& file, const SerialTarget* target, bool net,
                         const std::string& sysRoot) {
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
        text += "frame gap at Open: " + GapText(config, *target, sysRoot) + "\n";
    }
    return text;
}

bool TextWithGap(const kq::ConfigFile& file, const std::string& name, const std::string& gap,
                 std::string* text, std::string* error) {
    for (const kq::ConfigKey& key : kq::ConfigKeys()) {
        kq::Options scratch;
        if (std::string(key.name) == "frame_gap" && !key.parse(gap, &scratch, error)) {
            *error = "'" + gap.substr(0, 40) + "': " + *error;
            return false;
        }
    }
    const std::string section = "\n[serial " + name + "]\nframe_gap = " + gap + "\n";
    // The file's own text first, when the gap then holds for the port (the
    // parser keeps the later of two values); else the gap alone.
    if (file.read) {
        std::vector<std::string> problems;
        const kq::Config config = kq::Config::Parse(file.path, file.text + section, &problems);
        for (const kq::ConfigEntry& entry : config.Describe(kq::SectionKind::kSerial, name)) {
            if (std::string(entry.key->name) == "frame_gap" && entry.value == gap &&
                entry.source == kq::ConfigSource::kSerialNamed) {
                *text = file.text + section;
                return true;
            }
        }
    }
    *text = section;
    return true;
}

}  // namespace kqtool
