// SPDX-License-Identifier: MIT
// Network port parameters: definition strings, note, port number and the
// construction log. No traffic: nothing here opens a socket.
#include "SerNet_p.h"

#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "Capture.h"

namespace {

class NetProbe : public CSerNet {
public:
    using CSerNet::CSerNet;
    std::string Host() const { return m_szHost; }
    int Number() const { return m_nNumber; }
    int Port() const { return m_nPort; }
    int Socket() const { return m_nSocket; }
    int Kind() const { return m_nKind; }
    unsigned int ReconnectCount() const { return m_nReconnectCount; }
    unsigned int ReconnectInterval() const { return m_nReconnectInterval; }
    int WouldBlockCount() const { return m_nWouldBlockCount; }
    int ByteTimeout() const { return m_nByteTimeout; }
    int BaseTimeout() const { return m_nBaseTimeout; }
    void Adopt(int fd) { m_nSocket = fd; }
};

// A subclass whose UpdNote the base's InitParams must reach.
class NoteCounter : public NetProbe {
public:
    NoteCounter() : NetProbe("10.9.8.7:99") {}
    void UpdNote() override {
        ++calls;
        CSerNet::UpdNote();
    }
    int calls = 0;
};

unsigned int Addr(const void* p) {
    return static_cast<unsigned int>(reinterpret_cast<std::uintptr_t>(p));
}

void ExpectDefaults(const NetProbe& port) {
    EXPECT_EQ(port.Host(), "127.0.0.1");
    EXPECT_EQ(port.Number(), 20600);
    EXPECT_EQ(port.Port(), 20600);
    EXPECT_EQ(port.Socket(), -1);
    EXPECT_EQ(port.Kind(), 0x200000);
    EXPECT_EQ(port.ReconnectCount(), 0u);
    EXPECT_EQ(port.ReconnectInterval(), 1u);
    EXPECT_EQ(port.WouldBlockCount(), 0);
    EXPECT_EQ(port.ByteTimeout(), 10);
    EXPECT_EQ(port.BaseTimeout(), 1000);
}

struct Row {
    const char* def;
    const char* host;
    int number;
    const char* note;
};

void PrintTo(const Row& row, std::ostream* os) {
    *os << row.def;
}

const Row kRows[] = {
    {"192.168.1.50:502", "192.168.1.50", 502, "NET 502 192.168.1.50:502"},
    {"u10.0.0.7:4000", "u10.0.0.7", 4000, "NET 4000 u10.0.0.7:4000"},
    {"b:3000", "b", 3000, "NET 3000 b:3000"},
    {"10.1.1.1:0", "10.1.1.1", 20600, "NET 20600 10.1.1.1:20600"},
    {"10.1.1.1", "10.1.1.1", 20600, "NET 20600 10.1.1.1:20600"},
    {"10.1.1.1:8080/x", "10.1.1.1", 8080, "NET 8080 10.1.1.1:8080"},
    // The port text is read as atoi reads it.
    {"U10.0.0.8:  77", "U10.0.0.8", 77, "NET 77 U10.0.0.8:77"},
    {"B:+9", "B", 9, "NET 9 B:9"},
    {"10.1.1.1:", "10.1.1.1", 20600, "NET 20600 10.1.1.1:20600"},
    {"10.1.1.1:abc", "10.1.1.1", 20600, "NET 20600 10.1.1.1:20600"},
    {"10.1.1.1:0x50", "10.1.1.1", 20600, "NET 20600 10.1.1.1:20600"},
    {"10.1.1.1:5:6", "10.1.1.1", 5, "NET 5 10.1.1.1:5"},
    {":502", "", 502, "NET 502 :502"},
    // Host texts that do not fit are cut to 15 characters.
    {"123.123.123.123:1", "123.123.123.123", 1, "NET 1 123.123.123.123:1"},
    {"u123.123.123.123:1", "u123.123.123.12", 1, "NET 1 u123.123.123.12:1"},
};

void ExpectRow(const NetProbe& port, const Row& row) {
    EXPECT_EQ(port.Host(), row.host);
    EXPECT_EQ(port.Number(), row.number);
    EXPECT_EQ(port.Port(), row.number);
    EXPECT_STREQ(const_cast<NetProbe&>(port).GetNote(), row.note);
    EXPECT_EQ(const_cast<NetProbe&>(port).GetType(), 0x200000 + row.number);
}

class WorkedExample : public ::testing::TestWithParam<Row> {};

TEST_P(WorkedExample, StringConstructor) {
    NetProbe port(GetParam().def);
    ExpectRow(port, GetParam());
    EXPECT_EQ(port.Socket(), -1);
}

TEST_P(WorkedExample, AppliedToAPortByNumber) {
    NetProbe port(20600);
    EXPECT_EQ(port.SetDef(GetParam().def), 1);
    ExpectRow(port, GetParam());
}

TEST_P(WorkedExample, AppliedOverAnotherDefinition) {
    NetProbe port("u192.168.100.200:65535");
    port.UpdParams(GetParam().def);
    ExpectRow(port, GetParam());
}

INSTANTIATE_TEST_SUITE_P(NetParams, WorkedExample, ::testing::ValuesIn(kRows));

TEST(NetParams, NoDefinitionGivesDefaults) {
    NetProbe none(static_cast<const char*>(nullptr));
    ExpectDefaults(none);
    EXPECT_STREQ(none.GetNote(), "NET 20600 127.0.0.1:20600");
    EXPECT_EQ(none.GetType(), 0x200000 + 20600);
    EXPECT_EQ(none.GetHandle(), -1);

    NetProbe empty("");
    ExpectDefaults(empty);
    EXPECT_STREQ(empty.GetNote(), "NET 20600 127.0.0.1:20600");
}

TEST(NetParams, PortByNumber) {
    NetProbe modbus(502);
    EXPECT_EQ(modbus.Host(), "127.0.0.1");
    EXPECT_EQ(modbus.Number(), 502);
    EXPECT_EQ(modbus.Port(), 502);
    EXPECT_STREQ(modbus.GetNote(), "NET 502 127.0.0.1:502");
    EXPECT_EQ(modbus.GetType(), 0x2001F6);
    EXPECT_EQ(modbus.ByteTimeout(), 10);
    EXPECT_EQ(modbus.BaseTimeout(), 1000);

    NetProbe standard(20600);
    ExpectDefaults(standard);
    EXPECT_STREQ(standard.GetNote(), "NET 20600 127.0.0.1:20600");
}

TEST(NetParams, EmptyDefinitionChangesNothing) {
    NetProbe port("u10.0.0.7:4000");
    port.SetPort(80);
    EXPECT_EQ(port.SetDef(""), 1);
    EXPECT_EQ(port.SetDef(nullptr), 1);
    port.UpdParams(nullptr);
    EXPECT_EQ(port.Host(), "u10.0.0.7");
    EXPECT_EQ(port.Number(), 4000);
    EXPECT_EQ(port.Port(), 80);
    EXPECT_STREQ(port.GetNote(), "NET 4000 u10.0.0.7:4000");
}

TEST(NetParams, SetPortWithATypeCodeRekeysThePort) {
    // What the manager does for GetSer("10.0.0.5:502", 0x200001).
    NetProbe port("10.0.0.5:502");
    EXPECT_EQ(port.SetPort(0x200001), 1);
    EXPECT_EQ(port.GetType(), 0x200001);
    EXPECT_EQ(port.Number(), 1);
    EXPECT_EQ(port.Port(), 502);
    EXPECT_STREQ(port.GetNote(), "NET 502 10.0.0.5:502");

    EXPECT_EQ(port.SetPort(0x12345), 1);
    EXPECT_EQ(port.Number(), 0x2345);
    EXPECT_EQ(port.Port(), 502);
    EXPECT_EQ(port.SetPort(0x10000), 1);  // the smallest type code
    EXPECT_EQ(port.Number(), 0);
    EXPECT_EQ(port.GetType(), 0x200000);
    EXPECT_STREQ(port.GetNote(), "NET 502 10.0.0.5:502");
}

TEST(NetParams, SetPortWithAPlainPortLastsUntilTheNextDefinition) {
    NetProbe port("10.0.0.5:502");
    EXPECT_EQ(port.SetPort(80), 1);
    EXPECT_EQ(port.Port(), 80);
    EXPECT_EQ(port.Number(), 502);
    EXPECT_STREQ(port.GetNote(), "NET 502 10.0.0.5:502");

    EXPECT_EQ(port.SetPort(0xFFFF), 1);
    EXPECT_EQ(port.Port(), 0xFFFF);
    EXPECT_EQ(port.SetPort(-1), 1);  // below 0x10000: only the low bits
    EXPECT_EQ(port.Port(), 0xFFFF);
    EXPECT_EQ(port.SetPort(INT_MIN + 7), 1);
    EXPECT_EQ(port.Port(), 7);
    EXPECT_EQ(port.Number(), 502);

    EXPECT_EQ(port.SetDef("10.0.0.5:502"), 1);
    EXPECT_EQ(port.Port(), 502);
    EXPECT_EQ(port.Number(), 502);

    // A whole type code, then the definition again: both back to 502.
    port.SetPort(0x200001);
    port.SetPort(80);
    port.UpdParams("10.0.0.5:502");
    EXPECT_EQ(port.Number(), 502);
    EXPECT_EQ(port.Port(), 502);
    EXPECT_EQ(port.GetType(), 0x2001F6);
}

TEST(NetParams, ReappliedDefinitionReplacesEverything) {
    NetProbe port("u192.168.100.100:4000");
    port.SetDef("b:3000");
    EXPECT_EQ(port.Host(), "b");
    EXPECT_STREQ(port.GetNote(), "NET 3000 b:3000");
    port.SetDef("10.1.1.1");
    EXPECT_EQ(port.Host(), "10.1.1.1");
    EXPECT_EQ(port.Number(), 20600);
    EXPECT_STREQ(port.GetNote(), "NET 20600 10.1.1.1:20600");
    // Applying a definition does not touch the socket or the counters.
    EXPECT_EQ(port.Socket(), -1);
    EXPECT_EQ(port.ReconnectCount(), 0u);
    EXPECT_EQ(port.ReconnectInterval(), 1u);
}

TEST(NetParams, OverlongHostNeverSpills) {
    const std::string longHost(300, '7');
    NetProbe port((longHost + ":502").c_str());
    EXPECT_EQ(port.Host(), std::string(15, '7'));
    EXPECT_EQ(port.Number(), 502);
    // The members after the host text are intact.
    EXPECT_EQ(port.ReconnectCount(), 0u);
    EXPECT_EQ(port.ReconnectInterval(), 1u);
    EXPECT_EQ(port.Socket(), -1);
    EXPECT_STREQ(port.GetNote(), "NET 502 777777777777777:502");

    port.SetDef(longHost.c_str());  // no port text at all
    EXPECT_EQ(port.Host(), std::string(15, '7'));
    EXPECT_EQ(port.Number(), 20600);
    EXPECT_EQ(port.ReconnectInterval(), 1u);
}

// The note holds at most 31 characters; the numbers stay whole.
TEST(NetParams, OddPortValuesCutTheNote) {
    NetProbe big("10.1.1.1:99999");
    EXPECT_EQ(big.Number(), 99999);
    EXPECT_EQ(big.Port(), 99999);
    EXPECT_STREQ(big.GetNote(), "NET 99999 10.1.1.1:99999");

    NetProbe negative("10.1.1.1:-1");
    EXPECT_EQ(negative.Number(), -1);
    EXPECT_STREQ(negative.GetNote(), "NET -1 10.1.1.1:-1");

    NetProbe huge("123.123.123.123:99999999999");  // beyond int: held at INT_MAX
    EXPECT_EQ(huge.Number(), INT_MAX);
    EXPECT_EQ(huge.Port(), INT_MAX);
    EXPECT_STREQ(huge.GetNote(), "NET 2147483647 123.123.123.123:");

    NetProbe lowest(INT_MIN);
    EXPECT_EQ(lowest.Number(), INT_MIN);
    EXPECT_STREQ(lowest.GetNote(), "NET -2147483648 127.0.0.1:-2147");
    EXPECT_EQ(lowest.GetType(), static_cast<int>(0x200000u + 0x80000000u));

    NetProbe zero(0);  // by number, 0 stays 0
    EXPECT_EQ(zero.Number(), 0);
    EXPECT_STREQ(zero.GetNote(), "NET 0 127.0.0.1:0");
}

TEST(NetParams, InitParamsRestoresDefaultsThroughTheOverride) {
    NoteCounter port;
    port.SetTimeout(1, 2);
    port.calls = 0;
    port.InitParams();
    EXPECT_EQ(port.calls, 1);
    ExpectDefaults(port);
    EXPECT_STREQ(port.GetNote(), "NET 20600 127.0.0.1:20600");
}

TEST(NetParams, DestructorGivesBackAHeldSocket) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    {
        NetProbe port(502);
        port.Adopt(fds[0]);
    }
    EXPECT_EQ(fcntl(fds[0], F_GETFD), -1);
    EXPECT_EQ(close(fds[1]), 0);
}

