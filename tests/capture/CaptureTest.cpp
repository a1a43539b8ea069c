// SPDX-License-Identifier: MIT
// Traffic capture as a host sees it: with capture = FILE in kqser.conf every
// Read and Write of the port is one record, byte for byte, over a real pty
// and a real TCP connection on 127.0.0.1.
#include "kqSer.h"

#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Exchange.h"
#include "ISerBase.h"
#include "NetPeer.h"
#include "Process.h"
#include "Pty.h"
#include "PtyDevice.h"
#include "SerCom_p.h"

namespace {

using kqtest::ReadFile;

using kqtest::LinesOf;

std::string Hex(const std::string& bytes) {
    std::string text;
    for (unsigned char c : bytes) {
        char pair[4];
        std::snprintf(pair, sizeof pair, text.empty() ? "%02X" : " %02X", c);
        text += pair;
    }
    return text;
}

const unsigned char* Data(const std::string& bytes) {
    return reinterpret_cast<const unsigned char*>(bytes.data());
}

class CaptureTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.ok());
        conf_ = dir_.File("kqser.conf");
        cap_ = dir_.File("cap");
        ASSERT_EQ(setenv("KQSER_CONF", conf_.c_str(), 1), 0);
        start_ = time(nullptr);
    }
    void TearDown() override {
        FreeSerManager();
        unsetenv("KQSER_CONF");
    }

    ISerManager* Manager(const std::string& conf) {
        std::ofstream(conf_, std::ios::trunc) << conf;
        FreeSerManager();
        return GetSerManager();
    }

    // The record's fields after TIME, which must be a time of this test.
    std::string Fields(const std::string& line) const {
        static const std::regex record(R"(^(\d+)\.\d{6}\t(.*)$)");
        std::smatch m;
        if (!std::regex_match(line, m, record)) {
            ADD_FAILURE() << "not a record: " << line;
            return "";
        }
        const long long seconds = std::stoll(m[1]);
        EXPECT_GE(seconds, static_cast<long long>(start_));
        EXPECT_LE(seconds, static_cast<long long>(time(nullptr)) + 1);
        return m[2];
    }

    // DIR, TYPE, COUNT, HEX and NOTE as the record of a call on port holds them.
    static std::string Expected(ISerBase* port, const char* dir, int count,
                                const std::string& bytes) {
        char type[16];
        std::snprintf(type, sizeof type, "%x", static_cast<unsigned int>(port->GetType()));
        return std::string(dir) + "\t" + type + "\t" + std::to_string(count) + "\t" + Hex(bytes) +
               "\t" + port->GetNote();
    }

    kqtest::TempDir dir_;
    std::string conf_;
    std::string cap_;
    time_t start_ = 0;
};

TEST_F(CaptureTest, APtyExchangeByteForByte) {
    kqtest::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    kqtest::PtyDevices device({pty.master()}, 1);
    ISerManager* manager = Manager("[serial]\ncapture = " + cap_ + "\n");
    ISerBase* port = manager->GetSer(pty.Def().c_str(), CSerCom::GetDefType(pty.Def().c_str()));
    ASSERT_NE(port, nullptr);
    ASSERT_EQ(port->Open(nullptr), 1);
    const std::string request = kqtest::Request(0);
    unsigned char reply[kqtest::kReplySize];
    ASSERT_EQ(port->Write(Data(request), kqtest::kRequestSize), kqtest::kRequestSize);
    ASSERT_EQ(port->Read(reply, kqtest::kReplySize, 500), kqtest::kReplySize);
    EXPECT_EQ(device.Finish(), "");
    ASSERT_EQ(port->Read(reply, kqtest::kReplySize, 0), 0);  // the line stays silent
    ASSERT_EQ(port->Write(Data(request), 0), 0);
    port->Close();

    const std::vector<std::string> lines = LinesOf(ReadFile(cap_));
    ASSERT_EQ(lines.size(), 5u) << ReadFile(cap_);
    EXPECT_EQ(lines[0], "# kqSer capture 1");
    EXPECT_EQ(Fields(lines[1]), Expected(port, "TX", 8, request));
    EXPECT_EQ(Fields(lines[2]), Expected(port, "RX", 16, kqtest::Reply(0)));
    EXPECT_EQ(Fields(lines[3]), Expected(port, "RX", 0, ""));
    EXPECT_EQ(Fields(lines[4]), Expected(port, "TX", 0, ""));
    EXPECT_LE(lines[1].substr(0, 17), lines[4].substr(0, 17));  // in time order
}

