// SPDX-License-Identifier: MIT
#include "Modbus.h"

#include <cstdio>
#include <cstring>
#include <sstream>

#include "ModbusFrame_p.h"
#include "Options.h"

namespace kqtool {

namespace {

const uint8_t kIllegalFunction = 0x01;
const uint8_t kIllegalAddress = 0x02;
const uint8_t kIllegalValue = 0x03;

uint16_t Be16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

void PutBe16(Bytes* out, uint16_t value) {
    out->push_back(static_cast<uint8_t>(value >> 8));
    out->push_back(static_cast<uint8_t>(value & 0xFF));
}

bool CrcOk(const Bytes& frame) {
    const uint16_t crc = ModbusCrc16(frame.data(), frame.size() - 2);
    return frame[frame.size() - 2] == (crc & 0xFF) && frame[frame.size() - 1] == (crc >> 8);
}

bool Fail(std::string* error, const std::string& message) {
    if (error != nullptr) *error = message;
    return false;
}

Bytes Exception(uint8_t function, uint8_t code) {
    return {static_cast<uint8_t>(function | 0x80), code};
}

bool AllThere(const Meter& meter, uint16_t start, uint16_t count) {
    for (uint32_t a = start; a < static_cast<uint32_t>(start) + count; ++a) {
        if (a > 0xFFFF || meter.registers.count(static_cast<uint16_t>(a)) == 0) return false;
    }
    return true;
}

bool ValuesOfReadReply(const Bytes& pdu, uint16_t count, std::vector<uint16_t>* values,
                       std::string* error) {
    ModbusReply reply;
    if (!ParseReplyPdu(ReadRequestPdu(kReadHolding, 0, count), pdu, &reply, error)) return false;
    if (reply.exception) {
        return Fail(error, "exception reply, code " + std::to_string(reply.code));
    }
    *values = reply.values;
    return true;
}

}  // namespace

uint16_t ModbusCrc16(const uint8_t* data, size_t n) {
    return kq::ModbusCrc16(data, n);
}

Meter DemoMeter() {
    Meter meter;
    meter.unit = 1;
    const uint16_t values[] = {2304, 512, 5000, 1180};
    for (uint16_t i = 0; i < 4; ++i) meter.registers[i] = values[i];
    return meter;
}

Meter DefaultSimMeter(uint8_t unit) {
    Meter meter = DemoMeter();
    meter.unit = unit;
    for (uint16_t a = 4; a < 100; ++a) meter.registers[a] = 0;
    return meter;
}

std::vector<uint16_t> RegisterValues(const Meter& meter, uint16_t start, uint16_t count) {
    std::vector<uint16_t> values;
    for (uint32_t a = start; a < static_cast<uint32_t>(start) + count; ++a) {
        auto it = meter.registers.find(static_cast<uint16_t>(a));
        values.push_back(it == meter.registers.end() ? 0 : it->second);
    }
    return values;
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

bool ParseRegisterFile(const std::string& text, std::map<uint16_t, uint16_t>* registers,
                       std::string* error) {
    std::map<uint16_t, uint16_t> bank;
    std::istringstream lines(text);
    std::string line;
    for (int number = 1; std::getline(lines, line); ++number) {
        line = line.substr(0, line.find('#'));
        std::istringstream words(line);
        std::string word;
        long long address = -1;
        int i = 0;
        for (; words >> word; ++i) {
            long long value = 0;
            std::string why;
            if (!ParseNumber(word, i == 0 ? 0 : -32768, 0xFFFF, &value, &why)) {
                return Fail(error, "line " + std::to_string(number) + ": " + why);
            }
            if (i == 0) {
                address = value;
                continue;
            }
            const long long at = address + i - 1;
            if (at > 0xFFFF) {
                return Fail(error, "line " + std::to_string(number) + ": past register 65535");
            }
            bank[static_cast<uint16_t>(at)] = static_cast<uint16_t>(value);
        }
        if (i == 1) {
            return Fail(error, "line " + std::to_string(number) + ": an address without a value");
        }
    }
    if (bank.empty()) return Fail(error, "no registers in the file");
    *registers = bank;
    return true;
}

Bytes MeterAnswerPdu(Meter* meter, const Bytes& pdu) {
    if (pdu.empty()) return {};
    const uint8_t function = pdu[0];
    if (function == kReadHolding || function == kReadInput) {
        if (pdu.size() != 5) return Exception(function, kIllegalValue);
        const uint16_t start = Be16(&pdu[1]);
        const uint16_t count = Be16(&pdu[3]);
        if (count == 0 || count > kMaxReadCount) return Exception(function, kIllegalValue);
        if (!AllThere(*meter, start, count)) return Exception(function, kIllegalAddress);
        Bytes answer = {function, static_cast<uint8_t>(count * 2)};
        for (uint16_t value : RegisterValues(*meter, start, count)) PutBe16(&answer, value);
        return answer;
    }
    if (function == kWriteSingle) {
        if (pdu.size() != 5) return Exception(function, kIllegalValue);
        const uint16_t address = Be16(&pdu[1]);
        if (!AllThere(*meter, address, 1)) return Exception(function, kIllegalAddress);
        meter->registers[address] = Be16(&pdu[3]);
        return pdu;
    }
    if (function == kWriteMultiple) {
        if (pdu.size() < 6) return Exception(function, kIllegalValue);
        const uint16_t start = Be16(&pdu[1]);
        const uint16_t count = Be16(&pdu[3]);
        if (count == 0 || count > kMaxWriteCount || pdu[5] != count * 2 ||
            pdu.size() != 6 + static_cast<size_t>(count) * 2) {
            return Exception(function, kIllegalValue);
        }
        if (!AllThere(*meter, start, count)) return Exception(function, kIllegalAddress);
        for (uint16_t i = 0; i < count; ++i) {
            meter->registers[static_cast<uint16_t>(start + i)] = Be16(&pdu[6 + 2 * i]);
        }
        return Bytes(pdu.begin(), pdu.begin() + 5);
    }
    return Exception(function, kIllegalFunction);
}

Bytes ReadRequestPdu(uint8_t function, uint16_t start, uint16_t count) {
    Bytes pdu = {function};
    PutBe16(&pdu, start);
    PutBe16(&pdu, count);
    return pdu;
}

Bytes WriteRequestPdu(uint16_t start, const std::vector<uint16_t>& values) {
    if (values.size() == 1) {
        Bytes pdu = {kWriteSingle};
        PutBe16(&pdu, start);
        PutBe16(&pdu, values[0]);
        return pdu;
    }
    Bytes pdu = {kWriteMultiple};
    PutBe16(&pdu, start);
    PutBe16(&pdu, static_cast<uint16_t>(values.size()));
    pdu.push_back(static_cast<uint8_t>(values.size() * 2));
    for (uint16_t value : values) PutBe16(&pdu, value);
    return pdu;
}

size_t ReplyPduLength(const Bytes& requestPdu) {
    if (requestPdu.size() < 5) return 2;
    const uint8_t function = requestPdu[0];
    if (function == kReadHolding || function == kReadInput) {
        return 2 + 2 * static_cast<size_t>(Be16(&requestPdu[3]));
    }
    return 5;
}

std::string ExceptionName(uint8_t code) {
    switch (code) {
        case 0x01: return "illegal function";
        case 0x02: return "illegal data address";
        case 0x03: return "illegal data value";
        case 0x04: return "server device failure";
        case 0x05: return "acknowledge";
        case 0x06: return "server device busy";
        case 0x08: return "memory parity error";
        case 0x0A: return "gateway path unavailable";
        case 0x0B: return "gateway target device failed to respond";
        default: {
            char text[24];
            std::snprintf(text, sizeof text, "exception 0x%02X", code);
            return text;
        }
    }
}

bool ParseReplyPdu(const Bytes& requestPdu, const Bytes& replyPdu, ModbusReply* reply,
                   std::string* error) {
    if (requestPdu.empty()) return Fail(error, "no request");
    const uint8_t function = requestPdu[0];
    if (replyPdu.size() < 2) return Fail(error, "reply too short");
    *reply = ModbusReply();
    if (replyPdu[0] == (function | 0x80)) {
        if (replyPdu.size() != 2) return Fail(error, "exception reply of a wrong length");
        reply->exception = true;
        reply->code = replyPdu[1];
        return true;
    }
    if (replyPdu[0] != function) return Fail(error, "reply to another function");
    if (function == kReadHolding || function == kReadInput) {
        const size_t count = requestPdu.size() >= 5 ? Be16(&requestPdu[3]) : 0;
        if (replyPdu[1] != count * 2 || replyPdu.size() != 2 + count * 2) {
            return Fail(error, "reply carries " + std::to_string(replyPdu[1]) +
                                   " data bytes, expected " + std::to_string(count * 2));
        }
        for (size_t i = 0; i < count; ++i) reply->values.push_back(Be16(&replyPdu[2 + 2 * i]));
        return true;
    }
    // A write is confirmed by an echo of its first five bytes.
    if (replyPdu.size() != 5 || requestPdu.size() < 5 ||
        !std::equal(replyPdu.begin(), replyPdu.end(), requestPdu.begin())) {
        return Fail(error, "the reply does not confirm the write");
    }
    return true;
}

Bytes RtuFrame(uint8_t unit, const Bytes& pdu) {
    Bytes frame = {unit};
    frame.insert(frame.end(), pdu.begin(), pdu.end());
    const uint16_t crc = ModbusCrc16(frame.data(), frame.size());
    frame.push_back(static_cast<uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    return frame;
}

bool RtuReplyPdu(const Bytes& frame, uint8_t unit, Bytes* pdu, std::string* error) {
    if (frame.size() < 5) {
        return Fail(error, "reply too short (" + std::to_string(frame.size()) + " bytes)");
    }
    if (!CrcOk(frame)) return Fail(error, "bad CRC");
    if (frame[0] != unit) return Fail(error, "reply from unit " + std::to_string(frame[0]));
    pdu->assign(frame.begin() + 1, frame.end() - 2);
    return true;
}

Bytes RtuReadHolding(uint8_t unit, uint16_t start, uint16_t count) {
    return RtuFrame(unit, ReadRequestPdu(kReadHolding, start, count));
}

size_t RtuRequestLength(const Bytes& head) {
    return kq::ModbusRtuLength(head.data(), head.size(), kq::ModbusSide::kRequest);
}

Bytes MeterAnswerRtu(Meter* meter, const Bytes& frame) {
    if (frame.size() < 4 || !CrcOk(frame) || frame[0] != meter->unit) return {};
    const Bytes pdu(frame.begin() + 1, frame.end() - 2);
    return RtuFrame(meter->unit, MeterAnswerPdu(meter, pdu));
}

bool ParseRtuReadHoldingReply(const Bytes& frame, uint8_t unit, uint16_t count,
                              std::vector<uint16_t>* values, std::string* error) {
    Bytes pdu;
    if (!RtuReplyPdu(frame, unit, &pdu, error)) return false;
    return ValuesOfReadReply(pdu, count, values, error);
}

Bytes TcpFrame(uint16_t transaction, uint8_t unit, const Bytes& pdu) {
    Bytes frame;
    PutBe16(&frame, transaction);
    PutBe16(&frame, 0);
    PutBe16(&frame, static_cast<uint16_t>(pdu.size() + 1));
    frame.push_back(unit);
    frame.insert(frame.end(), pdu.begin(), pdu.end());
    return frame;
}

bool TcpReplyPdu(const Bytes& frame, uint16_t transaction, uint8_t unit, Bytes* pdu,
                 std::string* error) {
    if (frame.size() < 9) {
        return Fail(error, "reply too short (" + std::to_string(frame.size()) + " bytes)");
    }
    if (TcpFrameLength(frame) != frame.size()) {
        return Fail(error, "length field does not match the reply");
    }
    if (Be16(&frame[0]) != transaction) return Fail(error, "reply to another transaction");
    if (Be16(&frame[2]) != 0) return Fail(error, "not a Modbus reply (protocol id)");
    if (frame[6] != unit) return Fail(error, "reply from unit " + std::to_string(frame[6]));
    pdu->assign(frame.begin() + 7, frame.end());
    return true;
}

Bytes TcpReadHolding(uint16_t transaction, uint8_t unit, uint16_t start, uint16_t count) {
    return TcpFrame(transaction, unit, ReadRequestPdu(kReadHolding, start, count));
}

size_t TcpFrameLength(const Bytes& head) {
    if (head.size() < 7) return 0;
    return 6 + static_cast<size_t>(Be16(&head[4]));
}

Bytes MeterAnswerTcp(Meter* meter, const Bytes& frame) {
    if (frame.size() < 8 || Be16(&frame[2]) != 0 || TcpFrameLength(frame) != frame.size())
        return {};
    if (frame[6] != meter->unit) return {};
    const Bytes pdu(frame.begin() + 7, frame.end());
    return TcpFrame(Be16(&frame[0]), meter->unit, MeterAnswerPdu(meter, pdu));
}

bool ParseTcpReadHoldingReply(const Bytes& frame, uint16_t transaction, uint8_t unit,
                              uint16_t count, std::vector<uint16_t>* values, std::string* error) {
    Bytes pdu;
    if (!TcpReplyPdu(frame, transaction, unit, &pdu, error)) return false;
    return ValuesOfReadReply(pdu, count, values, error);
}

std::string FormatRegisters(uint16_t start, const std::vector<uint16_t>& values, bool pairs,
                            bool swap) {
    std::string text;
    char line[128];
    for (size_t i = 0; i < values.size(); ++i) {
        std::snprintf(line, sizeof line, "  %5u  %5u  0x%04X  %6d\n",
                      static_cast<unsigned>(start + i), values[i], values[i],
                      static_cast<int16_t>(values[i]));
        text += line;
    }
    if (!pairs) return text;
    for (size_t i = 0; i + 1 < values.size(); i += 2) {
        const uint16_t high = swap ? values[i + 1] : values[i];
        const uint16_t low = swap ? values[i] : values[i + 1];
        const uint32_t u32 = static_cast<uint32_t>(high) << 16 | low;
        float f = 0;
        std::memcpy(&f, &u32, sizeof f);
        std::snprintf(line, sizeof line, "  %5u-%-5u  u32 %10u  i32 %11d  float %.7g\n",
                      static_cast<unsigned>(start + i), static_cast<unsigned>(start + i + 1), u32,
                      static_cast<int32_t>(u32), static_cast<double>(f));
        text += line;
    }
    return text;
}

namespace {

std::string FunctionName(uint8_t function) {
    switch (function) {
        case kReadHolding: return "read holding registers";
        case kReadInput: return "read input registers";
        case kWriteSingle: return "write register";
        case kWriteMultiple: return "write registers";
        default: {
            char text[24];
            std::snprintf(text, sizeof text, "function 0x%02X", function);
            return text;
        }
    }
}

std::string Values(const uint8_t* data, size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i) {
        text += (i == 0 ? "" : " ") + std::to_string(Be16(data + 2 * i));
    }
    return text;
}

std::string Range(uint16_t start, size_t count) {
    return std::to_string(start) + "-" + std::to_string(start + count - 1) + " (" +
           std::to_string(count) + ")";
}

std::string DescribePdu(const Bytes& pdu, bool request) {
    if (pdu.empty()) {
        return "no function code";
    }
    const uint8_t function = pdu[0];
    const size_t n = pdu.size();
    if (!request && (function & 0x80) != 0) {
        return "exception to " + FunctionName(function & 0x7F) + ": " +
               (n >= 2 ? ExceptionName(pdu[1]) : std::string("no code"));
    }
    const std::string name = FunctionName(function);
    const std::string bad = name + ", " + std::to_string(n - 1) + " data bytes that do not fit it";
    switch (function) {
        case kReadHolding:
        case kReadInput:
            if (request) {
                return n == 5 ? name + " " + Range(Be16(&pdu[1]), Be16(&pdu[3])) : bad;
            }
            if (n < 2 || pdu[1] % 2 != 0 || n != 2 + static_cast<size_t>(pdu[1])) return bad;
            return name + ": " + std::to_string(pdu[1] / 2) + " values" +
                   (pdu[1] > 0 ? " " + Values(&pdu[2], pdu[1] / 2u) : "");
        case kWriteSingle:
            return n == 5 ? name + " " + std::to_string(Be16(&pdu[1])) + " = " +
                                std::to_string(Be16(&pdu[3]))
                          : bad;
        case kWriteMultiple:
            if (!request) {
                return n == 5 ? "wrote registers " + Range(Be16(&pdu[1]), Be16(&pdu[3])) : bad;
            }
            if (n < 6 || n != 6 + static_cast<size_t>(pdu[5]) || pdu[5] != 2 * Be16(&pdu[3])) {
                return bad;
            }
            return name + " " + Range(Be16(&pdu[1]), Be16(&pdu[3])) + ": " +
                   Values(&pdu[6], Be16(&pdu[3]));
        default: return name + ", " + std::to_string(n - 1) + " data bytes";
    }
}

}  // namespace

std::string DescribeRtuFrame(const Bytes& frame, bool request) {
    if (frame.size() < 4) {
        return "not an RTU frame: " + std::to_string(frame.size()) + " bytes";
    }
    const size_t n = frame.size();
    const uint16_t sent = static_cast<uint16_t>(frame[n - 2] | (frame[n - 1] << 8));
    const uint16_t computed = ModbusCrc16(frame.data(), n - 2);
    char crc[64];
    if (sent == computed) {
        std::snprintf(crc, sizeof crc, "CRC ok");
    } else {
        std::snprintf(crc, sizeof crc, "CRC BAD (the frame says %04X, its bytes give %04X)", sent,
                      computed);
    }
    const Bytes pdu(frame.begin() + 1, frame.end() - 2);
    return "unit " + std::to_string(frame[0]) + ": " + DescribePdu(pdu, request) + "; " + crc;
}

std::vector<std::string> DescribeTcpFrames(const Bytes& bytes, bool request) {
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < bytes.size()) {
        const Bytes rest(bytes.begin() + static_cast<long>(at), bytes.end());
        const size_t length = TcpFrameLength(rest);
        if (length < 8 || length > rest.size()) {
            lines.push_back(std::to_string(rest.size()) + " bytes that make no whole TCP frame");
            break;
        }
        std::string line = "transaction " + std::to_string(Be16(&rest[0])) + ", unit " +
                           std::to_string(rest[6]) + ": ";
        if (Be16(&rest[2]) != 0) {
            line += "protocol " + std::to_string(Be16(&rest[2])) + ", not Modbus";
        } else {
            line += DescribePdu(Bytes(rest.begin() + 7, rest.begin() + static_cast<long>(length)),
                                request);
        }
        lines.push_back(line);
        at += length;
    }
    return lines;
}

}  // namespace kqtool
