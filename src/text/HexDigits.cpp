// SPDX-License-Identifier: MIT
#include "HexDigits_p.h"

namespace kq {

char HexDigit(unsigned v) {
    static const char kDigits[] = "0123456789ABCDEF";
    return kDigits[v & 0x0F];
}

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

}  // namespace kq
