// SPDX-License-Identifier: MIT
#include "TextUtil_p.h"

#include <cctype>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace kq {

bool ReadDecimal(const char* text, int* value) {
    if (text == nullptr) {
        return false;
    }
    const char* p = text;
    while (std::isspace(static_cast<unsigned char>(*p))) {
        ++p;
    }
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = (*p == '-');
        ++p;
    }
    if (!std::isdigit(static_cast<unsigned char>(*p))) {
        return false;
    }
    long long v = 0;
    for (; std::isdigit(static_cast<unsigned char>(*p)); ++p) {
        if (v <= static_cast<long long>(INT_MAX) + 1) {
            v = v * 10 + (*p - '0');
        }
    }
    if (negative) {
        v = -v;
    }
    if (v > INT_MAX) {
        v = INT_MAX;
    } else if (v < INT_MIN) {
        v = INT_MIN;
    }
    *value = static_cast<int>(v);
    return true;
}

int ToInt(const char* text) {
    int v = 0;
    return ReadDecimal(text, &v) ? v : 0;
}

void CopyCut(char* dst, size_t dstSize, const char* src, size_t n) {
    if (dst == nullptr || dstSize == 0) {
        return;
    }
    if (n > dstSize - 1) {
        n = dstSize - 1;
    }
    if (src != nullptr && n > 0) {
        std::memcpy(dst, src, n);
    } else {
        n = 0;
    }
    dst[n] = '\0';
}

std::string Format(const char* format, ...) {
    char small[160];
    va_list ap;
    va_start(ap, format);
    const int n = std::vsnprintf(small, sizeof small, format, ap);
    va_end(ap);
    if (n < 0) {
        return std::string();
    }
    if (static_cast<size_t>(n) < sizeof small) {
        return std::string(small, static_cast<size_t>(n));
    }
    std::string text(static_cast<size_t>(n) + 1, '\0');
    va_start(ap, format);
    std::vsnprintf(&text[0], text.size(), format, ap);
    va_end(ap);
    text.resize(static_cast<size_t>(n));
    return text;
}

}  // namespace kq
