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

const char kRecord[] = "1796745255.123456\tTX\t2001f6\t3\t01 0A FF\tNET 502 10.0.0.2:502";

TEST(CaptureFile, ParsesARecordFieldByField) {
    CaptureRecord record;
    bool isRecord = false;
    std::string error;
    ASSERT_TRUE(ParseCaptureLine(kRecord, &record, &isRecord, &error)) << error;
    EXPECT_TRUE(isRecord);
    EXPECT_EQ(record.seconds, 1796745255);
    EXPECT_EQ(record.micros, 123456);
    EXPECT_TRUE(record.tx);
    EXPECT_EQ(record.type, 0x2001F6u);
    EXPECT_EQ(record.count, 3);
    EXPECT_EQ(record.bytes, Bytes({0x01, 0x0A, 0xFF}));
    EXPECT_EQ(record.note, "NET 502 10.0.0.2:502");
    EXPECT_EQ(FormatCaptureRecord(record), kRecord) << "written as read";

    for (const char* skipped : {"", "# a comment", "#\tTX\t1\t1\t01\tx"}) {
        ASSERT_TRUE(ParseCaptureLine(skipped, &record, &isRecord, &error)) << skipped;
        EXPECT_FALSE(isRecord) << skipped;
    }
    ASSERT_TRUE(ParseCaptureLine("1.000000\tRX\t120000\t-1\t\tx", &record, &isRecord, &error));
    EXPECT_EQ(record.count, -1);
    EXPECT_TRUE(record.bytes.empty());
    ASSERT_TRUE(ParseCaptureLine("1.000000\tRX\t120000\t0\t\t", &record, &isRecord, &error));
    EXPECT_EQ(record.note, "");
}

TEST(CaptureFile, RejectsEachBrokenFieldWithItsName) {
    const struct {
        const char* line;
        const char* complaint;
    } rows[] = {
        {"1.000000 TX 1 1 01 x", "6 fields"},
        {"1.000000\tTX\t1\t1\t01", "6 fields"},
        {"1.00000\tTX\t1\t1\t01\tx", "six decimals"},
        {"1,000000\tTX\t1\t1\t01\tx", "six decimals"},
        {"-1.000000\tTX\t1\t1\t01\tx", "six decimals"},
        {"1.000000\ttx\t1\t1\t01\tx", "DIR"},
        {"1.000000\tTX\t2001F6\t1\t01\tx", "lower-case"},
        {"1.000000\tTX\t0x1\t1\t01\tx", "lower-case"},
        {"1.000000\tTX\t\t1\t01\tx", "TYPE"},
        {"1.000000\tTX\t1\t-2\t\tx", "COUNT"},
        {"1.000000\tTX\t1\t2\t01\tx", "COUNT bytes"},
        {"1.000000\tTX\t1\t1\t0a\tx", "upper-case"},
        {"1.000000\tTX\t1\t2\t01  02\tx", "single blanks"},
        {"1.000000\tTX\t1\t0\t01\tx", "empty"},
        {"1.000000\tTX\t1\t1\t01\tbad \\q", "escape"},
        {"1.000000\tTX\t1\t1\t01\tcut \\x4", "escape"},
    };
    for (const auto& row : rows) {
        CaptureRecord record;
        bool isRecord = true;
        std::string error;
        EXPECT_FALSE(ParseCaptureLine(row.line, &record, &isRecord, &error)) << row.line;
        EXPECT_NE(error.find(row.complaint), std::string::npos) << row.line << ": " << error;
    }
}

TEST(CaptureFile, NotesAreEscapedAndTheHeaderIsRequired) {
    CaptureRecord record;
    record.seconds = 5;
    record.micros = 7;
    record.type = 0x120000;
    record.count = 0;
    record.note = std::string("a\\b\tc\r\n\x7F\xC3", 9);
    const std::string line = FormatCaptureRecord(record);
    EXPECT_EQ(line, "5.000007\tRX\t120000\t0\t\ta\\x5Cb\\x09c\\x0D\\x0A\\x7F\\xC3");
    CaptureRecord back;
    bool isRecord = false;
    std::string error;
    ASSERT_TRUE(ParseCaptureLine(line, &back, &isRecord, &error)) << error;
    EXPECT_EQ(back.note, record.note);

    std::vector<CaptureRecord> records;
    EXPECT_FALSE(ParseCapture(std::string(kRecord) + "\n", &records, &error));
    EXPECT_NE(error.find("line 1: not a capture file"), std::string::npos) << error;
    EXPECT_FALSE(ParseCapture("", &records, &error));
    EXPECT_FALSE(ParseCapture("# kqSer capture 1\n# ok\n1.0\tTX\t1\t1\t01\tx\n", &records, &error));
    EXPECT_EQ(error.find("line 3: "), 0u) << error;
    ASSERT_TRUE(
        ParseCapture("# kqSer capture 1\r\n" + std::string(kRecord) + "\r\n", &records, &error))
        << error;
    EXPECT_EQ(records.size(), 1u);
}

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
        {{0x05, 0x00, 0x01, 0xFF, 0x00}, {0x85, 0x01}},
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

}  // namespace
