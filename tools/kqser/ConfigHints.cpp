// SPDX-License-Identifier: MIT
#include "ConfigHints.h"

#include <algorithm>
#include <cctype>

#include "Config_p.h"

namespace kqtool {

namespace {

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string Trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    const size_t last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

const char* const kKinds[] = {"serial", "net", "log"};

bool KindOf(const std::string& word, kq::SectionKind* kind) {
    const kq::SectionKind kinds[] = {kq::SectionKind::kSerial, kq::SectionKind::kNet,
                                     kq::SectionKind::kLog};
    for (size_t i = 0; i < 3; ++i) {
        if (word == kKinds[i]) {
            *kind = kinds[i];
            return true;
        }
    }
    return false;
}

std::vector<std::string> KeysOf(kq::SectionKind kind) {
    std::vector<std::string> names;
    for (const kq::ConfigKey& key : kq::ConfigKeys()) {
        if (key.section == kind) names.push_back(key.name);
    }
    return names;
}

}  // namespace

size_t EditDistance(const std::string& a, const std::string& b) {
    // Optimal string alignment: one row per letter of a.
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        }
    }
    return d[a.size()][b.size()];
}

std::string Nearest(const std::string& word, const std::vector<std::string>& candidates) {
    const size_t allowed = std::max<size_t>(1, word.size() / 4);
    std::string best;
    size_t bestDistance = allowed + 1;
    for (const std::string& candidate : candidates) {
        const size_t distance = EditDistance(Lower(word), candidate);
        if (distance > 0 && distance < bestDistance) {
            best = candidate;
            bestDistance = distance;
        }
    }
    return best;
}

std::vector<ConfigHint> ConfigHints(const std::string& text) {
    std::vector<ConfigHint> hints;
    bool known = false;  // the section in force is one the library reads
    kq::SectionKind kind = kq::SectionKind::kSerial;
    size_t start = 0;
    for (int number = 1; start < text.size(); ++number) {
        size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end;
        const std::string line = Trim(text.substr(start, end - start));
        start = end + 1;
        if (line.empty() || line[0] == ';' || line[0] == '#') continue;
        if (line[0] == '[') {
            const std::string inside = Trim(line.substr(1, line.find(']') - 1));
            const std::string lower = Lower(inside);
            const std::string first = lower.substr(0, lower.find_first_of(" \t"));
            const std::string rest =
                first.size() < inside.size() ? inside.substr(first.size()) : "";
            known = KindOf(first, &kind) && (rest.empty() || kind == kq::SectionKind::kSerial);
            if (!known) {
                const std::string meant =
                    Nearest(first, std::vector<std::string>(std::begin(kKinds), std::end(kKinds)));
                if (!meant.empty()) {
                    hints.push_back({number, inside, meant + rest, true});
                }
            }
            continue;
        }
        const size_t eq = line.find('=');
        if (!known || eq == std::string::npos) continue;
        const std::string key = Lower(Trim(line.substr(0, eq)));
        const std::vector<std::string> keys = KeysOf(kind);
        if (std::find(keys.begin(), keys.end(), key) != keys.end()) continue;
        const std::string meant = Nearest(key, keys);
        if (!meant.empty()) hints.push_back({number, Trim(line.substr(0, eq)), meant, false});
    }
    return hints;
}

std::vector<std::string> WithHints(const std::vector<std::string>& problems,
                                   const std::vector<ConfigHint>& hints) {
    std::vector<std::string> lines = problems;
    for (const ConfigHint& hint : hints) {
        const std::string needle =
            hint.section ? "[" + hint.written + "]" : "] " + hint.written + " =";
        const std::string marker = hint.section ? "unknown section" : "unknown key";
        const std::string said =
            " (did you mean " + (hint.section ? "[" + hint.meant + "]" : hint.meant) + "?)";
        bool placed = false;
        for (std::string& line : lines) {
            if (line.find(needle) != std::string::npos && line.find(marker) != std::string::npos &&
                line.find(" (did you mean ") == std::string::npos) {
                line += said;
                placed = true;
                break;
            }
        }
        if (!placed) {
            lines.push_back("line " + std::to_string(hint.line) + ": " +
                            (hint.section ? "[" + hint.written + "]" : hint.written) + said);
        }
    }
    return lines;
}

std::string WithoutByteOrderMark(const std::string& text) {
    return text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? text.substr(3) : text;
}

}  // namespace kqtool
