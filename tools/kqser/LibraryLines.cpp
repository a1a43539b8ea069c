// SPDX-License-Identifier: MIT
#include "LibraryLines.h"

#include "Config_p.h"

namespace kqtool {

namespace {

bool Has(const std::string& text, const char* part) {
    return text.find(part) != std::string::npos;
}

// The text after the "NOTE[TYPE] " tag, or "" without one.
std::string AfterTag(const std::string& line) {
    const size_t close = line.find("] ");
    if (close == std::string::npos || line.rfind('[', close) == std::string::npos) return "";
    return line.substr(close + 2);
}

}  // namespace

std::vector<std::string> ExplainingLines(const std::vector<std::string>& lines) {
    std::vector<std::string> kept;
    for (const std::string& line : lines) {
        if (line.rfind("CSerCom InitCom:", 0) == 0 || line.rfind("CSerCom UpdParams:", 0) == 0 ||
            line.rfind("SerManager ", 0) == 0 || line.empty()) {
            continue;
        }
        kept.push_back(line);
    }
    if (kept.size() > kExplainingLines) {
        kept.erase(kept.begin(), kept.end() - static_cast<long>(kExplainingLines));
    }
    return kept;
}

bool IsOptionRefusal(const std::string& line) {
    const std::string rest = AfterTag(line);
    if (rest.empty() || Has(rest, "not opened")) return false;
    for (const kq::ConfigKey& key : kq::ConfigKeys()) {
        const std::string lead = std::string(key.name) + ":";
        if (rest.compare(0, lead.size(), lead) == 0) {
            return Has(rest, "refused") || Has(rest, "stays") || Has(rest, "cannot") ||
                   Has(rest, "failed");
        }
    }
    return false;
}

}  // namespace kqtool
