// SPDX-License-Identifier: MIT
// The pure parts of kqser's field commands: capture files, the simulated
// devices, Modbus requests and replies, the help layout, listen addresses,
// line ends and the flow figures.
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "CaptureFile.h"
#include "Endpoint.h"
#include "Help.h"
#include "HexArg.h"
#include "LineEnds.h"
#include "Modbus.h"
#include "Options.h"
#include "SimDevice.h"
#include "Stats.h"

using namespace kqtool;

namespace {

CaptureRecord Rec(bool tx, const Bytes& bytes, int count = -2) {
    CaptureRecord record;
    record.tx = tx;
    record.bytes = bytes;
    record.count = count == -2 ? static_cast<int>(bytes.size()) : count;
    return record;
}

TEST(CaptureFile, ReplayPairsEachRequestWithTheReadsAfterIt) {
    const std::vector<ReplayExchange> exchanges = ReplayExchanges({
        Rec(false, {0x99}),  // before any request: dropped
        Rec(true, {0x01}),
        Rec(false, {}, 0),  // a read that got nothing
        Rec(false, {0x02}),
        Rec(false, {0x03}),
        Rec(true, {0x04}),
        Rec(true, {}, -1),  // a failed write is no request
        Rec(true, {0x05}),
        Rec(false, {0x06}),
    });
    ASSERT_EQ(exchanges.size(), 3u);
    EXPECT_EQ(exchanges[0].request, Bytes({0x01}));
    EXPECT_EQ(exchanges[0].reply, Bytes({0x02, 0x03}));
    EXPECT_EQ(exchanges[1].request, Bytes({0x04}));
    EXPECT_TRUE(exchanges[1].reply.empty());
    EXPECT_EQ(exchanges[2].reply, Bytes({0x06}));
}

TEST(SimDevice, ModbusUnitFramesTheRequestsItGets) {
    ModbusDevice unit(DefaultSimMeter(1));
    const Bytes read = RtuReadHolding(1, 0, 2);
    // Split anywhere: answered when whole.
    EXPECT_TRUE(unit.Feed(Bytes(read.begin(), read.begin() + 3)).empty());
    const std::vector<Bytes> replies = unit.Feed(Bytes(read.begin() + 3, read.end()));
    ASSERT_EQ(replies.size(), 1u);
    std::vector<uint16_t> values;
    std::string error;
    ASSERT_TRUE(ParseRtuReadHoldingReply(replies[0], 1, 2, &values, &error)) << error;
    EXPECT_EQ(values, std::vector<uint16_t>({2304, 512}));
    EXPECT_EQ(unit.TakeEvents().size(), 1u);

    // Two at once, the first with a bad CRC: only the second is answered.
    Bytes two = RtuReadHolding(1, 0, 1);
    two[7] ^= 0x01;
    const Bytes write = RtuFrame(1, WriteRequestPdu(5, {1, 2, 3}));
    two.insert(two.end(), write.begin(), write.end());
    const std::vector<Bytes> answers = unit.Feed(two);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0], RtuFrame(1, Bytes({0x10, 0x00, 0x05, 0x00, 0x03})));
    EXPECT_EQ(RegisterValues(unit.meter(), 5, 3), std::vector<uint16_t>({1, 2, 3}));
    const std::vector<std::string> events = unit.TakeEvents();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].rfind("ignored ", 0), 0u) << events[0];

    // A function of unknown length: answered when the line falls silent.
    EXPECT_TRUE(unit.Feed(RtuFrame(1, {0x2B, 0x0E})).empty());
    const std::vector<Bytes> late = unit.Gap();
    ASSERT_EQ(late.size(), 1u);
    EXPECT_EQ(late[0], RtuFrame(1, Bytes({0xAB, 0x01})));
    EXPECT_TRUE(unit.Gap().empty());
}

TEST(SimDevice, ReplayMatchesTheEndOfWhatArrivedRoundAndRound) {
    ReplayDevice device({{{'A', 'T'}, {'O', 'K'}}, {{'A', 'T'}, {'N', 'O'}}, {{'Q'}, {}}});
    EXPECT_TRUE(device.Feed({'A'}).empty());
    EXPECT_EQ(device.Feed({'T'}), std::vector<Bytes>({{'O', 'K'}}));
    EXPECT_EQ(device.Feed({'A', 'T'}), std::vector<Bytes>({{'N', 'O'}}));
    EXPECT_EQ(device.Feed({'x', 'A', 'T'}), std::vector<Bytes>({{'O', 'K'}})) << "noise first";
    EXPECT_TRUE(device.Feed({'Q'}).empty()) << "recorded without a reply";
    device.TakeEvents();
    EXPECT_TRUE(device.Feed({'Z'}).empty());
    EXPECT_TRUE(device.Gap().empty());
    const std::vector<std::string> events = device.TakeEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], "no recorded request is 5A");

    EchoDevice echo;
    EXPECT_EQ(echo.Feed({1, 0}), std::vector<Bytes>({{1, 0}}));
    EXPECT_TRUE(echo.Feed({}).empty());
    EXPECT_DOUBLE_EQ(WireTimeMs(96, 9600), 100.0);
    EXPECT_DOUBLE_EQ(WireTimeMs(10, 0), 0.0);
}

