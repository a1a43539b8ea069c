// SPDX-License-Identifier: MIT
// [net] send_timeout_ms of kqser.conf: the bound on a send that the network
// port's Open puts on its socket, against peers on 127.0.0.1.
#include "SerNet_p.h"

#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Capture.h"
#include "FakeSys.h"
#include "Loopback.h"
#include "kqSer.h"

namespace {

using kqtest::Capture;

class NetProbe : public CSerNet {
public:
    using CSerNet::CSerNet;
    int Socket() const { return m_nSocket; }
};

// The socket's send bound in ms.
long SendBoundMs(int fd) {
    timeval bound{};
    socklen_t len = sizeof bound;
    if (getsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, &len) != 0) {
        return -1;
    }
    return bound.tv_sec * 1000L + bound.tv_usec / 1000;
}

class SendTimeout : public ::testing::Test {
protected:
    void TearDown() override {
        conf.Remove();
        Load(nullptr);
        FreeSerManager();
    }
    void Load(const char* text) {
        if (text != nullptr) {
            ASSERT_TRUE(conf.Write(text));
        }
        FreeSerManager();
        Capture([] { GetSerManager(); });
    }
    kqtest::ConfFile conf;
};

TEST_F(SendTimeout, OpenBoundsStreamAndDatagramSends) {
    const struct {
        const char* text;
        long ms;
    } rows[] = {
        {nullptr, 2000},  // no file
        {"[net]\nsend_timeout_ms = 350\n", 350},
        {"[NET]\nSEND_TIMEOUT_MS = 12345\n", 12345},
        {"[net]\nsend_timeout_ms = 0\n", 0},  // no bound at all
        {"[net]\nsend_timeout_ms = soon\n", 2000},
        {"[serial]\nframe_gap = 5\n", 2000},  // names no network port
    };
    kqtest::TcpListener listener;
    ASSERT_TRUE(listener.ok());
    kqtest::UdpPeer peer;
    ASSERT_TRUE(peer.ok());
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text == nullptr ? "no file" : row.text);
        Load(row.text);
        NetProbe stream(("127.0.0.1:" + std::to_string(listener.port())).c_str());
        NetProbe datagram(("u127.0.0.1:" + std::to_string(peer.port())).c_str());
        Capture([&] {
            ASSERT_EQ(stream.Open(nullptr), 1);
            ASSERT_EQ(datagram.Open(nullptr), 1);
        });
        // The kernel keeps the bound in clock ticks (up to 10 ms each).
        for (int fd : {stream.Socket(), datagram.Socket()}) {
            EXPECT_GE(SendBoundMs(fd), row.ms);
            EXPECT_LE(SendBoundMs(fd), row.ms + 10);
        }
        const int accepted = listener.Accept(2000);
        if (accepted >= 0) {
            ::close(accepted);
        }
        stream.Close();
        datagram.Close();
    }
}

// A peer that keeps the connection but never reads: the send returns when
// the bound runs out, with what the buffers took.
TEST_F(SendTimeout, ABlockedSendReturnsAtTheBound) {
    Load("[net]\nsend_timeout_ms = 300\n");
    kqtest::TcpListener listener;
    ASSERT_TRUE(listener.ok());
    NetProbe port(("127.0.0.1:" + std::to_string(listener.port())).c_str());
    Capture([&] { ASSERT_EQ(port.Open(nullptr), 1); });
    const int peer = listener.Accept(2000);
    ASSERT_GE(peer, 0);
    const std::vector<unsigned char> big(64 << 20, 0x55);
    int sent = 0;
    const double start = kqtest::NowMs();
    Capture([&] { sent = port.Write(big.data(), static_cast<int>(big.size())); });
    const double took = kqtest::NowMs() - start;
    EXPECT_GT(sent, 0);
    EXPECT_LT(sent, static_cast<int>(big.size()));
    EXPECT_GE(took, 250);
    EXPECT_LT(took, 3000);
    EXPECT_EQ(port.IsOpened(), 1);
    port.Close();
    ::close(peer);
}

}  // namespace