TEST_F(CaptureTest, ATcpExchangeByteForByte) {
    kqtest::NetPeer peer(kqtest::NetPeer::Mode::Answer);
    ASSERT_TRUE(peer.ok());
    ISerManager* manager = Manager("[net]\ncapture = " + cap_ + "\n");
    ISerBase* port = manager->GetSer(peer.Def().c_str(), 0x200001);
    ASSERT_NE(port, nullptr);
    ASSERT_EQ(port->Open(nullptr), 1);
    const std::string request = kqtest::Request(0);
    unsigned char reply[kqtest::kReplySize];
    ASSERT_EQ(port->Write(Data(request), kqtest::kRequestSize), kqtest::kRequestSize);
    ASSERT_EQ(port->Read(reply, kqtest::kReplySize, 2000), kqtest::kReplySize);
    // No reply within 100 ms: the read fails, and that is recorded too.
    ASSERT_EQ(port->Read(reply, kqtest::kReplySize, 100), -1);
    port->Close();

    const std::vector<std::string> lines = LinesOf(ReadFile(cap_));
    ASSERT_EQ(lines.size(), 4u) << ReadFile(cap_);
    EXPECT_EQ(lines[0], "# kqSer capture 1");
    EXPECT_EQ(Fields(lines[1]), Expected(port, "TX", 8, request));
    EXPECT_EQ(Fields(lines[2]), Expected(port, "RX", 16, kqtest::Reply(0)));
    EXPECT_EQ(Fields(lines[3]), Expected(port, "RX", -1, ""));
}

// [serial] names one file for every serial port: they share it. A port
// whose own section says none records nothing, and a network port follows
// [net] alone.
TEST_F(CaptureTest, PortsNamingOneFileShareItAndOthersRecordNothing) {
    kqtest::PtyPair one;
    kqtest::PtyPair two;
    kqtest::PtyPair quiet;
    ASSERT_TRUE(one.ok() && two.ok() && quiet.ok());
    ISerManager* manager = Manager("[serial]\ncapture = " + cap_ + "\n[serial " +
                                   quiet.SlaveName() + "]\ncapture = none\n");
    std::vector<ISerBase*> ports;
    for (kqtest::PtyPair* pty : {&one, &two, &quiet}) {
        ISerBase* port =
            manager->GetSer(pty->Def().c_str(), CSerCom::GetDefType(pty->Def().c_str()));
        ASSERT_NE(port, nullptr);
        ASSERT_EQ(port->Open(nullptr), 1);
        ports.push_back(port);
    }
    kqtest::NetPeer peer(kqtest::NetPeer::Mode::Answer);
    ISerBase* net = manager->GetSer(peer.Def().c_str(), 0x200001);
    ASSERT_EQ(net->Open(nullptr), 1);
    for (ISerBase* port : {ports[0], ports[1], ports[2], net, ports[0]}) {
        ASSERT_EQ(port->Write(Data("ab"), 2), 2);
    }
    for (ISerBase* port : {ports[0], ports[1], ports[2], net}) {
        port->Close();
    }
    const std::vector<std::string> lines = LinesOf(ReadFile(cap_));
    ASSERT_EQ(lines.size(), 4u) << ReadFile(cap_);
    EXPECT_EQ(lines[0], "# kqSer capture 1");
    EXPECT_EQ(Fields(lines[1]), Expected(ports[0], "TX", 2, "ab"));
    EXPECT_EQ(Fields(lines[2]), Expected(ports[1], "TX", 2, "ab"));
    EXPECT_EQ(Fields(lines[3]), Expected(ports[0], "TX", 2, "ab"));
}

// A capture that cannot be written never fails the port; once it can, a
// comment says how many records were lost.
TEST_F(CaptureTest, AFileThatCannotBeWrittenLosesRecordsNeverAPortOperation) {
    kqtest::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    const std::string folder = dir_.File("later");
    const std::string cap = folder + "/cap";
    ISerManager* manager = Manager("[serial]\ncapture = " + cap + "\n");
    ISerBase* port = manager->GetSer(pty.Def().c_str(), CSerCom::GetDefType(pty.Def().c_str()));
    ASSERT_EQ(port->Open(nullptr), 1);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(port->Write(Data("xyz"), 3), 3);
    }
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    // The folder is looked at again once a second.
    EXPECT_TRUE(kqtest::WaitUntil(
        [&] {
            pty.Drain(0);
            return port->Write(Data("xyz"), 3) == 3 && access(cap.c_str(), F_OK) == 0;
        },
        10000));
    port->Close();
    const std::vector<std::string> lines = LinesOf(ReadFile(cap));
    ASSERT_EQ(lines.size(), 3u) << ReadFile(cap);
    EXPECT_EQ(lines[0], "# kqSer capture 1");
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(R"(# \d+ records dropped here)")))
        << lines[1];
    EXPECT_GE(std::atoi(lines[1].c_str() + 2), 3);
    EXPECT_EQ(Fields(lines[2]), Expected(port, "TX", 3, "xyz"));
}

}  // namespace
