// SPDX-License-Identifier: MIT
// Bad input everywhere a host can pass it: null and overlong definition
// strings, negative and huge lengths, null buffers, on closed and open ports
// of every kind, through the manager and the interface. Each call gives a
// clear result and touches no memory it was not given.
#include "kqSer.h"

#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Capture.h"
#include "HexDump.h"
#include "ISerBase.h"
#include "NetPeer.h"
#include "Pty.h"
#include "SerCom_p.h"
#include "SoakUtil.h"
#include "SocketHandle.h"

namespace {

using kqsoak::QuietCall;

// Definition strings no host should send, and a host may all the same.
std::vector<std::string> HostileDefs() {
    return {
        "",
        std::string(100000, 'A'),
        std::string(100000, '9'),
        std::string(50000, ':') + std::string(50000, ','),
        "ttyS1:" + std::string(5000, '9') + "," + std::string(5000, 'E') + ",-" +
            std::string(5000, '9') + "," + std::string(5000, '2'),
        std::string(20000, 'x') + "1:9600,N,8,1",
        "u" + std::string(4000, '1') + ":" + std::string(4000, '8'),
        "b:-2147483648",
        "127.0.0.1:99999999999999999999",
        "\x01\x02\xff\xfe:\x7f",
    };
}

// A buffer with guard bytes on both sides, to see that a call wrote nothing
// outside the length it was given (or nothing at all).
class Guarded {
public:
    static constexpr int kGuard = 32;
    explicit Guarded(int size) : bytes_(static_cast<size_t>(size + 2 * kGuard), 0xEE) {}
    unsigned char* data() { return bytes_.data() + kGuard; }
    // True when the guard in front and everything from `from` on still hold
    // their fill.
    bool Untouched(int from) const {
        for (size_t i = 0; i < bytes_.size(); ++i) {
            const bool kept = static_cast<int>(i) < kGuard || static_cast<int>(i) >= kGuard + from;
            if (kept && bytes_[i] != 0xEE) {
                return false;
            }
        }
        return true;
    }

private:
    std::vector<unsigned char> bytes_;
};

// The calls every port answers, closed: all fail cleanly.
void ExpectClosedPortRefuses(ISerBase* port) {
    SCOPED_TRACE(port->GetNote());
    Guarded buf(16);
    for (int len : {16, 0, -1, INT_MIN, INT_MAX}) {
        EXPECT_EQ(port->Read(buf.data(), len, 0), -1) << "len " << len;
        EXPECT_EQ(port->Read(nullptr, len, 0), -1) << "len " << len;
        EXPECT_EQ(port->Write(buf.data(), len), -1) << "len " << len;
        EXPECT_EQ(port->Write(nullptr, len), -1) << "len " << len;
    }
    EXPECT_TRUE(buf.Untouched(0));
    EXPECT_EQ(port->Write(static_cast<const unsigned char*>(nullptr)), -1);
    EXPECT_EQ(port->Purge(), 0);
    EXPECT_EQ(port->Close(), 1);
    EXPECT_EQ(port->GetHandle(), -1);
    EXPECT_EQ(port->InsertObserver(nullptr), -1);
    EXPECT_EQ(port->RemoveObserver(nullptr), -1);
    EXPECT_EQ(port->SetTimeout(INT_MIN, INT_MAX), 1);
    EXPECT_EQ(port->SetTimeout(6, 100), 1);
}

// Applying every hostile string keeps the note a short, terminated text.
void ExpectDefsApplySafely(ISerBase* port, size_t noteMax) {
    for (const std::string& def : HostileDefs()) {
        EXPECT_EQ(QuietCall([&] { return port->SetDef(def.c_str()); }), 1);
        EXPECT_LE(std::strlen(port->GetNote()), noteMax) << def.substr(0, 40);
    }
    EXPECT_EQ(QuietCall([&] { return port->SetDef(nullptr); }), 1);
}

class BadInput : public ::testing::Test {
protected:
    void SetUp() override { manager_ = GetSerManager(); }
    void TearDown() override {
        QuietCall([] { return FreeSerManager(); });
    }

