// SPDX-License-Identifier: MIT
// The Modbus RTU frame rule against a plain reference: at every prefix of
// the input, as a reply and as a request, the rule agrees with the
// reference's length and CRC, and never asks for a byte past the frame.
// One input byte in two makes the rest a frame with a correct CRC, so that
// whole frames are as common as broken ones.
#include "ModbusFrame_p.h"

#include <vector>

#include "FuzzCheck.h"

namespace {

// CRC-16 by table, worked out the textbook way.
uint16_t RefCrc(const uint8_t* data, size_t n) {
    static uint16_t table[256];
    static bool made = false;
    if (!made) {
        for (unsigned i = 0; i < 256; ++i) {
            unsigned v = i;
            for (int bit = 0; bit < 8; ++bit) {
                v = (v & 1) != 0 ? (v >> 1) ^ 0xA001 : v >> 1;
            }
            table[i] = static_cast<uint16_t>(v);
        }
        made = true;
    }
    unsigned crc = 0xFFFF;
    for (size_t i = 0; i < n; ++i) {
        crc = (crc >> 8) ^ table[(crc ^ data[i]) & 0xFF];
    }
    return static_cast<uint16_t>(crc);
}

constexpr long kUnsized = -1;
constexpr long kNotYet = 0;

// The frame's length as the protocol describes each function: kUnsized,
// kNotYet while a byte it depends on is missing, else the length.
long RefLength(const uint8_t* b, size_t n, bool request) {
    if (n < 2) return kNotYet;
    const unsigned f = b[1];
    auto at = [&](size_t i) -> long { return i < n ? b[i] : -1; };
    auto count = [&](size_t i, long base) -> long { return at(i) < 0 ? kNotYet : base + at(i); };
    auto diagnostics = [&]() -> long {
        if (n < 4) return kNotYet;
        const unsigned sub = static_cast<unsigned>(b[2] << 8 | b[3]);
        const unsigned oneWord[] = {1, 2, 3, 4, 10, 11, 12, 13, 14, 15, 16, 17, 18, 20};
        for (unsigned s : oneWord) {
            if (s == sub) return 8;
        }
        return kUnsized;
    };
    if (request) {
        if (f >= 1 && f <= 6) return 8;
        if (f == 7 || f == 11 || f == 12 || f == 17) return 4;
        if (f == 8) return diagnostics();
        if (f == 15 || f == 16) return count(6, 9);
        if (f == 20 || f == 21) return count(2, 5);
        if (f == 22) return 10;
        if (f == 23) return count(10, 13);
        if (f == 24) return 6;
        if (f == 43) return at(2) < 0 ? kNotYet : at(2) == 14 ? 7 : kUnsized;
        return kUnsized;
    }
    if (f >= 128) return 5;
    if ((f >= 1 && f <= 4) || f == 12 || f == 17 || f == 20 || f == 21 || f == 23) {
        return count(2, 5);
    }
    if (f == 5 || f == 6 || f == 11 || f == 15 || f == 16) return 8;
    if (f == 7) return 5;
    if (f == 8) return diagnostics();
    if (f == 22) return 10;
    if (f == 24) return at(3) < 0 ? kNotYet : 6 + (at(2) << 8 | at(3));
    if (f != 43) return kUnsized;
    if (at(2) < 0) return kNotYet;
    if (at(2) != 14) return kUnsized;
    if (n < 8) return kNotYet;
    long end = 8;
    for (long object = 0; object < b[7]; ++object) {
        // Each object left takes its id and length at least.
        if (end + 2 * (b[7] - object) + 2 > 256) return kUnsized;
        if (at(static_cast<size_t>(end) + 1) < 0) return kNotYet;
        end += 2 + b[end + 1];
    }
    return end + 2;
}

void Check(const std::vector<uint8_t>& bytes, bool request) {
    const kq::ModbusSide side = request ? kq::ModbusSide::kRequest : kq::ModbusSide::kReply;
    const long whole = RefLength(bytes.data(), bytes.size(), request);
    for (size_t n = 0; n <= bytes.size(); ++n) {
        const kq::FrameCut cut = kq::CutModbusRtu(bytes.data(), n, side);
        long length = RefLength(bytes.data(), n, request);
        length = length > 256 ? kUnsized : length;
        if (length == kUnsized) {
            FUZZ_CHECK(cut.kind == kq::FrameCut::kUnsized);
        } else if (length == kNotYet || static_cast<size_t>(length) > n) {
            FUZZ_CHECK(cut.kind == kq::FrameCut::kNeedMore);
            FUZZ_CHECK(cut.length > n);
            if (length != kNotYet) FUZZ_CHECK(cut.length <= static_cast<size_t>(length));
            if (whole > 0 && whole <= 256) FUZZ_CHECK(cut.length <= static_cast<size_t>(whole));
        } else {
            const size_t l = static_cast<size_t>(length);
            const uint16_t crc = RefCrc(bytes.data(), l - 2);
            const bool ok = bytes[l - 2] == (crc & 0xFF) && bytes[l - 1] == (crc >> 8);
            FUZZ_CHECK(cut.kind == (ok ? kq::FrameCut::kComplete : kq::FrameCut::kBadCrc));
            FUZZ_CHECK(cut.length == l);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kqfuzz::Input in(data, size);
    const uint8_t mode = in.Byte();
    const std::string rest = in.Rest();
    std::vector<uint8_t> bytes(rest.begin(), rest.end());
    const bool request = (mode & 1) != 0;
    if ((mode & 2) != 0) {
        // Cut the bytes to the length the reference gives and put the right
        // CRC at its end: a whole frame, then whatever followed.
        const long length = RefLength(bytes.data(), bytes.size(), request);
        if (length >= 4 && static_cast<size_t>(length) <= bytes.size()) {
            const uint16_t crc = RefCrc(bytes.data(), static_cast<size_t>(length) - 2);
            bytes[static_cast<size_t>(length) - 2] = static_cast<uint8_t>(crc & 0xFF);
            bytes[static_cast<size_t>(length) - 1] = static_cast<uint8_t>(crc >> 8);
        }
    }
    Check(bytes, request);
    Check(bytes, !request);
    FUZZ_CHECK(kq::ModbusCrc16(bytes.data(), bytes.size()) == RefCrc(bytes.data(), bytes.size()));
    return 0;
}
