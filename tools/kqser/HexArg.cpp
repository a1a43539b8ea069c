// SPDX-License-Identifier: MIT
#include "HexArg.h"

#include <cstring>

namespace kqtool {

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Quotes user text for an error line: bounded, control bytes escaped.
std::string Quote(const std::string& text, size_t begin, size_t end) {
    const size_t kMaxShown = 24;
    std::string shown = "'";
    for (size_t i = begin; i < end && i < begin + kMaxShown; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c >= 0x7F || c == '\'' || c == '\\') {
            static const char kDigits[] = "0123456789ABCDEF";
            shown += "\\x";
            shown += kDigits[c >> 4];
            shown += kDigits[c & 0xF];
        } else {
            shown += static_cast<char>(c);
        }
    }
    if (end - begin > kMaxShown) shown += "...";
    return shown + "'";
}

bool Fail(std::string* error, const std::string& message) {
    if (error != nullptr) *error = message;
    return false;
}

}  // namespace

bool ParseHexBytes(const std::string& text, std::vector<uint8_t>* out, std::string* error) {
    if (out == nullptr) return Fail(error, "no place for the bytes");
    std::vector<uint8_t> bytes;
    size_t i = 0;
    const size_t n = text.size();
    while (i < n) {
        if (IsBlank(text[i])) {
            ++i;
            continue;
        }
        const size_t group = i;
        if (i + 1 < n && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
            i += 2;
        }
        const size_t digits = i;
        while (i < n && !IsBlank(text[i])) {
            if (HexValue(text[i]) < 0) {
                size_t end = i;
                while (end < n && !IsBlank(text[end])) ++end;
                return Fail(error, "bad hex string " + Quote(text, group, end) + ": " +
                                       Quote(text, i, i + 1) + " is not a hex digit");
            }
            ++i;
        }
        const size_t count = i - digits;
        if (count == 0) {
            return Fail(error, "bad hex string " + Quote(text, group, i) + ": no digits after 0x");
        }
        if (count % 2 != 0) {
            return Fail(error, "bad hex string " + Quote(text, group, i) +
                                   ": odd number of hex digits (each byte takes two)");
        }
        if (out->size() + bytes.size() + count / 2 > kMaxHexBytes) {
            return Fail(error, "too many bytes: at most " + std::to_string(kMaxHexBytes));
        }
        for (size_t d = digits; d < i; d += 2) {
            bytes.push_back(static_cast<uint8_t>(HexValue(text[d]) * 16 + HexValue(text[d + 1])));
        }
    }
    out->insert(out->end(), bytes.begin(), bytes.end());
    return true;
}

bool ParseEscapedText(const std::string& text, std::vector<uint8_t>* out, std::string* error) {
    if (out == nullptr) return Fail(error, "no place for the bytes");
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            bytes.push_back(static_cast<uint8_t>(text[i]));
        } else if (++i >= text.size()) {
            return Fail(error, "a lone backslash ends the text");
        } else if (text[i] == 'x') {
            int value = 0, digits = 0;
            while (digits < 2 && i + 1 < text.size() && HexValue(text[i + 1]) >= 0) {
                value = value * 16 + HexValue(text[++i]);
                ++digits;
            }
            if (digits == 0) return Fail(error, "\\x needs a hex digit");
            bytes.push_back(static_cast<uint8_t>(value));
        } else {
            static const char kFrom[] = "rntabfve0\\'\"";
            static const uint8_t kTo[] = {'\r', '\n', '\t', '\a', '\b', '\f',
                                          '\v', 0x1B, 0,    '\\', '\'', '"'};
            const char* at = std::strchr(kFrom, text[i]);
            if (at == nullptr || *at == '\0') {
                return Fail(error, "unknown escape " + Quote(text, i - 1, i + 1));
            }
            bytes.push_back(kTo[at - kFrom]);
        }
        if (out->size() + bytes.size() > kMaxHexBytes) {
            return Fail(error, "too many bytes: at most " + std::to_string(kMaxHexBytes));
        }
    }
    out->insert(out->end(), bytes.begin(), bytes.end());
    return true;
}

}  // namespace kqtool