    ISerManager* manager_ = nullptr;
};

TEST_F(BadInput, ManagerTakesAnyDefinitionString) {
    for (int type : {0, 0x100007, 0x110003, 0x120001, 0x200007, 0x400001, 0x800001,
                     static_cast<int>(0xFFFFFFFF), INT_MIN, INT_MAX}) {
        SCOPED_TRACE(type);
        ISerBase* byNull = QuietCall([&] { return manager_->GetSer(nullptr, type); });
        EXPECT_EQ(byNull == nullptr, (type & 0xF00000) == 0x400000);
        for (const std::string& def : HostileDefs()) {
            ISerBase* port = QuietCall([&] { return manager_->GetSer(def.c_str(), type); });
            if ((type & 0xF00000) == 0x400000) {
                EXPECT_EQ(port, nullptr);
                continue;
            }
            ASSERT_NE(port, nullptr);
            EXPECT_NE(port->GetNote(), nullptr);
        }
    }
}

TEST_F(BadInput, SerialPort) {
    ISerBase* port = QuietCall([&] { return manager_->GetSer(nullptr, 0x100009); });
    ASSERT_NE(port, nullptr);
    ExpectDefsApplySafely(port, 63 + 3);
    ExpectClosedPortRefuses(port);
    EXPECT_EQ(port->SetBaud(INT_MIN), 1);
    EXPECT_EQ(CSerCom::GetDefType(nullptr), 0);
    for (const std::string& def : HostileDefs()) {
        CSerCom::GetDefType(def.c_str());
        CSerCom::GetDefKind(def.c_str());
        // Opening a device named by a hostile string fails and leaves it closed.
        EXPECT_EQ(QuietCall([&] { return port->Open(def.c_str()); }), 0) << def.substr(0, 40);
        EXPECT_EQ(port->IsOpened(), 0);
    }

    // Open on a line: bad lengths and buffers still get clear results.
    kqtest::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    ASSERT_EQ(QuietCall([&] { return port->Open(pty.Def("9600,N,8,1").c_str()); }), 1);
    Guarded buf(64);
    for (int len : {0, -1, INT_MIN}) {
        EXPECT_LE(QuietCall([&] { return port->Read(buf.data(), len, 0); }), 0) << len;
        EXPECT_EQ(QuietCall([&] { return port->Write(buf.data(), len); }), len == 0 ? 0 : -1)
            << len;
        EXPECT_EQ(QuietCall([&] { return port->Write(nullptr, len == 0 ? 4 : len); }), -1) << len;
    }
    EXPECT_EQ(QuietCall([&] { return port->Read(nullptr, 16, 0); }), -1);
    EXPECT_TRUE(buf.Untouched(0));
    EXPECT_EQ(pty.Drain(100), "");
    // A huge length over a small buffer: only what the line holds is stored.
    // (An emulator refuses a read into more memory than the process has, so
    // there the read may end early, with what it stored.)
    ASSERT_TRUE(pty.WriteMaster("\x31\x32\x33\x34\x35"));
    const int got = QuietCall([&] { return port->Read(buf.data(), INT_MAX, 0); });
    if (!kqtest::kEmulated) {
        EXPECT_EQ(got, 5);
    }
    ASSERT_GE(got, 0);
    ASSERT_LE(got, 5);
    EXPECT_EQ(std::memcmp(buf.data(), "\x31\x32\x33\x34\x35", static_cast<size_t>(got)), 0);
    EXPECT_TRUE(buf.Untouched(5));
    EXPECT_EQ(port->Close(), 1);
}

TEST_F(BadInput, NetworkPort) {
    ISerBase* port = QuietCall([&] { return manager_->GetSer(nullptr, 0x200000 + 1); });
    ASSERT_NE(port, nullptr);
    ExpectDefsApplySafely(port, 31);
    ExpectClosedPortRefuses(port);
    for (int value : {INT_MIN, -1, 0, 0xFFFF, 0x10000, INT_MAX}) {
        EXPECT_EQ(port->SetPort(value), 1);
        EXPECT_LE(std::strlen(port->GetNote()), 31u);
    }

    kqtest::NetPeer peer(kqtest::NetPeer::Mode::Silent);
    ASSERT_TRUE(peer.ok());
    ASSERT_EQ(QuietCall([&] { return port->Open(peer.Def().c_str()); }), 1);
    Guarded buf(64);
    for (int len : {-1, INT_MIN}) {
        EXPECT_EQ(QuietCall([&] { return port->Read(buf.data(), len, 100); }), -1) << len;
        EXPECT_EQ(QuietCall([&] { return port->Write(buf.data(), len); }), -1) << len;
    }
    EXPECT_EQ(QuietCall([&] { return port->Read(nullptr, 16, 100); }), -1);
    EXPECT_EQ(QuietCall([&] { return port->Write(nullptr, 16); }), -1);
    EXPECT_TRUE(buf.Untouched(0));
    // A huge length, time-outs that overflow the computed wait: the wait is
    // bounded by the time-out given, or data ends it.
    EXPECT_EQ(port->SetTimeout(INT_MAX, INT_MAX), 1);
    const double t0 = kqtest::NowMs();
    EXPECT_EQ(QuietCall([&] { return port->Read(buf.data(), INT_MAX, 200); }), -1);
    EXPECT_LT(kqtest::NowMs() - t0, 200 + 1500);
    EXPECT_TRUE(buf.Untouched(0));
    EXPECT_EQ(port->Close(), 1);
}

TEST_F(BadInput, DigitalIoPort) {
    for (const std::string& def : HostileDefs()) {
        ISerBase* port = QuietCall([&] { return manager_->GetSer(def.c_str(), 0x800001); });
        ASSERT_NE(port, nullptr);
        ExpectClosedPortRefuses(port);
        EXPECT_EQ(QuietCall([&] { return port->SetDef(def.c_str()); }), 1);
    }
}

TEST_F(BadInput, ExportedHelpers) {
    char out[8];
    std::memset(out, 'Z', sizeof out);
    const unsigned char data[] = {1, 2, 3};
    EXPECT_EQ(BufToHexStr(nullptr, 3, out, sizeof out, 1), -1);
    EXPECT_EQ(BufToHexStr(data, 3, nullptr, 100, 1), -1);
    EXPECT_EQ(BufToHexStr(data, 3, out, sizeof out, 1), -1);
    EXPECT_EQ(BufToHexStr(data, 3, out, -5, 1), -1);
    EXPECT_EQ(BufToHexStr(data, 3, out, sizeof out, -1), -1);
    EXPECT_EQ(BufToHexStr(data, 3, out, sizeof out, INT_MAX), -1);
    EXPECT_EQ(std::string(out, sizeof out), std::string(sizeof out, 'Z'));
    EXPECT_STREQ(BufToHexStr(nullptr, 3, 1), "");
    EXPECT_STREQ(BufToHexStr(data, INT_MIN, 1), "");
    EXPECT_STREQ(BufToHexStr(data, INT_MAX, 1), "msg.len > 1024");
    EXPECT_STREQ(BufToHexStr(data, 3, INT_MAX), "msg.len > 1024");

    StringCbCopyA(nullptr, 10, "x");
    char small[4] = {'Q', 'Q', 'Q', 'Q'};
    StringCbCopyA(small, sizeof small, "overlong text");
    EXPECT_EQ(small[3], '\0');
    StringCbCopyA(small, sizeof small, nullptr);
    EXPECT_EQ(StringCbPrintfA(nullptr, 10, "%d", 1), 0);
    EXPECT_EQ(StringCbPrintfA(small, 0, "%d", 1), 0);
    StringCbPrintfA(small, sizeof small, "%s", "overlong text");
    EXPECT_EQ(small[3], '\0');
    unsigned int len = 99;
    StringCbLengthA(nullptr, 10, &len);
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(InterlockedExchange(nullptr, 5), 0);
    EXPECT_EQ(closesocket(-1), -1);
    EXPECT_EQ(closesocket(LONG_MAX), -1);

    CSocketHandle handle;
    Guarded buf(16);
    EXPECT_LT(handle.Read(buf.data(), 16, nullptr, 0), 0);
    EXPECT_LT(handle.Read(nullptr, 16, nullptr, 0), 0);
    EXPECT_LT(handle.Write(nullptr, 16, nullptr, 0), 0);
    EXPECT_TRUE(buf.Untouched(0));
    EXPECT_FALSE(CSocketHandle::FormatIP(nullptr, 16, 0x7F000001, true));
    char ip[4] = {'Q', 'Q', 'Q', 'Q'};
    CSocketHandle::FormatIP(ip, sizeof ip, 0x7F000001, true);
    EXPECT_EQ(ip[3], '\0');
    EXPECT_FALSE(CSocketHandle::GetLocalName(nullptr, 64));
    EXPECT_FALSE(handle.AddMembership(nullptr, nullptr));
}

}  // namespace
