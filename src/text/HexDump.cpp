// SPDX-License-Identifier: MIT
#include "HexDump.h"

#include <cstring>

#include "HexDigits_p.h"

namespace {

constexpr int kTextSize = 1025;

// One buffer per thread: ports used from different threads must never see
// each other's text.
thread_local char pstr[kTextSize];

}  // namespace

char _TOHEX(unsigned char v) {
    return kq::HexDigit(v);
}

int BufToHexStr(const unsigned char* data, int len, char* out, int outSize, int gap) {
    if (data == nullptr || out == nullptr || gap < 0) {
        return -1;
    }
    const long long need =
        static_cast<long long>(len > 0 ? len : 0) * (static_cast<long long>(gap) + 2) + 1;
    if (outSize < 1 || outSize < need) {
        return -1;
    }
    out[0] = '\0';
    int pos = 0;
    for (int i = 0; i < len; ++i) {
        out[pos] = _TOHEX(static_cast<unsigned char>(data[i] >> 4));
        out[pos + 1] = _TOHEX(data[i]);
        std::memset(out + pos + 2, ' ', static_cast<size_t>(gap));
        pos += gap + 2;
        out[pos] = '\0';
    }
    return pos;
}

char* BufToHexStr(const unsigned char* data, int len, int gap) {
    if (data == nullptr || gap < 0) {
        pstr[0] = '\0';
        return pstr;
    }
    const long long size = static_cast<long long>(len) * (static_cast<long long>(gap) + 2) + 1;
    if (size >= 1024) {
        std::memcpy(pstr, "msg.len > 1024", sizeof "msg.len > 1024");
        return pstr;
    }
    if (BufToHexStr(data, len, pstr, static_cast<int>(size), gap) < 0) {
        pstr[0] = '\0';  // negative length: nothing to show
    }
    return pstr;
}
