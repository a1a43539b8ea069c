// SPDX-License-Identifier: MIT
// The pure parts behind what real peers and a field engineer asked of kqser:
// Modbus bits, the library's lines that are warnings, and serial lines named
// by path; the rest of what real peers asked for is in FieldPeersTest.
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "LibraryLines.h"
#include "Modbus.h"
#include "Process.h"
#include "SerialPath.h"

namespace {

using kqtool::Bytes;
using kqtool::Meter;

TEST(ModbusBits, TheUnitAnswersCoilsAndDiscreteInputs) {
    Meter meter = kqtool::DefaultSimMeter(1);
    const struct {
        Bytes pdu;
        Bytes answer;
    } rows[] = {
        // Discrete inputs are on at odd addresses: 0101 0101 0(1) low bit first.
        {kqtool::ReadRequestPdu(kqtool::kReadDiscrete, 0, 9), {0x02, 0x02, 0xAA, 0x00}},
        {kqtool::ReadRequestPdu(kqtool::kReadDiscrete, 1, 9), {0x02, 0x02, 0x55, 0x01}},
        {kqtool::WriteCoilsPdu(3, {1}), {0x05, 0x00, 0x03, 0xFF, 0x00}},
        {kqtool::WriteCoilsPdu(8, {1, 0, 1}), {0x0F, 0x00, 0x08, 0x00, 0x03}},
        {kqtool::ReadRequestPdu(kqtool::kReadCoils, 0, 11), {0x01, 0x02, 0x08, 0x05}},
        {{0x05, 0x00, 0x01, 0x12, 0x34}, {0x85, 0x03}},  // neither on nor off
        {kqtool::ReadRequestPdu(kqtool::kReadCoils, 99, 2), {0x81, 0x02}},
        {kqtool::ReadRequestPdu(kqtool::kReadCoils, 0, 2001), {0x81, 0x03}},
        {{0x0F, 0x00, 0x00, 0x00, 0x09, 0x01, 0xFF}, {0x8F, 0x03}},  // byte count
        {{0x07}, {0x87, 0x01}},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(kqtool::MeterAnswerPdu(&meter, row.pdu), row.answer)
            << kqtool::DescribeRtuFrame(kqtool::RtuFrame(1, row.pdu), true);
    }

    kqtool::ModbusReply reply;
    std::string error;
    const Bytes read = kqtool::ReadRequestPdu(kqtool::kReadCoils, 0, 11);
    ASSERT_TRUE(kqtool::ParseReplyPdu(read, {0x01, 0x02, 0x08, 0x05}, &reply, &error)) << error;
    EXPECT_EQ(reply.values, std::vector<uint16_t>({0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 1}));
    EXPECT_FALSE(kqtool::ParseReplyPdu(read, {0x01, 0x01, 0x08}, &reply, &error));
    EXPECT_EQ(kqtool::ReplyPduLength(read), 4u);
    EXPECT_EQ(kqtool::RtuRequestLength(kqtool::RtuFrame(1, kqtool::WriteCoilsPdu(0, {1, 1}))), 10u);
    EXPECT_EQ(kqtool::FormatBits(7, {1, 0}), "      7  1\n      8  0\n");
}

TEST(LibraryLines, RefusalsThatLeaveThePortOpenAreWarnings) {
    const struct {
        const char* line;
        bool refusal;
    } rows[] = {
        {"pts/3:9600,n,8,1[100003] low_latency: ASYNC_LOW_LATENCY refused (Inappropriate ioctl)",
         true},
        {"pts/3:9600,n,8,1[100003] low_latency: latency_timer of ttyUSB0 stays 16 ms (EACCES)",
         true},
        {"pts/3:9600,n,8,1[100003] exclusive: /dev/pts/3 cannot be locked (EIO)", true},
        {"pts/3:9600,n,8,1[100003] rs485: the driver refuses RS-485 (ENOTTY); not opened", false},
        {"pts/3:9600,n,8,1[100003] custom_baud: 250000 bit/s asked, 250000 set", false},
        {"pts/3:9600,n,8,1[100003] frame gap 4.000 ms (frame_gap 4.000 ms)", false},
        {"pts/3:9600,n,8,1[100003] open ok!", false},
        {"low_latency: refused", false},
    };
    for (const auto& row : rows)
        EXPECT_EQ(kqtool::IsOptionRefusal(row.line), row.refusal) << row.line;
}

TEST(SerialPath, EveryWayToNameALine) {
    kqtest::TempDir dir;
    ASSERT_TRUE(dir.ok());
    // A link as /dev/serial/by-id holds them, to a name that exists.
    ASSERT_TRUE(dir.Link("by-id/usb-FTDI_A50285BI-if00-port0", "/dev/null"));
    ASSERT_TRUE(dir.Link("by-path/pci-0000:00:14.0-usb-0:1:1.0-port0", "/dev/null"));
    const std::string byId = dir.File("by-id/usb-FTDI_A50285BI-if00-port0");
    const std::string byPath = dir.File("by-path/pci-0000:00:14.0-usb-0:1:1.0-port0");
    const struct {
        std::string arg;
        std::string def;
        std::string devicePath;
    } rows[] = {
        {"ttyUSB0:9600,E,8,1", "ttyUSB0:9600,E,8,1", ""},
        {"ttyUSB0", "ttyUSB0:9600,N,8,1", ""},
        {"pts/7", "pts/7:9600,N,8,1", ""},
        {"/dev/ttyKQNONE3:19200", "ttyKQNONE3:19200,N,8,1", ""},
        {"/dev/pts/7", "pts/7:9600,N,8,1", ""},
        {"ttyS1:9600,E", "ttyS1:9600,E,8,1", ""},
        {byId + ":115200", "path0:115200,N,8,1", byId},
        {byId, "path0:9600,N,8,1", byId},
        {byPath + ":4800,N,8,2", "path0:4800,N,8,2", byPath},
        {"192.168.1.50:502", "192.168.1.50:502", ""},
        {"b:3000", "b:3000", ""},
    };
    for (const auto& row : rows) {
        kqtool::LineArg line;
        std::string error;
        ASSERT_TRUE(kqtool::MapLineArg(row.arg, &line, &error)) << row.arg << ": " << error;
        EXPECT_EQ(line.def, row.def) << row.arg;
        EXPECT_EQ(line.devicePath, row.devicePath) << row.arg;
    }
    kqtool::LineArg line;
    std::string error;
    EXPECT_FALSE(kqtool::MapLineArg("ttyUSB_far_too_long_name0:9600", &line, &error));
    EXPECT_NE(error.find("device = "), std::string::npos) << error;
}

}  // namespace
