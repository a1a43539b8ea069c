// SPDX-License-Identifier: MIT
// Serial ports as a host uses them (manager, interface) on pseudo-terminals:
// a long run of request/response exchanges, 64 ports at once, and the faults
// of a real line: the device vanishes mid-read, or stops answering.
#include "kqSer.h"

#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Capture.h"
#include "ISerBase.h"
#include "Pty.h"
#include "PtyDevice.h"
#include "SerCom_p.h"
#include "SoakUtil.h"

namespace {

using kqtest::NowMs;

using kqsoak::kRssMeaningful;
using kqsoak::kRssSlackKb;
using kqsoak::kVariant;

class SerialSoak : public ::testing::Test {
protected:
    void SetUp() override { manager_ = GetSerManager(); }
    void TearDown() override { FreeSerManager(); }

    ISerBase* PortFor(const kqtest::PtyPair& pty) {
        const std::string def = pty.Def("115200,N,8,1");
        return manager_->GetSer(def.c_str(), CSerCom::GetDefType(def.c_str()));
    }

    ISerManager* manager_ = nullptr;
};

TEST_F(SerialSoak, ExchangesKeepEveryByteAndNoResourceGrows) {
    kqtest::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    ISerBase* port = PortFor(pty);
    ASSERT_NE(port, nullptr);

    const int total = kqsoak::Exchanges();
    kqtest::PtyDevices device({pty.master()}, total);
    const kqsoak::SoakRun run = kqsoak::RunExchanges(port, total, 0);
    EXPECT_EQ(run.fault, "");
    EXPECT_EQ(device.Finish(), "");
    EXPECT_EQ(run.done, total);
    kqsoak::ExpectSteady(run, "pty");
    RecordProperty("exchanges", run.done);
}

TEST_F(SerialSoak, SixtyFourPortsAtOnce) {
    constexpr int kPorts = 64;
    const int rounds = std::max(5, kqsoak::Exchanges() / 200);
    const int fdsBefore = kqtest::OpenFdCount();
    std::vector<std::unique_ptr<kqtest::PtyPair>> ptys;
    std::vector<ISerBase*> ports;
    std::vector<int> masters;
    for (int i = 0; i < kPorts; ++i) {
        ptys.push_back(std::make_unique<kqtest::PtyPair>());
        ASSERT_TRUE(ptys.back()->ok());
        masters.push_back(ptys.back()->master());
        // Built by number, so each has a type code of its own when registered;
        // the definition string given to Open then names its line.
        ISerBase* port = manager_->GetSer(nullptr, 0x100000 + 0x200 + i);
        ASSERT_NE(port, nullptr);
        EXPECT_EQ(std::count(ports.begin(), ports.end(), port), 0);
        ports.push_back(port);
    }
    const int fdsPtys = kqtest::OpenFdCount();
    kqtest::PtyDevices devices(masters, rounds);
    std::string fault;
    {
        kqsoak::QuietStdout quiet;
        for (int i = 0; i < kPorts && fault.empty(); ++i) {
            if (ports[i]->Open(ptys[i]->Def("115200,N,8,1").c_str()) != 1) {
                fault = "open failed on port " + std::to_string(i);
            }
        }
        for (int r = 0; r < rounds && fault.empty(); ++r) {
            for (int i = 0; i < kPorts && fault.empty(); ++i) {
                if (!kqsoak::WriteFull(ports[i], kqtest::Request(static_cast<uint32_t>(r)))) {
                    fault = "write failed on port " + std::to_string(i);
                }
            }
            for (int i = 0; i < kPorts && fault.empty(); ++i) {
                const std::string reply = kqsoak::ReadFull(ports[i], kqtest::kReplySize, 0, 5000);
                if (reply != kqtest::Reply(static_cast<uint32_t>(r))) {
                    fault = "port " + std::to_string(i) + " round " + std::to_string(r) +
                            ": reply lost or reordered";
                }
            }
        }
    }
    EXPECT_EQ(fault, "");
    EXPECT_EQ(kqtest::OpenFdCount(), fdsPtys + kPorts);
    for (ISerBase* port : ports) {
        EXPECT_GE(port->GetHandle(), 0);
        EXPECT_EQ(port->Close(), 1);
    }
    EXPECT_EQ(devices.Finish(), "");
    EXPECT_EQ(kqtest::OpenFdCount(), fdsPtys);
    ptys.clear();
    EXPECT_EQ(kqtest::OpenFdCount(), fdsBefore);
    std::printf("soak: %s %d serial ports at once, %d exchanges each\n", kVariant, kPorts, rounds);
}

// The device goes away while a read waits for more: the read ends with what
// came, later calls fail at once, and the port opens again on a new line.
TEST_F(SerialSoak, DeviceVanishesMidRead) {
    auto pty = std::make_unique<kqtest::PtyPair>();
    ASSERT_TRUE(pty->ok());
    ISerBase* port = PortFor(*pty);
    ASSERT_NE(port, nullptr);
    ASSERT_EQ(kqsoak::QuietCall([&] { return port->Open(nullptr); }), 1);

    std::thread unplug([&] {
        pty->WriteMaster("\x11\x22\x33\x44\x55");
        usleep(300 * 1000);
        pty->CloseMaster();
    });
    unsigned char buf[64] = {};
    double t0 = NowMs();
    const int got = kqsoak::QuietCall([&] { return port->Read(buf, sizeof buf, 3000); });
    double took = NowMs() - t0;
    unplug.join();
    EXPECT_EQ(got, 5);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 5), "\x11\x22\x33\x44\x55");
    EXPECT_LT(took, 3000 + 1500);

    // A read that would wait for a full buffer without limit must end too.
    for (int timeout : {0, 3000, -1000}) {
        t0 = NowMs();
        const int r = kqsoak::QuietCall([&] { return port->Read(buf, sizeof buf, timeout); });
        took = NowMs() - t0;
        EXPECT_LE(r, 0) << "timeout " << timeout;
        EXPECT_LT(took, 3000 + 1500) << "timeout " << timeout;
    }
    const unsigned char req[] = {1, 2, 3, 4};
    EXPECT_EQ(kqsoak::QuietCall([&] { return port->Write(req, 4); }), -1);
    EXPECT_EQ(port->Close(), 1);
    EXPECT_EQ(port->IsOpened(), 0);

    // The line is gone: opening it fails cleanly.
    EXPECT_EQ(kqsoak::QuietCall([&] { return port->Open(nullptr); }), 0);
    EXPECT_EQ(port->IsOpened(), 0);
    pty.reset();

    // A new line: the same port opens and works.
    kqtest::PtyPair again;
    ASSERT_TRUE(again.ok());
    ASSERT_EQ(kqsoak::QuietCall([&] { return port->Open(again.Def("115200,N,8,1").c_str()); }), 1);
    kqtest::PtyDevices device({again.master()}, 1);
    EXPECT_TRUE(kqsoak::QuietCall([&] { return kqsoak::WriteFull(port, kqtest::Request(0)); }));
    EXPECT_EQ(
        kqsoak::QuietCall([&] { return kqsoak::ReadFull(port, kqtest::kReplySize, 0, 5000); }),
        kqtest::Reply(0));
    EXPECT_EQ(device.Finish(), "");
    EXPECT_EQ(port->Close(), 1);
}

