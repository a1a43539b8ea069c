// SPDX-License-Identifier: MIT
#include "Format.h"

#include <cstdio>

namespace kqtool {

namespace {
const char kDigits[] = "0123456789ABCDEF";
}

std::string HexString(const uint8_t* data, size_t n) {
    std::string text;
    if (data == nullptr) return text;
    text.reserve(n * 3);
    for (size_t i = 0; i < n; ++i) {
        if (i != 0) text += ' ';
        text += kDigits[data[i] >> 4];
        text += kDigits[data[i] & 0xF];
    }
    return text;
}

std::string HexAsciiDump(const uint8_t* data, size_t n, const std::string& indent) {
    std::string text;
    if (data == nullptr) return text;
    const size_t kPerLine = 16;
    for (size_t line = 0; line < n; line += kPerLine) {
        char offset[32];
        std::snprintf(offset, sizeof offset, "%04zx  ", line);
        text += indent;
        text += offset;
        std::string ascii;
        for (size_t i = line; i < line + kPerLine; ++i) {
            if (i < n) {
                text += kDigits[data[i] >> 4];
                text += kDigits[data[i] & 0xF];
                text += ' ';
                ascii += (data[i] >= 0x20 && data[i] < 0x7F) ? static_cast<char>(data[i]) : '.';
            } else {
                text += "   ";
            }
            if (i == line + 7) text += ' ';
        }
        text += " |" + ascii + "|\n";
    }
    return text;
}

}  // namespace kqtool