TEST(Modbus, TheUnitAnswersEachFunctionAndException) {
    Meter meter = DefaultSimMeter(1);
    EXPECT_EQ(MeterAnswerPdu(&meter, ReadRequestPdu(kReadInput, 3, 1)),
              Bytes({0x04, 0x02, 0x04, 0x9C}));
    EXPECT_EQ(MeterAnswerPdu(&meter, WriteRequestPdu(3, {0xABCD})),
              Bytes({0x06, 0x00, 0x03, 0xAB, 0xCD}));
    EXPECT_EQ(RegisterValues(meter, 3, 1), std::vector<uint16_t>({0xABCD}));
    const struct {
        Bytes pdu;
        Bytes answer;
    } rows[] = {
        {ReadRequestPdu(kReadHolding, 99, 2), {0x83, 0x02}},
        {ReadRequestPdu(kReadHolding, 0, 126), {0x83, 0x03}},
        {ReadRequestPdu(kReadInput, 0, 0), {0x84, 0x03}},
        {WriteRequestPdu(100, {1}), {0x86, 0x02}},
        {WriteRequestPdu(98, {1, 2, 3}), {0x90, 0x02}},
        {{0x10, 0x00, 0x00, 0x00, 0x02, 0x03, 0x00, 0x01, 0x00}, {0x90, 0x03}},  // byte count
        {{0x06, 0x00, 0x01}, {0x86, 0x03}},
        {{0x08, 0x00, 0x01, 0xFF, 0x00}, {0x88, 0x01}},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(MeterAnswerPdu(&meter, row.pdu), row.answer);
    }
    EXPECT_EQ(RtuRequestLength(RtuFrame(1, WriteRequestPdu(0, {1, 2}))), 13u);
    EXPECT_EQ(RtuRequestLength(Bytes({0x01, 0x10, 0x00, 0x00, 0x00, 0x02})), 0u) << "too early";

    std::map<uint16_t, uint16_t> bank;
    std::string error;
    ASSERT_TRUE(ParseRegisterFile("# bank\n10 1 0x2 -1  # three\n\n65535 9\n", &bank, &error));
    EXPECT_EQ(bank, (std::map<uint16_t, uint16_t>{{10, 1}, {11, 2}, {12, 0xFFFF}, {65535, 9}}));
    for (const char* bad : {"10\n", "x 1\n", "1 70000\n", "65535 1 2\n", "# nothing\n"}) {
        EXPECT_FALSE(ParseRegisterFile(bad, &bank, &error)) << bad;
    }
    EXPECT_FALSE(ParseRegisterFile("1 1\n2 z\n", &bank, &error));
    EXPECT_EQ(error.rfind("line 2: ", 0), 0u) << error;
}

