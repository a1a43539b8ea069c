// SPDX-License-Identifier: MIT
// Hex byte strings as given on the command line ("01 03 00 00 00 02 C4 0B").
#ifndef KQSER_TOOL_HEXARG_H
#define KQSER_TOOL_HEXARG_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kqtool {

// The most bytes one argument list may give; more is surely a mistake.
constexpr size_t kMaxHexBytes = 65536;

// Appends the bytes of text to *out. Groups of hex digits may be separated by
// blanks and may carry a 0x prefix; each group has an even number of digits.
// On failure *out is unchanged and *error (when given) holds one line that
// names the problem.
bool ParseHexBytes(const std::string& text, std::vector<uint8_t>* out, std::string* error);

// Appends the bytes of text with C escapes (\r \n \t \a \b \f \v \e \0,
// a backslash, quotes, and \xHH with one or two hex digits). Same failure
// rules as above.
bool ParseEscapedText(const std::string& text, std::vector<uint8_t>* out, std::string* error);

}  // namespace kqtool

#endif