// Nobody answers: every read ends within its time-out with nothing.
TEST_F(SerialSoak, DeviceStopsAnswering) {
    kqtest::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    ISerBase* port = PortFor(pty);
    ASSERT_NE(port, nullptr);
    ASSERT_EQ(kqsoak::QuietCall([&] { return port->Open(nullptr); }), 1);
    unsigned char buf[32];
    // Per the read timing: 0.2 s per silent read, one extra read per second
    // of time-out; the bound adds generous room for a loaded machine.
    for (int timeout : {-1, 0, 500, 1000, 2000}) {
        const double t0 = NowMs();
        const int r = kqsoak::QuietCall([&] { return port->Read(buf, sizeof buf, timeout); });
        const double took = NowMs() - t0;
        EXPECT_EQ(r, 0) << "timeout " << timeout;
        EXPECT_LT(took, std::max(timeout, 0) + 1500) << "timeout " << timeout;
    }
    const unsigned char req[] = {9, 8, 7};
    EXPECT_EQ(kqsoak::QuietCall([&] { return port->Write(req, 3); }), 3);
    EXPECT_EQ(pty.ReadMaster(3, 2000), "\x09\x08\x07");
    EXPECT_EQ(port->Close(), 1);
    EXPECT_EQ(kqsoak::QuietCall([&] { return port->Open(nullptr); }), 1);
    EXPECT_EQ(port->Close(), 1);
}

}  // namespace