TEST(NetParams, ConstructionLogLines) {
    std::unique_ptr<NetProbe> byNumber;
    std::unique_ptr<NetProbe> byString;
    std::unique_ptr<NetProbe> byNull;
    auto got = kqtest::Capture([&] {
        byNumber.reset(new NetProbe(502));
        byString.reset(new NetProbe("u10.0.0.7:4000"));
        byNull.reset(new NetProbe(static_cast<const char*>(nullptr)));
    });

    char expected[160];
    std::snprintf(
        expected, sizeof expected,
        "SerNet new: %x  502\r\nSerNet new: %x  u10.0.0.7:4000\r\nSerNet new: %x  (null)\r\n",
        Addr(static_cast<CSerNet*>(byNumber.get())), Addr(static_cast<CSerNet*>(byString.get())),
        Addr(static_cast<CSerNet*>(byNull.get())));
    EXPECT_EQ(got.log, expected);
    if (kqtest::kConsole) {
        EXPECT_EQ(got.out, expected);
    } else {
        EXPECT_EQ(got.out, "");
        ASSERT_EQ(got.calls.size(), 3u);
        EXPECT_EQ(got.calls[0].format, "SerNet new: %x  %d\r\n");
        EXPECT_EQ(got.calls[1].format, "SerNet new: %x  %s\r\n");
        EXPECT_EQ(got.calls[2].format, "SerNet new: %x  %s\r\n");
        for (const auto& call : got.calls) {
            EXPECT_EQ(call.section, "RtLog");
        }
    }
}

}  // namespace
