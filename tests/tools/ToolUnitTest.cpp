// SPDX-License-Identifier: MIT
// The tool's pure parts: hex arguments, option parsing, definition strings,
// statistics, dumps and Modbus frames.
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "DefString.h"
#include "Format.h"
#include "HexArg.h"
#include "Modbus.h"
#include "Options.h"
#include "Stats.h"

using namespace kqtool;

namespace {

std::vector<uint8_t> Hex(const std::string& text) {
    std::vector<uint8_t> bytes;
    std::string error;
    EXPECT_TRUE(ParseHexBytes(text, &bytes, &error)) << error;
    return bytes;
}

std::string HexError(const std::string& text) {
    std::vector<uint8_t> bytes = {0xAA};
    std::string error;
    EXPECT_FALSE(ParseHexBytes(text, &bytes, &error)) << text;
    EXPECT_EQ(bytes, std::vector<uint8_t>({0xAA})) << "failure must leave the output alone";
    return error;
}

TEST(HexArg, AcceptsGroupsBlanksAndPrefixes) {
    EXPECT_EQ(Hex("0103000000"), std::vector<uint8_t>({0x01, 0x03, 0x00, 0x00, 0x00}));
    EXPECT_EQ(Hex(" 01 03\t0a0B\n"), std::vector<uint8_t>({0x01, 0x03, 0x0A, 0x0B}));
    EXPECT_EQ(Hex("0xC40B 0Xff"), std::vector<uint8_t>({0xC4, 0x0B, 0xFF}));
    EXPECT_TRUE(Hex("").empty());
    EXPECT_TRUE(Hex("   ").empty());

    std::vector<uint8_t> bytes = {0x01};
    ASSERT_TRUE(ParseHexBytes("02", &bytes, nullptr));
    EXPECT_EQ(bytes, std::vector<uint8_t>({0x01, 0x02})) << "appends";
}

TEST(HexArg, RejectsOddLengthsAndNonHexWithOneSafeLine) {
    EXPECT_NE(HexError("ABC").find("odd number"), std::string::npos);
    EXPECT_NE(HexError("01 2").find("odd number"), std::string::npos);
    EXPECT_NE(HexError("0G").find("'G' is not a hex digit"), std::string::npos);
    EXPECT_NE(HexError("01,02").find("','"), std::string::npos);
    EXPECT_NE(HexError("0x").find("no digits"), std::string::npos);
    EXPECT_NE(HexError("-1").find("not a hex digit"), std::string::npos);

    // Control bytes and overlong text are not echoed raw.
    const std::string control = HexError(std::string("0\x1b[2J", 5));
    EXPECT_EQ(control.find('\x1b'), std::string::npos);
    EXPECT_NE(control.find("\\x1B"), std::string::npos);
    const std::string overlong = HexError(std::string(100000, 'A') + "Z");
    EXPECT_LT(overlong.size(), 200u);
    EXPECT_EQ(overlong.find('\n'), std::string::npos);
    std::string nul("01", 2);
    nul += '\0';
    EXPECT_NE(HexError(nul).find("\\x00"), std::string::npos);
}

TEST(HexArg, BoundsTheTotal) {
    std::vector<uint8_t> bytes;
    EXPECT_TRUE(ParseHexBytes(std::string(2 * kMaxHexBytes, 'f'), &bytes, nullptr));
    EXPECT_EQ(bytes.size(), kMaxHexBytes);
    std::string error;
    EXPECT_FALSE(ParseHexBytes("00", &bytes, &error)) << "the limit counts what is already there";
    EXPECT_NE(error.find("too many"), std::string::npos);
    EXPECT_FALSE(ParseHexBytes("00", nullptr, &error));
}

const std::vector<OptionDef> kKnown = {{"--read", true}, {"--type", true}, {"-v", false}};

TEST(Options, MixesPositionalsAndBothValueForms) {
    Args args;
    std::string error;
    ASSERT_TRUE(ParseArgs({"ttyS1:9600", "--read=9", "01", "-v", "--type", "0x100001", "--", "-v"},
                          kKnown, &args, &error))
        << error;
    EXPECT_EQ(args.positional, std::vector<std::string>({"ttyS1:9600", "01", "-v"}));
    EXPECT_EQ(args.Get("--read"), "9");
    EXPECT_EQ(args.Get("--type"), "0x100001");
    EXPECT_TRUE(args.Has("-v"));
    EXPECT_EQ(args.Get("--timeout", "1000"), "1000");
    // A value that looks like an option is still the value.
    ASSERT_TRUE(ParseArgs({"--read", "-1", "-"}, kKnown, &args, &error));
    EXPECT_EQ(args.Get("--read"), "-1");
    EXPECT_EQ(args.positional, std::vector<std::string>({"-"}));
}

TEST(Options, NamesWhatIsWrong) {
    Args args;
    std::string error;
    EXPECT_FALSE(ParseArgs({"--bogus"}, kKnown, &args, &error));
    EXPECT_EQ(error, "unknown option '--bogus'");
    EXPECT_FALSE(ParseArgs({"x", "--read"}, kKnown, &args, &error));
    EXPECT_EQ(error, "option --read needs a value");
    EXPECT_FALSE(ParseArgs({"-v=1"}, kKnown, &args, &error));
    EXPECT_FALSE(ParseArgs({"--v=1"}, kKnown, &args, &error));
    EXPECT_FALSE(ParseArgs({std::string(5000, '-') + "x"}, kKnown, &args, &error));
    EXPECT_LT(error.size(), 100u);
}

TEST(Options, ParsesNumbersInRange) {
    long long value = 0;
    std::string error;
    EXPECT_TRUE(ParseNumber("1000", 0, 5000, &value, &error));
    EXPECT_EQ(value, 1000);
    EXPECT_TRUE(ParseNumber("0x120000", 0, 0x7FFFFFFF, &value, &error));
    EXPECT_EQ(value, 0x120000);
    EXPECT_TRUE(ParseNumber("-5", -10, 10, &value, &error));
    EXPECT_EQ(value, -5);
    for (const char* bad : {"", "-", "0x", "12a", "1.5", " 1", "0x1g"}) {
        EXPECT_FALSE(ParseNumber(bad, 0, 100, &value, &error)) << bad;
        EXPECT_NE(error.find("not a number"), std::string::npos) << bad;
    }
    EXPECT_FALSE(ParseNumber("101", 0, 100, &value, &error));
    EXPECT_NE(error.find("out of range"), std::string::npos);
    EXPECT_FALSE(ParseNumber("99999999999999999999999", 0, 100, &value, &error));
    EXPECT_FALSE(ParseNumber("-1", 0, 100, &value, &error));
}

TEST(Options, FindsTheSubcommandPastGlobalValues) {
    const std::vector<OptionDef> global = {{"--lib", true}, {"-v", false}};
    int at = 0;
    FindSubcommand({"--lib", "send", "-v", "info"}, global, &at);
    EXPECT_EQ(at, 3) << "the value of --lib is not the command";
    FindSubcommand({"-v", "send", "x"}, global, &at);
    EXPECT_EQ(at, 1);
    FindSubcommand({"-v", "--lib"}, global, &at);
    EXPECT_EQ(at, -1);
    FindSubcommand({}, global, &at);
    EXPECT_EQ(at, -1);
}

DefInfo Def(const std::string& text) {
    DefInfo info;
    std::string error;
    EXPECT_TRUE(ClassifyDef(text, &info, &error)) << text << ": " << error;
    return info;
}

TEST(DefString, SerialTypeCodesFollowThePrefixAndPortDigit) {
    struct Case {
        const char* def;
        int type;
    } cases[] = {
        {"ttyUSB0:115200,N,8,1", 0x120000},
        {"ttyS1:9600,E,7,2", 0x100001},
        {"ttyXRUSB2:38400,o,8,1.5", 0x110002},
        {"esl3:19200,s,8,2", 0x110003},
        {"ttyACM0:9600,M,8,1", 0x120000},
        {"ttyS10:57600", 0x100000},
        {"1:4800", 0x100001},
        {"ttyusb0:9600", 0x120000},
        {"pts/7:115200,N,8,1", 0x100007},
        {"ttyEXA4:9600", 0x110004},
        {"ttyFT1:9600", 0x120001},
        {"ttyEC2:9600", 0x120002},
        {"ttySBC5:9600", 0x110005},
        {"ttyAMA0:9600", 0x100000},
    };
    for (const Case& c : cases) {
        const DefInfo info = Def(c.def);
        EXPECT_EQ(info.portClass, PortClass::kSerial) << c.def;
        EXPECT_EQ(info.typeCode, c.type) << c.def;
    }
    EXPECT_EQ(Def("ttyS10:57600").device, "ttyS1");
    EXPECT_EQ(SerialKindOfDevice("ttyUS"), 0x100000) << "shorter than the prefix";
}

TEST(DefString, NetworkTypeCodesAre0x200000PlusThePort) {
    DefInfo info = Def("192.168.1.50:502");
    EXPECT_EQ(info.portClass, PortClass::kNet);
    EXPECT_EQ(info.typeCode, 0x2001F6);
    EXPECT_EQ(info.host, "192.168.1.50");
    info = Def("u10.0.0.7:4000");
    EXPECT_EQ(info.typeCode, 0x200000 + 4000);
    EXPECT_EQ(info.host, "u10.0.0.7");
    EXPECT_EQ(Def("b:3000").typeCode, 0x200000 + 3000);
    EXPECT_EQ(Def("B10.0.0.255:3000").portClass, PortClass::kNet);
    // A missing or zero port is the library's default, 20600.
    EXPECT_EQ(Def("10.1.1.1").typeCode, 0x200000 + 20600);
    EXPECT_EQ(Def("10.1.1.1:0").typeCode, 0x200000 + 20600);
    EXPECT_EQ(Def("10.1.1.1:8080/x").netPort, 8080);
    EXPECT_EQ(Def("127.0.0.1:65535").typeCode, 0x20FFFF);
}

TEST(DefString, RejectsWhatTheLibraryWouldMisread) {
    DefInfo info;
    std::string error;
    for (const char* bad :
         {"", "COM1", "ttyUSB0", "COM:9600", "ttyS,1:9600", ":9600", "127.0.0.1:70000",
          "1.2.3.4:-1", "1234567890.1234567:80", "averyveryverylongdevicename0:9600", "u:4000"}) {
        EXPECT_FALSE(ClassifyDef(bad, &info, &error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
        EXPECT_LT(error.size(), 200u) << bad;
    }
    EXPECT_FALSE(ClassifyDef(std::string("ttyS1:96\0"
                                         "00",
                                         10),
                             &info, &error));
    EXPECT_FALSE(ClassifyDef("B255.255.255.255:3000", &info, &error)) << "16 characters of host";
}

TEST(DefString, GpioSelectorsMapToLines) {
    EXPECT_EQ(GpioLineOfSelector(0), 0);
    EXPECT_EQ(GpioLineOfSelector(1), 1);
    EXPECT_EQ(GpioLineOfSelector(2), 17);
    EXPECT_EQ(GpioLineOfSelector(3), 18);
    EXPECT_EQ(GpioLineOfSelector(255), 270);
}

TEST(Stats, MinMedianP99Max) {
    EXPECT_EQ(ComputeLatencyStats({}).count, 0u);
    LatencyStats one = ComputeLatencyStats({4.5});
    EXPECT_EQ(one.count, 1u);
    EXPECT_DOUBLE_EQ(one.min, 4.5);
    EXPECT_DOUBLE_EQ(one.median, 4.5);
    EXPECT_DOUBLE_EQ(one.p99, 4.5);
    EXPECT_DOUBLE_EQ(one.max, 4.5);

    LatencyStats even = ComputeLatencyStats({4, 1, 3, 2});
    EXPECT_DOUBLE_EQ(even.median, 2.5);
    EXPECT_DOUBLE_EQ(even.min, 1);
    EXPECT_DOUBLE_EQ(even.max, 4);
    EXPECT_DOUBLE_EQ(even.p99, 4);

    // 1..100: the 99th smallest; 1..200: the 198th; 1..101: the 100th.
    auto range = [](int n) {
        std::vector<double> v;
        for (int i = n; i >= 1; --i) v.push_back(i);
        return v;
    };
    EXPECT_DOUBLE_EQ(ComputeLatencyStats(range(100)).p99, 99);
    EXPECT_DOUBLE_EQ(ComputeLatencyStats(range(200)).p99, 198);
    EXPECT_DOUBLE_EQ(ComputeLatencyStats(range(101)).p99, 100);
    EXPECT_DOUBLE_EQ(ComputeLatencyStats(range(101)).median, 51);
}

TEST(Stats, TextForms) {
    EXPECT_EQ(FormatLatencyStats(LatencyStats()), "latency us: no replies");
    EXPECT_EQ(FormatLatencyStats(ComputeLatencyStats({0.131, 2, 3.0004})),
              "latency us: min 131  median 2000  p99 3000  max 3000  (3 replies)");
    EXPECT_EQ(FormatProgress(7, 100, 1, 2.5, true),
              "[  7/100] replies 6  no reply 1  last 2500 us");
    EXPECT_EQ(FormatProgress(3, 5, 3, 0, false), "[3/5] replies 0  no reply 3  last: no reply");
}

TEST(Format, HexAndAscii) {
    const uint8_t bytes[] = {'h', 'i', 0x00, 0x7F, 0xFF, '~'};
    EXPECT_EQ(HexString(bytes, sizeof bytes), "68 69 00 7F FF 7E");
    EXPECT_EQ(HexString(nullptr, 3), "");
    EXPECT_EQ(HexAsciiDump(bytes, sizeof bytes, "  "),
              "  0000  68 69 00 7F FF 7E                                 |hi...~|\n");
    std::vector<uint8_t> seventeen(17, 'A');
    const std::string dump = HexAsciiDump(seventeen.data(), seventeen.size(), "");
    EXPECT_NE(
        dump.find("0000  41 41 41 41 41 41 41 41  41 41 41 41 41 41 41 41  |AAAAAAAAAAAAAAAA|\n"),
        std::string::npos);
    EXPECT_NE(dump.find("0010  41 "), std::string::npos);
    EXPECT_EQ(HexAsciiDump(bytes, 0, ""), "");
}

TEST(Modbus, CrcMatchesKnownFrames) {
    // 01 03 00 00 00 0A is sent with the CRC bytes C5 CD.
    const Bytes request = RtuReadHolding(1, 0, 10);
    EXPECT_EQ(request, Bytes({0x01, 0x03, 0x00, 0x00, 0x00, 0x0A, 0xC5, 0xCD}));
    EXPECT_EQ(RtuReadHolding(1, 0, 2), Bytes({0x01, 0x03, 0x00, 0x00, 0x00, 0x02, 0xC4, 0x0B}));
    const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(ModbusCrc16(check, sizeof check), 0x4B37);
    EXPECT_EQ(ModbusCrc16(nullptr, 0), 0xFFFF);
}

TEST(Modbus, RtuMeterAnswersAndKeepsSilentOnBadFrames) {
    Meter meter = DemoMeter();
    const Bytes reply = MeterAnswerRtu(&meter, RtuReadHolding(1, 0, 4));
    ASSERT_EQ(reply.size(), 13u);
    EXPECT_EQ(reply[0], 1);
    EXPECT_EQ(reply[1], 3);
    EXPECT_EQ(reply[2], 8);
    std::vector<uint16_t> values;
    std::string error;
    ASSERT_TRUE(ParseRtuReadHoldingReply(reply, 1, 4, &values, &error)) << error;
    EXPECT_EQ(values, RegisterValues(meter, 0, 4));
    EXPECT_EQ(DescribeDemoRegisters(values),
              "voltage 230.4 V, current 5.12 A, frequency 50.00 Hz, power 1180 W");

    Bytes bad = RtuReadHolding(1, 0, 4);
    bad[7] ^= 1;
    EXPECT_TRUE(MeterAnswerRtu(&meter, bad).empty()) << "bad CRC";
    EXPECT_TRUE(MeterAnswerRtu(&meter, RtuReadHolding(2, 0, 4)).empty()) << "other unit";
    EXPECT_TRUE(MeterAnswerRtu(&meter, Bytes({0x01, 0x03})).empty());

    // Out of range: exception 2, which the master reports.
    const Bytes exception = MeterAnswerRtu(&meter, RtuReadHolding(1, 3, 2));
    ASSERT_EQ(exception.size(), 5u);
    EXPECT_EQ(exception[1], 0x83);
    EXPECT_EQ(exception[2], 0x02);
    EXPECT_FALSE(ParseRtuReadHoldingReply(exception, 1, 2, &values, &error));
    EXPECT_NE(error.find("exception"), std::string::npos);
    EXPECT_EQ(MeterAnswerRtu(&meter, RtuReadHolding(1, 0, 0))[2], 0x03) << "count 0";

    Bytes corrupt = reply;
    corrupt[4] ^= 0x10;
    EXPECT_FALSE(ParseRtuReadHoldingReply(corrupt, 1, 4, &values, &error));
    EXPECT_EQ(error, "bad CRC");
    EXPECT_FALSE(ParseRtuReadHoldingReply(reply, 1, 3, &values, &error)) << "wrong count";
    EXPECT_FALSE(
        ParseRtuReadHoldingReply(Bytes(reply.begin(), reply.begin() + 4), 1, 4, &values, &error));
    EXPECT_EQ(RtuRequestLength(Bytes({0x01})), 0u);
    EXPECT_EQ(RtuRequestLength(Bytes({0x01, 0x03})), 8u);
    EXPECT_EQ(RtuRequestLength(Bytes({0x01, 0x10})), 0u);
}

TEST(Modbus, TcpMeterAnswersWithTheSameTransaction) {
    Meter meter = DemoMeter();
    const Bytes request = TcpReadHolding(0x1234, 1, 1, 2);
    EXPECT_EQ(request,
              Bytes({0x12, 0x34, 0x00, 0x00, 0x00, 0x06, 0x01, 0x03, 0x00, 0x01, 0x00, 0x02}));
    EXPECT_EQ(TcpFrameLength(request), request.size());
    EXPECT_EQ(TcpFrameLength(Bytes(request.begin(), request.begin() + 6)), 0u);
    const Bytes reply = MeterAnswerTcp(&meter, request);
    EXPECT_EQ(reply, Bytes({0x12, 0x34, 0x00, 0x00, 0x00, 0x07, 0x01, 0x03, 0x04, 0x02, 0x00, 0x13,
                            0x88}));
    std::vector<uint16_t> values;
    std::string error;
    ASSERT_TRUE(ParseTcpReadHoldingReply(reply, 0x1234, 1, 2, &values, &error)) << error;
    EXPECT_EQ(values, std::vector<uint16_t>({512, 5000}));
    EXPECT_FALSE(ParseTcpReadHoldingReply(reply, 0x1235, 1, 2, &values, &error));
    EXPECT_FALSE(ParseTcpReadHoldingReply(Bytes(reply.begin(), reply.end() - 1), 0x1234, 1, 2,
                                          &values, &error));
    Bytes otherProtocol = request;
    otherProtocol[3] = 1;
    EXPECT_TRUE(MeterAnswerTcp(&meter, otherProtocol).empty());
    EXPECT_EQ(MeterAnswerTcp(&meter, TcpReadHolding(1, 1, 0, 200))[7], 0x83);
}

}  // namespace
