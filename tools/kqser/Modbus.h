// Modbus frames for the demo: a master's "read holding registers" request and
// the simulated meter that answers it, over RTU (serial) and TCP.
#ifndef KQSER_TOOL_MODBUS_H
#define KQSER_TOOL_MODBUS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kqtool {

using Bytes = std::vector<uint8_t>;

// CRC-16/MODBUS (poly 0xA001 reflected, init 0xFFFF); sent low byte first.
uint16_t ModbusCrc16(const uint8_t* data, size_t n);

// A meter with a bank of holding registers at addresses 0..size-1.
struct Meter {
    uint8_t unit = 1;
    std::vector<uint16_t> registers;
};

// The demo's meter: 230.4 V, 5.12 A, 50.00 Hz, 1180 W.
Meter DemoMeter();
// "voltage 230.4 V, current 5.12 A, frequency 50.00 Hz, power 1180 W"
std::string DescribeDemoRegisters(const std::vector<uint16_t>& registers);

// The meter's answer to a request PDU (function code first): the register
// values, or an exception PDU for an unknown function or a bad range.
Bytes MeterAnswerPdu(const Meter& meter, const Bytes& pdu);

// RTU: unit, PDU, CRC.
Bytes RtuReadHolding(uint8_t unit, uint16_t start, uint16_t count);
// How many bytes a request frame starting with these bytes has, or 0 while
// that is not yet known (fewer than two bytes, or an unknown function).
size_t RtuRequestLength(const Bytes& head);
// The meter's reply to a whole RTU frame; empty (silence) for a bad CRC, a
// short frame or another unit.
Bytes MeterAnswerRtu(const Meter& meter, const Bytes& frame);
// The values of a read-holding reply; false with *error on a short frame, a
// bad CRC, another unit, an exception or a wrong count.
bool ParseRtuReadHoldingReply(const Bytes& frame, uint8_t unit, uint16_t count,
                              std::vector<uint16_t>* values, std::string* error);

// TCP: MBAP header (transaction, protocol 0, length, unit), then the PDU.
Bytes TcpReadHolding(uint16_t transaction, uint8_t unit, uint16_t start, uint16_t count);
// Length of the frame that starts with these bytes (7 header bytes needed), or 0.
size_t TcpFrameLength(const Bytes& head);
Bytes MeterAnswerTcp(const Meter& meter, const Bytes& frame);
bool ParseTcpReadHoldingReply(const Bytes& frame, uint16_t transaction, uint8_t unit,
                              uint16_t count, std::vector<uint16_t>* values, std::string* error);

}  // namespace kqtool

#endif