TEST(Modbus, TheMasterChecksEachReply) {
    const Bytes read = ReadRequestPdu(kReadHolding, 0, 2);
    const Bytes write = WriteRequestPdu(7, {1, 2});
    EXPECT_EQ(write, Bytes({0x10, 0x00, 0x07, 0x00, 0x02, 0x04, 0x00, 0x01, 0x00, 0x02}));
    EXPECT_EQ(ReplyPduLength(read), 6u);
    EXPECT_EQ(ReplyPduLength(write), 5u);
    ModbusReply reply;
    std::string error;
    ASSERT_TRUE(ParseReplyPdu(read, {0x03, 0x04, 0x00, 0x01, 0xFF, 0xFE}, &reply, &error));
    EXPECT_EQ(reply.values, std::vector<uint16_t>({1, 0xFFFE}));
    ASSERT_TRUE(ParseReplyPdu(read, {0x83, 0x0B}, &reply, &error));
    EXPECT_TRUE(reply.exception);
    EXPECT_EQ(ExceptionName(reply.code), "gateway target device failed to respond");
    EXPECT_EQ(ExceptionName(0x21), "exception 0x21");
    EXPECT_TRUE(ParseReplyPdu(write, {0x10, 0x00, 0x07, 0x00, 0x02}, &reply, &error));
    for (const Bytes& bad : std::vector<Bytes>{{0x04, 0x04, 0, 1, 0, 2},
                                               {0x03, 0x02, 0, 1},
                                               {0x03, 0x04, 0, 1, 0},
                                               {0x83},
                                               {0x83, 0x02, 0x00}}) {
        EXPECT_FALSE(ParseReplyPdu(read, bad, &reply, &error)) << bad.size();
    }
    EXPECT_FALSE(ParseReplyPdu(write, {0x10, 0x00, 0x07, 0x00, 0x03}, &reply, &error));
    EXPECT_NE(error.find("confirm"), std::string::npos);

    Bytes pdu;
    EXPECT_TRUE(TcpReplyPdu(TcpFrame(9, 1, {0x83, 0x02}), 9, 1, &pdu, &error));
    EXPECT_EQ(pdu, Bytes({0x83, 0x02}));
    EXPECT_FALSE(TcpReplyPdu(TcpFrame(9, 2, {0x83, 0x02}), 9, 1, &pdu, &error));
    EXPECT_TRUE(RtuReplyPdu(RtuFrame(1, {0x83, 0x02}), 1, &pdu, &error));
    EXPECT_FALSE(RtuReplyPdu(RtuFrame(3, {0x83, 0x02}), 1, &pdu, &error));
}

TEST(Modbus, RegistersAsNumbersAndPairs) {
    EXPECT_EQ(FormatRegisters(40, {0x3F80, 0x0000}, true, false),
              "     40  16256  0x3F80   16256\n"
              "     41      0  0x0000       0\n"
              "     40-41     u32 1065353216  i32  1065353216  float 1\n");
    EXPECT_EQ(FormatRegisters(0, {0x0000, 0xC000}, true, true),
              "      0      0  0x0000       0\n"
              "      1  49152  0xC000  -16384\n"
              "      0-1      u32 3221225472  i32 -1073741824  float -2\n");
    EXPECT_EQ(FormatRegisters(0, {1, 2, 3}, true, false).find("2-3"), std::string::npos)
        << "an odd register has no pair";
}

TEST(EscapedText, CEscapesBecomeBytes) {
    const struct {
        const char* text;
        std::string bytes;
    } rows[] = {
        {"AT\\r\\n", "AT\r\n"},
        {"\\x41\\x4a\\x7", "AJ\x07"},
        {"\\0\\t\\\\\\\"\\'", std::string("\0\t\\\"'", 5)},
        {"\\e[0m", "\x1B[0m"},
        {"plain", "plain"},
    };
    for (const auto& row : rows) {
        std::vector<uint8_t> bytes;
        std::string error;
        ASSERT_TRUE(ParseEscapedText(row.text, &bytes, &error)) << row.text << error;
        EXPECT_EQ(std::string(bytes.begin(), bytes.end()), row.bytes) << row.text;
    }
    for (const char* bad : {"end\\", "\\xZZ", "\\q"}) {
        std::vector<uint8_t> bytes = {1};
        std::string error;
        EXPECT_FALSE(ParseEscapedText(bad, &bytes, &error)) << bad;
        EXPECT_EQ(bytes, std::vector<uint8_t>({1}));
        EXPECT_FALSE(error.empty());
    }
}

TEST(Options, TableWordsShortNamesAndAmbiguity) {
    const std::vector<OptionDef> table = OptionTable("--read=N  --repeat=N -v --once");
    ASSERT_EQ(table.size(), 4u);
    EXPECT_EQ(table[0].name, "--read");
    EXPECT_TRUE(table[0].takesValue);
    EXPECT_FALSE(table[2].takesValue);
    Args args;
    std::string error;
    ASSERT_TRUE(ParseArgs({"--rea", "9", "--on", "-v", "x"}, table, &args, &error)) << error;
    EXPECT_EQ(args.Get("--read"), "9") << "an unambiguous prefix names the option";
    EXPECT_TRUE(args.Has("--once"));
    EXPECT_FALSE(ParseArgs({"--re", "9"}, table, &args, &error));
    EXPECT_EQ(error, "ambiguous option '--re'");
    EXPECT_FALSE(ParseArgs({"-x"}, table, &args, &error));
    EXPECT_EQ(error, "unknown option '-x'");
    ASSERT_TRUE(ParseArgs({"write", "-2", "--read", "-32768", "--", "-v"}, table, &args, &error));
    EXPECT_EQ(args.positional, std::vector<std::string>({"write", "-2", "-v"}))
        << "a negative number is an argument";
    EXPECT_EQ(args.Get("--read"), "-32768");
    EXPECT_FALSE(ParseArgs({"--once=1"}, table, &args, &error));
    EXPECT_EQ(error, "option --once takes no value");
}

