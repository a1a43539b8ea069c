// SPDX-License-Identifier: MIT
// Where a Modbus RTU frame ends, from its bytes alone: the length its
// function code gives, then its CRC. Pure; part of the core, so the serial
// Read (frame = modbus_rtu), kqser and the fuzzer judge frames by one rule.
// Internal.
#ifndef KQSER_MODBUSFRAME_P_H
#define KQSER_MODBUSFRAME_P_H

#include <cstddef>
#include <cstdint>

namespace kq {

// The longest RTU frame: address, 253 bytes of PDU, CRC.
constexpr size_t kModbusRtuMaxFrame = 256;

// CRC-16 of RTU frames (reflected polynomial 0xA001, start 0xFFFF); sent
// low byte first.
uint16_t ModbusCrc16(const unsigned char* data, size_t n);

// Who sent the frame. A host that is the master reads a slave's replies
// (the library's Read); a listener may be handed the master's requests,
// whose lengths differ for the same function code.
enum class ModbusSide { kReply, kRequest };

struct FrameCut {
    enum Kind {
        kNeedMore,  // the frame has at least `length` bytes, more than in hand
        kComplete,  // the first `length` bytes are one frame with a correct CRC
        kBadCrc,    // `length` bytes are in hand, their CRC is wrong
        kUnsized,   // the function gives no length in advance: only silence ends it
    };
    Kind kind;
    size_t length;  // kUnsized: 0
};

// Judges the first n bytes of a frame. kNeedMore's length never passes the
// frame's end, so reading up to it never takes a byte of the next frame.
// A frame that would be longer than kModbusRtuMaxFrame is kUnsized.
FrameCut CutModbusRtu(const unsigned char* bytes, size_t n, ModbusSide side);

// The frame's length once its first n bytes tell it; 0 while they do not,
// and for a frame only silence ends.
size_t ModbusRtuLength(const unsigned char* bytes, size_t n, ModbusSide side);

}  // namespace kq

#endif
