// SPDX-License-Identifier: MIT
// Network ports as a host uses them (manager, interface) against a TCP peer
// on 127.0.0.1: a long run of exchanges, 64 connections at once, and the
// faults of a real network: the peer resets, stops answering, or is gone.
#include "kqSer.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Capture.h"
#include "ISerBase.h"
#include "NetPeer.h"
#include "SoakUtil.h"

namespace {

using kqsoak::QuietCall;
using kqtest::NetPeer;
using kqtest::NowMs;

using kqsoak::kRssMeaningful;
using kqsoak::kRssSlackKb;
using kqsoak::kVariant;

class NetSoak : public ::testing::Test {
protected:
    void SetUp() override { manager_ = GetSerManager(); }
    void TearDown() override { FreeSerManager(); }

    // A stream port to the peer, keyed by its own type code.
    ISerBase* PortFor(const NetPeer& peer, int number) {
        return manager_->GetSer(peer.Def().c_str(), 0x200000 + number);
    }

    ISerManager* manager_ = nullptr;
};

TEST_F(NetSoak, ExchangesKeepEveryByteAndNoResourceGrows) {
    NetPeer peer(NetPeer::Mode::Answer);
    ASSERT_TRUE(peer.ok());
    ISerBase* port = PortFor(peer, 0x101);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->GetType(), 0x200101);

    const int total = kqsoak::Exchanges();
    const kqsoak::SoakRun run = kqsoak::RunExchanges(port, total, 2000);
    EXPECT_EQ(run.fault, "");
    EXPECT_EQ(peer.Error(), "");
    EXPECT_EQ(peer.Accepted(), 1);
    EXPECT_EQ(run.done, total);
    kqsoak::ExpectSteady(run, "tcp");
    RecordProperty("exchanges", run.done);
}

TEST_F(NetSoak, SixtyFourPortsAtOnce) {
    constexpr int kPorts = 64;
    const int rounds = std::max(5, kqsoak::Exchanges() / 200);
    NetPeer peer(NetPeer::Mode::Answer);
    ASSERT_TRUE(peer.ok());
    const int fdsBefore = kqtest::OpenFdCount();
    std::vector<ISerBase*> ports;
    for (int i = 0; i < kPorts; ++i) {
        ISerBase* port = PortFor(peer, 0x300 + i);
        ASSERT_NE(port, nullptr);
        EXPECT_EQ(port->GetType(), 0x200300 + i);
        EXPECT_EQ(std::count(ports.begin(), ports.end(), port), 0);
        ports.push_back(port);
    }
    std::string fault;
    {
        kqsoak::QuietStdout quiet;
        for (int i = 0; i < kPorts && fault.empty(); ++i) {
            if (ports[i]->Open(nullptr) != 1) {
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
                const std::string reply =
                    kqsoak::ReadFull(ports[i], kqtest::kReplySize, 2000, 5000);
                if (reply != kqtest::Reply(static_cast<uint32_t>(r))) {
                    fault = "port " + std::to_string(i) + " round " + std::to_string(r) +
                            ": reply lost or reordered";
                }
            }
        }
    }
    EXPECT_EQ(fault, "");
    EXPECT_EQ(peer.Accepted(), kPorts);
    // Both ends live in this process: the ports' sockets and the peer's.
    EXPECT_TRUE(peer.WaitConnections(kPorts, 2000));
    EXPECT_EQ(kqtest::OpenFdCount(), fdsBefore + 2 * kPorts);
    for (ISerBase* port : ports) {
        EXPECT_EQ(port->Close(), 1);
    }
    EXPECT_TRUE(peer.WaitConnections(0, 2000));
    EXPECT_EQ(kqtest::OpenFdCount(), fdsBefore);
    EXPECT_EQ(peer.Error(), "");
    std::printf("soak: %s %d network ports at once, %d exchanges each\n", kVariant, kPorts, rounds);
}

// The peer resets the connection: the read fails within its time-out and
// closes the port, later calls fail at once, and the port connects again.
TEST_F(NetSoak, PeerResetsConnection) {
    NetPeer peer(NetPeer::Mode::ResetFirst);
    ASSERT_TRUE(peer.ok());
    ISerBase* port = PortFor(peer, 0x102);
    ASSERT_NE(port, nullptr);
    ASSERT_EQ(QuietCall([&] { return port->Open(nullptr); }), 1);
    const std::string request = kqtest::Request(0);
    const auto* req = reinterpret_cast<const unsigned char*>(request.data());
    EXPECT_EQ(QuietCall([&] { return port->Write(req, kqtest::kRequestSize); }),
              kqtest::kRequestSize);

    unsigned char buf[32];
    double t0 = NowMs();
    EXPECT_EQ(QuietCall([&] { return port->Read(buf, sizeof buf, 2000); }), -1);
    EXPECT_LT(NowMs() - t0, 2000 + 1500);
    // Closed by the failure: no socket is used again.
    t0 = NowMs();
    EXPECT_EQ(QuietCall([&] { return port->Read(buf, sizeof buf, 2000); }), -1);
    EXPECT_EQ(QuietCall([&] { return port->Write(req, kqtest::kRequestSize); }), -1);
    EXPECT_EQ(port->Purge(), 0);
    EXPECT_LT(NowMs() - t0, 500);

    // Reconnects, and the new connection is served.
    EXPECT_EQ(QuietCall([&] { return port->IsOpened(); }), 1);
    EXPECT_TRUE(QuietCall([&] { return kqsoak::WriteFull(port, request); }));
    EXPECT_EQ(QuietCall([&] { return kqsoak::ReadFull(port, kqtest::kReplySize, 2000, 5000); }),
              kqtest::Reply(0));
    EXPECT_EQ(peer.Accepted(), 2);
    EXPECT_EQ(port->Close(), 1);
    EXPECT_EQ(peer.Error(), "");
}

