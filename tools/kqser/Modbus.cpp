#include "Modbus.h"

#include <cstdio>

namespace kqtool {

namespace {

const uint8_t kReadHolding = 0x03;
const uint8_t kIllegalFunction = 0x01;
const uint8_t kIllegalAddress = 0x02;
const uint8_t kIllegalValue = 0x03;
const uint16_t kMaxRegisters = 125;

uint16_t Be16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

void PutBe16(Bytes* out, uint16_t value) {
    out->push_back(static_cast<uint8_t>(value >> 8));
    out->push_back(static_cast<uint8_t>(value & 0xFF));
}

void AppendCrc(Bytes* frame) {
    const uint16_t crc = ModbusCrc16(frame->data(), frame->size());
    frame->push_back(static_cast<uint8_t>(crc & 0xFF));
    frame->push_back(static_cast<uint8_t>(crc >> 8));
}

bool Fail(std::string* error, const std::string& message) {
    if (error != nullptr) *error = message;
    return false;
}

Bytes ReadHoldingPdu(uint16_t start, uint16_t count) {
    Bytes pdu = {kReadHolding};
    PutBe16(&pdu, start);
    PutBe16(&pdu, count);
    return pdu;
}

// The values of a read-holding reply PDU.
bool ParseReadHoldingPdu(const uint8_t* pdu, size_t n, uint16_t count,
                         std::vector<uint16_t>* values, std::string* error) {
    if (n < 2) return Fail(error, "reply too short");
    if (pdu[0] == (kReadHolding | 0x80)) {
        return Fail(error, "exception reply, code " + std::to_string(pdu[1]));
    }
    if (pdu[0] != kReadHolding) return Fail(error, "reply to another function");
    if (pdu[1] != count * 2 || n != 2 + static_cast<size_t>(count) * 2) {
        return Fail(error, "reply carries " + std::to_string(pdu[1]) + " data bytes, expected " +
                               std::to_string(count * 2));
    }
    values->clear();
    for (uint16_t i = 0; i < count; ++i) values->push_back(Be16(pdu + 2 + 2 * i));
    return true;
}

}  // namespace

uint16_t ModbusCrc16(const uint8_t* data, size_t n) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < n; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1) != 0 ? static_cast<uint16_t>((crc >> 1) ^ 0xA001)
                                 : static_cast<uint16_t>(crc >> 1);
        }
    }
    return crc;
}

Meter DemoMeter() {
    Meter meter;
    meter.unit = 1;
    meter.registers = {2304, 512, 5000, 1180};
    return meter;
}

std::string DescribeDemoRegisters(const std::vector<uint16_t>& registers) {
    if (registers.size() < 4) return "(too few registers)";
    char text[160];
    std::snprintf(text, sizeof text,
                  "voltage %u.%u V, current %u.%02u A, frequency %u.%02u Hz, power %u W",
                  registers[0] / 10u, registers[0] % 10u, registers[1] / 100u, registers[1] % 100u,
                  registers[2] / 100u, registers[2] % 100u, static_cast<unsigned>(registers[3]));
    return text;
}

Bytes MeterAnswerPdu(const Meter& meter, const Bytes& pdu) {
    if (pdu.empty()) return {};
    const uint8_t function = pdu[0];
    if (function != kReadHolding) {
        return {static_cast<uint8_t>(function | 0x80), kIllegalFunction};
    }
    if (pdu.size() != 5) return {static_cast<uint8_t>(function | 0x80), kIllegalValue};
    const uint16_t start = Be16(&pdu[1]);
    const uint16_t count = Be16(&pdu[3]);
    if (count == 0 || count > kMaxRegisters) {
        return {static_cast<uint8_t>(function | 0x80), kIllegalValue};
    }
    if (static_cast<size_t>(start) + count > meter.registers.size()) {
        return {static_cast<uint8_t>(function | 0x80), kIllegalAddress};
    }
    Bytes answer = {function, static_cast<uint8_t>(count * 2)};
    for (uint16_t i = 0; i < count; ++i) PutBe16(&answer, meter.registers[start + i]);
    return answer;
}