TEST(Help, SynopsisAndTheCommandList) {
    EXPECT_EQ(CommandSynopsis({"send", "", "usage: kqser send DEF HEX... [--type CODE]\n"}),
              "send DEF HEX...");
    EXPECT_EQ(CommandSynopsis({"bridge", "", "usage: kqser bridge DEF --listen [ADDR:]PORT\n"}),
              "bridge DEF --listen [ADDR:]PORT");
    EXPECT_EQ(CommandSynopsis({"odd", "", "no usage line"}), "odd");
    const std::string help =
        MainHelp("head\n",
                 {{"info", "what it is", "usage: kqser info [--lib PATH]\n"},
                  {"modbus", "a master", "usage: kqser modbus DEF read UNIT ADDR COUNT"}},
                 "lib {LIB}, again {LIB}\n", "/x/kqSer.so");
    EXPECT_EQ(help,
              "head\n\ncommands:\n"
              "  info                       what it is\n"
              "  modbus DEF read UNIT ADDR COUNT\n"
              "                             a master\n"
              "lib /x/kqSer.so, again /x/kqSer.so\n");
}

TEST(Endpoint, ListenAddressesAndOpenFailures) {
    std::string address, error;
    int port = -1;
    ASSERT_TRUE(ParseListenAddress("4001", &address, &port, &error));
    EXPECT_EQ(address, "127.0.0.1") << "loopback unless told otherwise";
    EXPECT_EQ(port, 4001);
    ASSERT_TRUE(ParseListenAddress("0.0.0.0:0", &address, &port, &error));
    EXPECT_EQ(address, "0.0.0.0");
    EXPECT_EQ(port, 0);
    ASSERT_TRUE(ParseListenAddress("localhost:7", &address, &port, &error));
    EXPECT_EQ(address, "127.0.0.1");
    for (const char* bad : {"", ":", "65536", "host.example:80", "1.2.3:4", "::1:80", "-1"}) {
        EXPECT_FALSE(ParseListenAddress(bad, &address, &port, &error)) << bad;
    }

    EXPECT_EQ(DescribeOpenFailure(true, ECONNREFUSED, 3),
              "connection refused: nothing listens there");
    EXPECT_EQ(DescribeOpenFailure(true, EINPROGRESS, 15010),
              "connect timed out: no answer within 15 s");
    EXPECT_EQ(DescribeOpenFailure(true, EINPROGRESS, 200), "");
    EXPECT_EQ(DescribeOpenFailure(false, EINPROGRESS, 20000), "") << "not a connect";
    EXPECT_NE(DescribeOpenFailure(true, ENETUNREACH, 1).find("unreachable"), std::string::npos);
    EXPECT_EQ(DescribeOpenFailure(false, EBUSY, 1), "the device is busy");
    EXPECT_EQ(DescribeOpenFailure(false, 0, 1), "");
}

TEST(LineEnds, EnterBecomesTheChosenEnd) {
    const struct {
        const char* mode;
        std::vector<std::string> chunks;
        std::string sent;
    } rows[] = {
        {"crlf", {"a\rb\n"}, "a\r\nb\r\n"},
        {"crlf", {"a\r", "\nb"}, "a\r\nb"},  // one CR LF over two reads
        {"lf", {"a\r\n\r\n"}, "a\n\n"},
        {"cr", {"x\ny"}, "x\ry"},
    };
    for (const auto& row : rows) {
        LineEndMapper mapper;
        ASSERT_TRUE(mapper.SetMode(row.mode));
        std::string sent;
        for (const std::string& chunk : row.chunks) sent += mapper.Map(chunk);
        EXPECT_EQ(sent, row.sent) << row.mode;
    }
    LineEndMapper unchanged;
    EXPECT_EQ(unchanged.Map("a\r\n"), "a\r\n");
    EXPECT_FALSE(unchanged.SetMode("CRLF"));
}

TEST(Stats, FlowOfOneDirection) {
    EXPECT_EQ(FormatFlow("to the port", 1048576, 1000, 3000),
              "to the port 1048576 bytes in 2.00 s (512.0 KiB/s)");
    EXPECT_EQ(FormatFlow("from the port", 0, -1, -1), "from the port 0 bytes");
    EXPECT_EQ(FormatFlow("x", 5, 10, 10), "x 5 bytes at once");
}

