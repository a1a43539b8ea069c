// SPDX-License-Identifier: MIT
// Modbus frames: the master's requests and the checks of their replies, and
// the unit that answers them (the demo's meters, kqser sim), over RTU
// (serial: unit, PDU, CRC) and TCP (MBAP header, PDU).
#ifndef KQSER_TOOL_MODBUS_H
#define KQSER_TOOL_MODBUS_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace kqtool {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kReadHolding = 0x03;
constexpr uint8_t kReadInput = 0x04;
constexpr uint8_t kWriteSingle = 0x06;
constexpr uint8_t kWriteMultiple = 0x10;
constexpr uint16_t kMaxReadCount = 125;
constexpr uint16_t kMaxWriteCount = 123;

// CRC-16/MODBUS (poly 0xA001 reflected, init 0xFFFF); sent low byte first.
// The library's own (ModbusFrame_p.h).
uint16_t ModbusCrc16(const uint8_t* data, size_t n);

// A unit with a bank of registers; an address without an entry is not
// there. Functions 3 and 4 read the same bank.
struct Meter {
    uint8_t unit = 1;
    std::map<uint16_t, uint16_t> registers;
};

// The demo's meter: 230.4 V, 5.12 A, 50.00 Hz, 1180 W at registers 0-3.
Meter DemoMeter();
// The simulator's default bank: registers 0-99, the demo's four values first.
Meter DefaultSimMeter(uint8_t unit);
// Values at start..start+count-1 (0 for an address that is not there).
std::vector<uint16_t> RegisterValues(const Meter& meter, uint16_t start, uint16_t count);
// "voltage 230.4 V, current 5.12 A, frequency 50.00 Hz, power 1180 W"
std::string DescribeDemoRegisters(const std::vector<uint16_t>& registers);

// Lines "ADDR VALUE..." (the values go to ADDR, ADDR+1, ...), numbers decimal
// or 0x hex, '#' starts a comment. False with the line number in *error.
bool ParseRegisterFile(const std::string& text, std::map<uint16_t, uint16_t>* registers,
                       std::string* error);

// The unit's answer to a request PDU (function code first): the values, the
// write's confirmation, or an exception PDU. Writes change the bank.
Bytes MeterAnswerPdu(Meter* meter, const Bytes& pdu);

// Request PDUs of the master.
Bytes ReadRequestPdu(uint8_t function, uint16_t start, uint16_t count);
// Function 6 for one value, 16 for several.
Bytes WriteRequestPdu(uint16_t start, const std::vector<uint16_t>& values);
// The length of a full reply PDU to this request (an exception is 2 bytes).
size_t ReplyPduLength(const Bytes& requestPdu);

// "illegal data address" for 2, "exception 0x21" for a code without a name.
std::string ExceptionName(uint8_t code);

struct ModbusReply {
    bool exception = false;
    uint8_t code = 0;              // the exception code
    std::vector<uint16_t> values;  // a read's registers
};
// Checks a reply PDU against its request; false with *error when it is not
// a reply to it (another function, a wrong count, a write not confirmed).
bool ParseReplyPdu(const Bytes& requestPdu, const Bytes& replyPdu, ModbusReply* reply,
                   std::string* error);

// RTU: unit, PDU, CRC.
Bytes RtuFrame(uint8_t unit, const Bytes& pdu);
// The PDU of a reply frame; false on a short frame, a bad CRC, another unit.
bool RtuReplyPdu(const Bytes& frame, uint8_t unit, Bytes* pdu, std::string* error);
Bytes RtuReadHolding(uint8_t unit, uint16_t start, uint16_t count);
// How many bytes a request frame starting with these bytes has, or 0 while
// that is not yet known (too few bytes, or a function only silence ends):
// the library's frame rule, for requests.
size_t RtuRequestLength(const Bytes& head);
// The unit's reply to a whole RTU frame; empty (silence) for a bad CRC, a
// short frame or another unit.
Bytes MeterAnswerRtu(Meter* meter, const Bytes& frame);
// The values of a read-holding reply; false with *error on a short frame, a
// bad CRC, another unit, an exception or a wrong count.
bool ParseRtuReadHoldingReply(const Bytes& frame, uint8_t unit, uint16_t count,
                              std::vector<uint16_t>* values, std::string* error);

// TCP: MBAP header (transaction, protocol 0, length, unit), then the PDU.
Bytes TcpFrame(uint16_t transaction, uint8_t unit, const Bytes& pdu);
bool TcpReplyPdu(const Bytes& frame, uint16_t transaction, uint8_t unit, Bytes* pdu,
                 std::string* error);
Bytes TcpReadHolding(uint16_t transaction, uint8_t unit, uint16_t start, uint16_t count);
// Length of the frame that starts with these bytes (7 header bytes needed), or 0.
size_t TcpFrameLength(const Bytes& head);
Bytes MeterAnswerTcp(Meter* meter, const Bytes& frame);
bool ParseTcpReadHoldingReply(const Bytes& frame, uint16_t transaction, uint8_t unit,
                              uint16_t count, std::vector<uint16_t>* values, std::string* error);

// What a frame seen on a line says, for kqser capture --modbus. request:
// the host wrote it (a master's request), else a reply it read.
// RTU: "unit 1: read holding registers 0-3 (4); CRC ok".
std::string DescribeRtuFrame(const Bytes& frame, bool request);
// TCP: one line per frame in bytes (a stream read may hold several), and one
// for bytes that make no whole frame.
std::vector<std::string> DescribeTcpFrames(const Bytes& bytes, bool request);

// One line per register, "  ADDR  DECIMAL  0xHEX  SIGNED"; with pairs, one
// more per pair "  ADDR-ADDR+1  u32 ..  i32 ..  float .." (high word first,
// low word first with swap).
std::string FormatRegisters(uint16_t start, const std::vector<uint16_t>& values, bool pairs,
                            bool swap);

}  // namespace kqtool

#endif