Bytes RtuReadHolding(uint8_t unit, uint16_t start, uint16_t count) {
    Bytes frame = {unit};
    const Bytes pdu = ReadHoldingPdu(start, count);
    frame.insert(frame.end(), pdu.begin(), pdu.end());
    AppendCrc(&frame);
    return frame;
}

size_t RtuRequestLength(const Bytes& head) {
    if (head.size() < 2) return 0;
    switch (head[1]) {
        case 0x01:
        case 0x02:
        case 0x03:
        case 0x04:
        case 0x05:
        case 0x06: return 8;  // unit, function, two 16-bit fields, CRC
        default: return 0;
    }
}

Bytes MeterAnswerRtu(const Meter& meter, const Bytes& frame) {
    if (frame.size() < 4) return {};
    const uint16_t crc = ModbusCrc16(frame.data(), frame.size() - 2);
    if (frame[frame.size() - 2] != (crc & 0xFF) || frame[frame.size() - 1] != (crc >> 8)) return {};
    if (frame[0] != meter.unit) return {};
    const Bytes pdu(frame.begin() + 1, frame.end() - 2);
    Bytes reply = {meter.unit};
    const Bytes answer = MeterAnswerPdu(meter, pdu);
    reply.insert(reply.end(), answer.begin(), answer.end());
    AppendCrc(&reply);
    return reply;
}

bool ParseRtuReadHoldingReply(const Bytes& frame, uint8_t unit, uint16_t count,
                              std::vector<uint16_t>* values, std::string* error) {
    if (frame.size() < 5)
        return Fail(error, "reply too short (" + std::to_string(frame.size()) + " bytes)");
    const uint16_t crc = ModbusCrc16(frame.data(), frame.size() - 2);
    if (frame[frame.size() - 2] != (crc & 0xFF) || frame[frame.size() - 1] != (crc >> 8)) {
        return Fail(error, "bad CRC");
    }
    if (frame[0] != unit) return Fail(error, "reply from unit " + std::to_string(frame[0]));
    return ParseReadHoldingPdu(frame.data() + 1, frame.size() - 3, count, values, error);
}

Bytes TcpReadHolding(uint16_t transaction, uint8_t unit, uint16_t start, uint16_t count) {
    Bytes frame;
    const Bytes pdu = ReadHoldingPdu(start, count);
    PutBe16(&frame, transaction);
    PutBe16(&frame, 0);
    PutBe16(&frame, static_cast<uint16_t>(pdu.size() + 1));
    frame.push_back(unit);
    frame.insert(frame.end(), pdu.begin(), pdu.end());
    return frame;
}

size_t TcpFrameLength(const Bytes& head) {
    if (head.size() < 7) return 0;
    return 6 + static_cast<size_t>(Be16(&head[4]));
}

Bytes MeterAnswerTcp(const Meter& meter, const Bytes& frame) {
    if (frame.size() < 8 || Be16(&frame[2]) != 0 || TcpFrameLength(frame) != frame.size())
        return {};
    if (frame[6] != meter.unit) return {};
    const Bytes pdu(frame.begin() + 7, frame.end());
    const Bytes answer = MeterAnswerPdu(meter, pdu);
    Bytes reply(frame.begin(), frame.begin() + 4);  // same transaction, protocol 0
    PutBe16(&reply, static_cast<uint16_t>(answer.size() + 1));
    reply.push_back(meter.unit);
    reply.insert(reply.end(), answer.begin(), answer.end());
    return reply;
}

bool ParseTcpReadHoldingReply(const Bytes& frame, uint16_t transaction, uint8_t unit,
                              uint16_t count, std::vector<uint16_t>* values, std::string* error) {
    if (frame.size() < 9)
        return Fail(error, "reply too short (" + std::to_string(frame.size()) + " bytes)");
    if (TcpFrameLength(frame) != frame.size())
        return Fail(error, "length field does not match the reply");
    if (Be16(&frame[0]) != transaction) return Fail(error, "reply to another transaction");
    if (Be16(&frame[2]) != 0) return Fail(error, "not a Modbus reply (protocol id)");
    if (frame[6] != unit) return Fail(error, "reply from unit " + std::to_string(frame[6]));
    return ParseReadHoldingPdu(frame.data() + 7, frame.size() - 7, count, values, error);
}

}  // namespace kqtool