TEST(CaptureShow, ARecordWithTheTimeSinceTheOneBefore) {
    CaptureRecord first;
    first.seconds = 100;
    first.micros = 999000;
    first.tx = true;
    first.type = 0x100003;
    first.count = 2;
    first.bytes = {0x01, 0xAB};
    first.note = "pts/3:9600,n,8,1";
    EXPECT_EQ(ShowCaptureRecord(first, nullptr, "STAMP ", false),
              "STAMP     +0.000 ms  TX  pts/3:9600,n,8,1 [100003]  2 bytes: 01 AB\n");
    CaptureRecord later = first;
    later.seconds = 101;
    later.micros = 500;
    later.tx = false;
    later.count = -1;
    later.bytes.clear();
    EXPECT_EQ(ShowCaptureRecord(later, &first, "S ", true),
              "S     +1.500 ms  RX  pts/3:9600,n,8,1 [100003]  failed\n");
    later.count = 0;
    EXPECT_EQ(ShowCaptureRecord(later, &first, "", false).substr(15),
              "RX  pts/3:9600,n,8,1 [100003]  nothing\n");
    // A network port's bytes are read as TCP frames, a serial port's as RTU.
    later.count = 12;
    later.tx = true;
    later.type = 0x200001;
    later.bytes = {0, 1, 0, 0, 0, 6, 1, 3, 0, 0, 0, 2};
    EXPECT_NE(ShowCaptureRecord(later, nullptr, "", true)
                  .find("\n    modbus tcp transaction 1, unit 1: read holding registers 0-1 (2)\n"),
              std::string::npos);
}

TEST(ModbusDescribe, RtuFramesWithTheirCrc) {
    const struct {
        Bytes frame;
        bool request;
        const char* text;
    } rows[] = {
        {RtuReadHolding(1, 0, 4), true, "unit 1: read holding registers 0-3 (4); CRC ok"},
        {RtuFrame(1, {0x03, 0x04, 0x09, 0x00, 0x00, 0x13}), false,
         "unit 1: read holding registers: 2 values 2304 19; CRC ok"},
        {RtuFrame(2, {0x83, 0x02}), false,
         "unit 2: exception to read holding registers: illegal data address; CRC ok"},
        {RtuFrame(1, {0x06, 0x00, 0x0A, 0x00, 0x07}), true,
         "unit 1: write register 10 = 7; CRC ok"},
        {RtuFrame(1, WriteRequestPdu(10, {7, 8})), true,
         "unit 1: write registers 10-11 (2): 7 8; CRC ok"},
        {RtuFrame(1, {0x10, 0x00, 0x0A, 0x00, 0x02}), false,
         "unit 1: wrote registers 10-11 (2); CRC ok"},
        {RtuFrame(1, {0x2B, 0x0E}), true, "unit 1: function 0x2B, 1 data bytes; CRC ok"},
        {RtuFrame(1, {0x03, 0x03, 0x00}), false,
         "unit 1: read holding registers, 2 data bytes that do not fit it; CRC ok"},
        {{0x01, 0x03, 0x00, 0x00, 0x00, 0x04, 0x44, 0x08},
         true,
         "unit 1: read holding registers 0-3 (4); CRC BAD (the frame says 0844, its bytes give "
         "0944)"},
        {{0x01, 0x03, 0x00}, false, "not an RTU frame: 3 bytes"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(DescribeRtuFrame(row.frame, row.request), row.text);
    }
}

TEST(ModbusDescribe, TcpFramesOneByOne) {
    Bytes two = TcpReadHolding(1, 1, 0, 2);
    const Bytes second = TcpFrame(2, 1, {0x03, 0x02, 0x00, 0x05});
    two.insert(two.end(), second.begin(), second.end());
    EXPECT_EQ(DescribeTcpFrames(two, true),
              std::vector<std::string>({"transaction 1, unit 1: read holding registers 0-1 (2)",
                                        "transaction 2, unit 1: read holding registers, 3 data "
                                        "bytes that do not fit it"}));
    EXPECT_EQ(
        DescribeTcpFrames(TcpFrame(9, 1, {0x03, 0x02, 0x00, 0x05}), false),
        std::vector<std::string>({"transaction 9, unit 1: read holding registers: 1 values 5"}));
    Bytes cut = TcpReadHolding(3, 1, 0, 2);
    cut.pop_back();
    EXPECT_EQ(DescribeTcpFrames(cut, true),
              std::vector<std::string>({"11 bytes that make no whole TCP frame"}));
    Bytes other = TcpReadHolding(3, 1, 0, 2);
    other[3] = 1;
    EXPECT_EQ(DescribeTcpFrames(other, true),
              std::vector<std::string>({"transaction 3, unit 1: protocol 1, not Modbus"}));
}

}  // namespace