// The peer takes requests but never answers: every read ends within its
// time-out with -1 and the port stays usable.
TEST_F(NetSoak, PeerStopsAnswering) {
    NetPeer peer(NetPeer::Mode::Silent);
    ASSERT_TRUE(peer.ok());
    ISerBase* port = PortFor(peer, 0x103);
    ASSERT_NE(port, nullptr);
    ASSERT_EQ(QuietCall([&] { return port->Open(nullptr); }), 1);
    const std::string request = kqtest::Request(0);
    const auto* req = reinterpret_cast<const unsigned char*>(request.data());
    unsigned char buf[16];
    // Waits: the given time-out, or 10 ms per byte + 1000 ms by default.
    struct Case {
        int byteTimeout, baseTimeout, timeout, waitMs;
    };
    for (const Case& c : {Case{10, 1000, 300, 300}, Case{10, 1000, 0, 1160}, Case{1, 50, 0, 66}}) {
        EXPECT_EQ(port->SetTimeout(c.byteTimeout, c.baseTimeout), 1);
        EXPECT_EQ(QuietCall([&] { return port->Write(req, kqtest::kRequestSize); }),
                  kqtest::kRequestSize);
        const double t0 = NowMs();
        EXPECT_EQ(QuietCall([&] { return port->Read(buf, sizeof buf, c.timeout); }), -1);
        const double took = NowMs() - t0;
        EXPECT_GE(took, c.waitMs - 20) << "timeout " << c.timeout;
        EXPECT_LT(took, c.waitMs + 1500) << "timeout " << c.timeout;
    }
    EXPECT_EQ(QuietCall([&] { return port->IsOpened(); }), 1);
    EXPECT_EQ(peer.Accepted(), 1);
    EXPECT_EQ(port->Close(), 1);
}

// The peer keeps the connection but stops reading: once the buffers are
// full, a write must still return (with a short count or -1), not hang.
TEST_F(NetSoak, PeerStopsReading) {
    NetPeer peer(NetPeer::Mode::Deaf);
    ASSERT_TRUE(peer.ok());
    ISerBase* port = PortFor(peer, 0x105);
    ASSERT_NE(port, nullptr);
    ASSERT_EQ(QuietCall([&] { return port->Open(nullptr); }), 1);

    constexpr int kChunk = 64 * 1024;
    const std::vector<unsigned char> chunk(kChunk, 0x5A);
    std::atomic<bool> finished{false};
    int last = kChunk;
    long long sent = 0;
    bool returned = false;
    {
        kqsoak::QuietStdout quiet;
        // 256 MiB at most: far beyond any socket buffer.
        std::thread writer([&] {
            for (int i = 0; i < 4096 && last == kChunk; ++i) {
                last = port->Write(chunk.data(), kChunk);
                sent += last > 0 ? last : 0;
            }
            finished = true;
        });
        const double end = NowMs() + 15000;
        while (!finished && NowMs() < end) {
            usleep(10 * 1000);
        }
        returned = finished;
        // A write still blocked ends when the peer goes (reset).
        peer.Stop();
        writer.join();
    }
    EXPECT_TRUE(returned) << "a write blocked for 15 s after " << sent << " bytes";
    EXPECT_LT(last, kChunk);

    NetPeer again(NetPeer::Mode::Answer);
    ASSERT_TRUE(again.ok());
    ASSERT_EQ(QuietCall([&] { return port->Open(again.Def().c_str()); }), 1);
    EXPECT_TRUE(QuietCall([&] { return kqsoak::WriteFull(port, kqtest::Request(0)); }));
    EXPECT_EQ(QuietCall([&] { return kqsoak::ReadFull(port, kqtest::kReplySize, 2000, 5000); }),
              kqtest::Reply(0));
    EXPECT_EQ(port->Close(), 1);
}

// The peer is gone: opening and reconnecting fail at once and leave the port
// closed; given a peer again, the same port connects.
TEST_F(NetSoak, PeerGone) {
    auto peer = std::make_unique<NetPeer>(NetPeer::Mode::Answer);
    ASSERT_TRUE(peer->ok());
    ISerBase* port = PortFor(*peer, 0x104);
    ASSERT_NE(port, nullptr);
    ASSERT_EQ(QuietCall([&] { return port->Open(nullptr); }), 1);
    // Accepted first: closing a listener that still queues the connection
    // would reset it instead.
    ASSERT_TRUE(peer->WaitConnections(1, 2000));
    peer.reset();  // listener and connection closed

    unsigned char buf[16];
    double t0 = NowMs();
    // The orderly close reads as the end of the stream.
    EXPECT_EQ(QuietCall([&] { return port->Read(buf, sizeof buf, 1000); }), 0);
    EXPECT_EQ(port->Close(), 1);
    const int fds = kqtest::OpenFdCount();
    EXPECT_EQ(QuietCall([&] { return port->Open(nullptr); }), 0);
    EXPECT_EQ(QuietCall([&] { return port->IsOpened(); }), 0);
    EXPECT_EQ(kqtest::OpenFdCount(), fds);
    EXPECT_LT(NowMs() - t0, 3000);

    NetPeer again(NetPeer::Mode::Answer);
    ASSERT_TRUE(again.ok());
    ASSERT_EQ(QuietCall([&] { return port->Open(again.Def().c_str()); }), 1);
    EXPECT_TRUE(QuietCall([&] { return kqsoak::WriteFull(port, kqtest::Request(0)); }));
    EXPECT_EQ(QuietCall([&] { return kqsoak::ReadFull(port, kqtest::kReplySize, 2000, 5000); }),
              kqtest::Reply(0));
    EXPECT_EQ(port->Close(), 1);
}

}  // namespace
