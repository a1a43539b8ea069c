// SPDX-License-Identifier: MIT
// Where the Modbus RTU rule ends a frame: one row per function and shape,
// each judged at every prefix, so a frame is never cut before its last
// byte and the rule never asks for a byte past it.
#include "ModbusFrame_p.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using kq::CutModbusRtu;
using kq::FrameCut;
using kq::ModbusSide;
using Bytes = std::vector<unsigned char>;

Bytes WithCrc(Bytes frame) {
    const uint16_t crc = kq::ModbusCrc16(frame.data(), frame.size());
    frame.push_back(static_cast<unsigned char>(crc & 0xFF));
    frame.push_back(static_cast<unsigned char>(crc >> 8));
    return frame;
}

Bytes Filled(Bytes head, size_t data) {
    head.insert(head.end(), data, 0x5A);
    return head;
}

TEST(ModbusFrame, CrcOfAKnownRequest) {
    // Read holding registers 0-1 of unit 1: its CRC goes out as C4 0B.
    const Bytes request = {0x01, 0x03, 0x00, 0x00, 0x00, 0x02};
    EXPECT_EQ(kq::ModbusCrc16(request.data(), request.size()), 0x0BC4);
}

TEST(ModbusFrame, SizedFramesEndAtTheirLastByte) {
    const struct {
        const char* what;
        ModbusSide side;
        Bytes frame;  // without the CRC
    } rows[] = {
        {"read holding, 2 registers", ModbusSide::kReply, {1, 0x03, 4, 0, 1, 0, 2}},
        {"read coils, count 0", ModbusSide::kReply, {1, 0x01, 0}},
        {"read input, 125 registers", ModbusSide::kReply, Filled({7, 0x04, 250}, 250)},
        {"read/write multiple", ModbusSide::kReply, {1, 0x17, 2, 0x12, 0x34}},
        {"write single coil", ModbusSide::kReply, {1, 0x05, 0, 1, 0xFF, 0}},
        {"write single register", ModbusSide::kReply, {1, 0x06, 0, 1, 0, 3}},
        {"write multiple coils", ModbusSide::kReply, {1, 0x0F, 0, 1, 0, 9}},
        {"write multiple registers", ModbusSide::kReply, {1, 0x10, 0, 1, 0, 2}},
        {"exception", ModbusSide::kReply, {1, 0x83, 0x02}},
        {"exception of function 43", ModbusSide::kReply, {1, 0xAB, 0x01}},
        {"exception status", ModbusSide::kReply, {1, 0x07, 0x6D}},
        {"diagnostics, restart", ModbusSide::kReply, {1, 0x08, 0, 0x01, 0, 0}},
        {"diagnostics, bus message count", ModbusSide::kReply, {1, 0x08, 0, 0x0B, 0, 9}},
        {"comm event counter", ModbusSide::kReply, {1, 0x0B, 0, 0, 0x01, 0x08}},
        {"comm event log", ModbusSide::kReply, {1, 0x0C, 3, 0, 0, 1}},
        {"report server id", ModbusSide::kReply, {1, 0x11, 3, 0x42, 0xFF, 0x01}},
        {"mask write", ModbusSide::kReply, {1, 0x16, 0, 4, 0, 0xF2, 0, 0x25}},
        {"FIFO queue", ModbusSide::kReply, {1, 0x18, 0, 6, 0, 2, 1, 0xB8, 0x12, 0x84}},
        {"device id, two objects",
         ModbusSide::kReply,
         {1, 0x2B, 0x0E, 1, 1, 0, 0, 2, 0, 3, 'A', 'B', 'C', 1, 1, 'X'}},
        {"device id, no object", ModbusSide::kReply, {1, 0x2B, 0x0E, 1, 1, 0, 0, 0}},
        {"request: read holding", ModbusSide::kRequest, {1, 0x03, 0, 0, 0, 2}},
        {"request: write single coil", ModbusSide::kRequest, {1, 0x05, 0, 1, 0xFF, 0}},
        {"request: write multiple registers",
         ModbusSide::kRequest,
         {1, 0x10, 0, 1, 0, 2, 4, 0, 10, 1, 2}},
        {"request: write multiple coils", ModbusSide::kRequest, {1, 0x0F, 0, 0, 0, 10, 2, 1, 3}},
        {"request: exception status", ModbusSide::kRequest, {1, 0x07}},
        {"request: server id", ModbusSide::kRequest, {1, 0x11}},
        {"request: read/write multiple",
         ModbusSide::kRequest,
         {1, 0x17, 0, 0, 0, 1, 0, 5, 0, 1, 2, 0xAB, 0xCD}},
        {"request: FIFO queue", ModbusSide::kRequest, {1, 0x18, 0x04, 0xDE}},
        {"request: device id", ModbusSide::kRequest, {1, 0x2B, 0x0E, 1, 0}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Bytes bytes = WithCrc(row.frame);
        const size_t length = bytes.size();
        // Every prefix asks for more, never for more than the frame has.
        for (size_t n = 0; n < length; ++n) {
            const FrameCut cut = CutModbusRtu(bytes.data(), n, row.side);
            ASSERT_EQ(cut.kind, FrameCut::kNeedMore) << n;
            EXPECT_GT(cut.length, n);
            EXPECT_LE(cut.length, length) << n;
        }
        // The whole frame, alone and with the next frame's bytes behind it.
        bytes.push_back(0x01);
        bytes.push_back(0x03);
        for (size_t n : {length, length + 2}) {
            const FrameCut cut = CutModbusRtu(bytes.data(), n, row.side);
            EXPECT_EQ(cut.kind, FrameCut::kComplete);
            EXPECT_EQ(cut.length, length);
        }
        // One bit off anywhere: the CRC is wrong, or the frame grows or
        // shrinks into one whose CRC is; never a whole frame of that length.
        for (size_t at = 0; at < length; ++at) {
            Bytes bad = bytes;
            bad[at] ^= 0x10;
            const FrameCut cut = CutModbusRtu(bad.data(), length, row.side);
            EXPECT_FALSE(cut.kind == FrameCut::kComplete && cut.length == length) << at;
        }
    }
}

TEST(ModbusFrame, WhatCannotBeSizedIsLeftToTheGap) {
    const struct {
        const char* what;
        ModbusSide side;
        Bytes bytes;
    } rows[] = {
        {"unknown function", ModbusSide::kReply, {1, 0x41, 0, 0, 0, 0}},
        {"function 0", ModbusSide::kReply, {1, 0x00, 0, 0, 0, 0}},
        {"diagnostics echo", ModbusSide::kReply, {1, 0x08, 0, 0x00, 0x12, 0x34, 0, 0}},
        {"diagnostics, Modbus Plus", ModbusSide::kReply, {1, 0x08, 0, 0x15, 0, 3, 0, 0}},
        {"CANopen reference", ModbusSide::kReply, {1, 0x2B, 0x0D, 0, 0, 0}},
        {"count past 256 bytes", ModbusSide::kReply, Filled({1, 0x03, 252}, 8)},
        {"FIFO count past 256 bytes", ModbusSide::kReply, {1, 0x18, 1, 0, 0, 0}},
        {"device id past 256 bytes", ModbusSide::kReply,
         Filled({1, 0x2B, 0x0E, 1, 1, 0, 0, 2, 0, 250}, 250)},
        {"request: an exception", ModbusSide::kRequest, {1, 0x83, 2, 0, 0}},
        {"request: unknown function", ModbusSide::kRequest, {1, 0x64, 0, 0}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const FrameCut cut = CutModbusRtu(row.bytes.data(), row.bytes.size(), row.side);
        EXPECT_EQ(cut.kind, FrameCut::kUnsized);
    }
}

TEST(ModbusFrame, AWrongCrcIsNoFrame) {
    Bytes reply = WithCrc({1, 0x03, 2, 0x12, 0x34});
    reply.back() ^= 0xFF;
    const FrameCut cut = CutModbusRtu(reply.data(), reply.size(), ModbusSide::kReply);
    EXPECT_EQ(cut.kind, FrameCut::kBadCrc);
    EXPECT_EQ(cut.length, reply.size());
    // The same bytes as a request are 8 long: still too few to judge.
    EXPECT_EQ(CutModbusRtu(reply.data(), reply.size(), ModbusSide::kRequest).kind,
              FrameCut::kNeedMore);
}

}  // namespace
