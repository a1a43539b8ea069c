// SPDX-License-Identifier: MIT
#include "ModbusFrame_p.h"

namespace kq {

namespace {

// The fewest bytes of any frame: address, function, CRC.
constexpr size_t kShortest = 4;

// How a function's frame gives its length.
struct Shape {
    enum Kind {
        kNone,         // not in advance
        kFixed,        // always `base` bytes
        kCount,        // base + the byte at `at`
        kCount16,      // base + the 16-bit word at `at` (high byte first)
        kDiagnostics,  // 8 bytes, for the sub-functions that echo one word
        kDeviceId,     // read device identification: its objects walked
    };
    Kind kind;
    size_t base;
    size_t at;
};

Shape ReplyShape(unsigned function) {
    if ((function & 0x80) != 0) {
        return {Shape::kFixed, 5, 0};  // exception: address, function, code, CRC
    }
    switch (function) {
        case 0x01:
        case 0x02:
        case 0x03:
        case 0x04:
        case 0x0C:  // comm event log
        case 0x11:  // server id
        case 0x14:  // read file record
        case 0x15:  // write file record (an echo of the request)
        case 0x17: return {Shape::kCount, 5, 2};
        case 0x05:
        case 0x06:
        case 0x0B:  // comm event counter: status, count
        case 0x0F:
        case 0x10: return {Shape::kFixed, 8, 0};
        case 0x07: return {Shape::kFixed, 5, 0};  // one byte of exception status
        case 0x08: return {Shape::kDiagnostics, 0, 0};
        case 0x16: return {Shape::kFixed, 10, 0};   // mask write: an echo
        case 0x18: return {Shape::kCount16, 6, 2};  // FIFO queue: a 16-bit byte count
        case 0x2B: return {Shape::kDeviceId, 0, 0};
        default: return {Shape::kNone, 0, 0};
    }
}

Shape RequestShape(unsigned function) {
    switch (function) {
        case 0x01:
        case 0x02:
        case 0x03:
        case 0x04:
        case 0x05:
        case 0x06: return {Shape::kFixed, 8, 0};
        case 0x07:
        case 0x0B:
        case 0x0C:
        case 0x11: return {Shape::kFixed, 4, 0};  // no data
        case 0x08: return {Shape::kDiagnostics, 0, 0};
        case 0x0F:
        case 0x10: return {Shape::kCount, 9, 6};  // address, quantity, then the count
        case 0x14:
        case 0x15: return {Shape::kCount, 5, 2};
        case 0x16: return {Shape::kFixed, 10, 0};
        case 0x17: return {Shape::kCount, 13, 10};  // read and write ranges, then the count
        case 0x18: return {Shape::kFixed, 6, 0};
        case 0x2B: return {Shape::kDeviceId, 0, 0};
        default: return {Shape::kNone, 0, 0};
    }
}

// Sub-functions whose request and reply are one word of data; the echo
// (0) and the Modbus Plus statistics (0x15) carry any length.
bool EchoesOneWord(unsigned sub) {
    return (sub >= 0x01 && sub <= 0x04) || (sub >= 0x0A && sub <= 0x12) || sub == 0x14;
}

FrameCut Need(size_t length) {
    return {FrameCut::kNeedMore, length};
}

constexpr FrameCut kUnsized = {FrameCut::kUnsized, 0};

// The frame's length once the bytes in hand tell it; otherwise the verdict
// to give now (kNeedMore or kUnsized) in *early.
size_t LengthOf(const unsigned char* b, size_t n, ModbusSide side, FrameCut* early) {
    const Shape shape = side == ModbusSide::kReply ? ReplyShape(b[1]) : RequestShape(b[1]);
    switch (shape.kind) {
        case Shape::kNone: *early = kUnsized; return 0;
        case Shape::kFixed: return shape.base;
        case Shape::kCount:
            if (n <= shape.at) {
                *early = Need(shape.base);  // the length with a count of 0
                return 0;
            }
            return shape.base + b[shape.at];
        case Shape::kCount16:
            if (n <= shape.at + 1) {
                *early = Need(shape.base);
                return 0;
            }
            return shape.base + (static_cast<size_t>(b[shape.at]) << 8 | b[shape.at + 1]);
        case Shape::kDiagnostics:
            if (n < 4) {
                *early = Need(6);  // an echo of no data is 6 bytes
                return 0;
            }
            if (!EchoesOneWord(static_cast<unsigned>(b[2]) << 8 | b[3])) {
                *early = kUnsized;
                return 0;
            }
            return 8;
        case Shape::kDeviceId: break;
    }
    if (n < 3) {
        *early = Need(kShortest);
        return 0;
    }
    if (b[2] != 0x0E) {
        *early = kUnsized;  // another encapsulated interface
        return 0;
    }
    if (side == ModbusSide::kRequest) {
        return 7;  // MEI type, read code, object id
    }
    // MEI type, read code, conformity, more follows, next id, object count,
    // then each object's id, length and value.
    const size_t header = 8;
    if (n < header) {
        *early = Need(header + 2);
        return 0;
    }
    size_t at = header;
    for (size_t object = 0, count = b[7]; object < count; ++object) {
        if (at + 2 > kModbusRtuMaxFrame) {
            break;
        }
        if (n < at + 2) {
            *early = Need(at + 2 * (count - object) + 2);
            return 0;
        }
        at += 2 + b[at + 1];
    }
    return at + 2;
}

}  // namespace

uint16_t ModbusCrc16(const unsigned char* data, size_t n) {
    unsigned crc = 0xFFFF;
    for (size_t i = 0; i < n; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1) != 0 ? (crc >> 1) ^ 0xA001 : crc >> 1;
        }
    }
    return static_cast<uint16_t>(crc);
}

size_t ModbusRtuLength(const unsigned char* bytes, size_t n, ModbusSide side) {
    FrameCut early = kUnsized;
    const size_t length = n < 2 ? 0 : LengthOf(bytes, n, side, &early);
    return length <= kModbusRtuMaxFrame ? length : 0;
}

FrameCut CutModbusRtu(const unsigned char* bytes, size_t n, ModbusSide side) {
    if (n < 2) {
        return Need(kShortest);
    }
    FrameCut early = kUnsized;
    const size_t length = LengthOf(bytes, n, side, &early);
    if (length == 0) {
        return early.kind == FrameCut::kNeedMore && early.length > kModbusRtuMaxFrame ? kUnsized
                                                                                      : early;
    }
    if (length > kModbusRtuMaxFrame) {
        return kUnsized;
    }
    if (n < length) {
        return Need(length);
    }
    const uint16_t crc = ModbusCrc16(bytes, length - 2);
    const bool ok = bytes[length - 2] == (crc & 0xFF) && bytes[length - 1] == (crc >> 8);
    return {ok ? FrameCut::kComplete : FrameCut::kBadCrc, length};
}

}  // namespace kq
