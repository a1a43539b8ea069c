// SPDX-License-Identifier: MIT
// What `kqser config` adds to the library's problem lines: the key or
// section a near miss meant. Pure.
#ifndef KQSER_TOOL_CONFIGHINTS_H
#define KQSER_TOOL_CONFIGHINTS_H

#include <string>
#include <vector>

namespace kqtool {

// Edits from a to b (insert, delete, replace, swap of two neighbours).
size_t EditDistance(const std::string& a, const std::string& b);

// The candidate nearest to word when it is near enough to be a slip (at
// most one edit in four letters, at least one), else "".
std::string Nearest(const std::string& word, const std::vector<std::string>& candidates);

// A near miss in the text of a config file: what was written ("exclusiv",
// "[seral ttyUSB0]") and what was likely meant.
struct ConfigHint {
    int line = 0;
    std::string written;
    std::string meant;
    bool section = false;
};
std::vector<ConfigHint> ConfigHints(const std::string& text);

// The problem lines with " (did you mean ...?)" after the one each hint is
// about; a hint that matches no line is added as a line of its own.
std::vector<std::string> WithHints(const std::vector<std::string>& problems,
                                   const std::vector<ConfigHint>& hints);

// The text without a UTF-8 byte-order mark at its start.
std::string WithoutByteOrderMark(const std::string& text);

}  // namespace kqtool

#endif
