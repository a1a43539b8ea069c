// SPDX-License-Identifier: MIT
#include "Exchange.h"

namespace kqtest {

namespace {

// Bytes 1..255 only.
uint8_t Digit(uint32_t v) {
    return static_cast<uint8_t>(1 + v % 255);
}

}  // namespace

std::string Request(uint32_t seq) {
    std::string r(kRequestSize, '\0');
    r[0] = 0x51;
    for (int i = 0; i < 4; ++i) {
        r[1 + i] = static_cast<char>(Digit(seq >> (8 * i)));
    }
    r[5] = static_cast<char>(Digit(seq * 7));
    r[6] = static_cast<char>(Digit(seq * 13 + 1));
    r[7] = 0x7E;
    return r;
}

std::string Reply(uint32_t seq) {
    std::string r(kReplySize, '\0');
    r[0] = static_cast<char>(0xA5);
    for (int i = 1; i < kReplySize; ++i) {
        r[i] = static_cast<char>(Digit(seq * 31 + static_cast<uint32_t>(i) * 7 + (seq >> 8)));
    }
    return r;
}

}  // namespace kqtest
