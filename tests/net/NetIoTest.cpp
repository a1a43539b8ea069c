// SPDX-License-Identifier: MIT
// The network port against real peers on 127.0.0.1: connect, read with its
// computed wait, write, purge, reconnect and the closed-port results.
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Capture.h"
#include "Loopback.h"
#include "NetUtil_p.h"
#include "Pty.h"
#include "SerNet_p.h"
#include "SignalTicks.h"

namespace {

using kqtest::Capture;
using kqtest::NowMs;

class NetProbe : public CSerNet {
public:
    using CSerNet::CSerNet;
    int Socket() const { return m_nSocket; }
    unsigned ReconnectCount() const { return m_nReconnectCount; }
    void SetReconnectInterval(unsigned n) { m_nReconnectInterval = n; }
};

std::string TcpDef(int port) {
    return "127.0.0.1:" + std::to_string(port);
}

int SockOpt(int fd, int level, int name) {
    int value = -1;
    socklen_t len = sizeof value;
    return getsockopt(fd, level, name, &value, &len) == 0 ? value : -1;
}

std::string Text(const unsigned char* buf, int n) {
    return std::string(reinterpret_cast<const char*>(buf), static_cast<size_t>(n > 0 ? n : 0));
}

const unsigned char* Bytes(const std::string& s) {
    return reinterpret_cast<const unsigned char*>(s.data());
}

const char kConnecting[] = "CSerNet::Open ERROR: Failed to connect to the host!\n";
const char kRecvMarks[] = "CSerNet::Read recv start:\r\nCSerNet::Read recv end:\r\n";

// The log of a read that reached the receive: the console build's log is its
// standard output, which also holds the two receive marks.
std::string ReadLog(const std::string& lines) {
    return kqtest::kConsole ? kRecvMarks + lines : lines;
}

// A stream port connected to a listener on 127.0.0.1, with the accepted end.
struct StreamPair {
    kqtest::TcpListener listener;
    NetProbe port{TcpDef(listener.port()).c_str()};
    int peer = -1;
    int sock = -1;  // the port's socket once connected

    // IsOpened would reconnect a port that closed by mistake; tests compare
    // the socket instead.
    bool Connect() {
        if (!listener.ok() || port.Open(nullptr) != 1) {
            return false;
        }
        sock = port.Socket();
        peer = listener.Accept(5000);
        return peer >= 0;
    }
    ~StreamPair() {
        port.Close();
        if (peer >= 0) {
            close(peer);
        }
    }
};

TEST(NetRules, ReadWait) {
    EXPECT_EQ(kq::ReadWaitMs(10, 1000, 100, 0), 2000);
    EXPECT_EQ(kq::ReadWaitMs(10, 1000, 100, 300), 300);
    EXPECT_EQ(kq::ReadWaitMs(10, 1000, 100, -1), -1);
    EXPECT_EQ(kq::ReadWaitMs(10, 1000, 100, -5), 2000);  // only -1 replaces the computed wait
    EXPECT_EQ(kq::ReadWaitMs(0, 0, 100, 0), 0);
    EXPECT_EQ(kq::ReadWaitMs(0, -5, 100, 0), -5);
    EXPECT_EQ(kq::ReadWaitMs(10, 1000, INT_MAX, 0), INT_MAX);
    EXPECT_EQ(kq::ReadWaitMs(INT_MAX, INT_MAX, INT_MAX, 0), INT_MAX);
    EXPECT_EQ(kq::ReadWaitMs(INT_MIN, INT_MIN, INT_MAX, 0), INT_MIN);
}

TEST(NetRules, HostTexts) {
    in_addr a{};
    EXPECT_TRUE(kq::NetHostAddr("127.0.0.1", &a));
    EXPECT_EQ(a.s_addr, htonl(INADDR_LOOPBACK));
    EXPECT_TRUE(kq::NetHostAddr("u127.0.0.1", &a));
    EXPECT_TRUE(kq::NetHostAddr("U192.0.2.7", &a));
    EXPECT_EQ(a.s_addr, htonl(0xC0000207u));
    for (const char* bad : {"b", "B127.0.0.1", "", "u", "localhost", "127.1", "127.0.0.256",
                            "127.0.0.1.5", "127.0.0.1 ", "u 127.0.0.1", "uu127.0.0.1"}) {
        EXPECT_FALSE(kq::NetHostAddr(bad, &a)) << bad;
    }
    EXPECT_FALSE(kq::NetHostAddr(nullptr, &a));
    EXPECT_EQ(kq::NetModeOf("b"), kq::NetMode::Broadcast);
    EXPECT_EQ(kq::NetModeOf("B:1"), kq::NetMode::Broadcast);
    EXPECT_EQ(kq::NetModeOf("U1.2.3.4"), kq::NetMode::Datagram);
    EXPECT_EQ(kq::NetModeOf("127.0.0.1"), kq::NetMode::Stream);
    EXPECT_EQ(kq::NetModeOf(""), kq::NetMode::Stream);
}

TEST(NetStream, OpenSetsUpABlockingLowDelaySocket) {
    StreamPair s;
    ASSERT_TRUE(s.listener.ok());
    const auto got = Capture([&] { EXPECT_EQ(s.port.Open(nullptr), 1); });
    // A non-blocking connect normally reports "in progress" first.
    const std::string ok = "OK: Have connected to the 127.0.0.1\n";
    EXPECT_TRUE(got.log == ok || got.log == kConnecting + ok) << got.log;
    const int fd = s.port.Socket();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(s.port.IsOpened(), 1);
    EXPECT_EQ(SockOpt(fd, SOL_SOCKET, SO_TYPE), SOCK_STREAM);
    EXPECT_EQ(SockOpt(fd, IPPROTO_TCP, TCP_NODELAY), 1);
    EXPECT_EQ(SockOpt(fd, IPPROTO_IP, IP_TOS), IPTOS_LOWDELAY);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_GE(s.listener.Accept(5000), 0);
}

TEST(NetStream, WriteAndReadRoundTrips) {
    StreamPair s;
    ASSERT_TRUE(s.Connect());

    const std::string request("\x01\x03\x00\x00\x00\x02\xC4\x0B", 8);
    auto sent = Capture([&] { EXPECT_EQ(s.port.Write(Bytes(request), 8), 8); });
    EXPECT_EQ(sent.log, "SEND: 01 03 00 00 00 02 C4 0B \r\n");
    EXPECT_EQ(kqtest::RecvUpTo(s.peer, 8, 2000), request);

    ASSERT_TRUE(kqtest::SendAll(s.peer, "\xAB\xCD"));
    unsigned char buf[16] = {};
    auto got = Capture([&] { EXPECT_EQ(s.port.Read(buf, 16, 2000), 2); });
    EXPECT_EQ(Text(buf, 2), "\xAB\xCD");
    const std::string lines = "CSerNet::Read recv: 2\r\nRECV: AB CD \r\n";
    EXPECT_EQ(got.log, ReadLog(lines));
    EXPECT_EQ(got.out, kqtest::kConsole ? kRecvMarks + lines : std::string(kRecvMarks));

    // Never more than len bytes; the rest waits for the next read.
    ASSERT_TRUE(kqtest::SendAll(s.peer, "0123456789"));
    ASSERT_TRUE(kqtest::WaitReadable(s.port.Socket(), 2000));
    std::memset(buf, 0xEE, sizeof buf);
    EXPECT_EQ(s.port.Read(buf, 4, 1000), 4);
    EXPECT_EQ(Text(buf, 4), "0123");
    EXPECT_EQ(buf[4], 0xEE);
    EXPECT_EQ(s.port.Read(buf, 16, 1000), 6);
    EXPECT_EQ(Text(buf, 6), "456789");

    // Many exchanges, one byte pattern each.
    for (int i = 0; i < 20; ++i) {
        const std::string out(static_cast<size_t>(i + 1), static_cast<char>('a' + i));
        ASSERT_EQ(s.port.Write(Bytes(out), static_cast<int>(out.size())), i + 1);
        ASSERT_EQ(kqtest::RecvUpTo(s.peer, out.size(), 2000), out);
        ASSERT_TRUE(kqtest::SendAll(s.peer, out));
        std::string in;
        while (in.size() < out.size()) {
            const int n = s.port.Read(buf, sizeof buf, 2000);
            ASSERT_GT(n, 0);
            in += Text(buf, n);
        }
        ASSERT_EQ(in, out);
    }
}

TEST(NetStream, ReadWaitsTheComputedTime) {
    StreamPair s;
    ASSERT_TRUE(s.Connect());
    unsigned char buf[128];

    // Defaults: 10 ms per byte, 1000 ms base.
    double start = NowMs();
    auto got = Capture([&] { EXPECT_EQ(s.port.Read(buf, 100, 0), -1); });
    double took = NowMs() - start;
    EXPECT_GE(took, 1950);
    EXPECT_LT(took, 4000);
    EXPECT_EQ(got.log,
              "CSerNet::Read select timeout: stTime.tv_sec=0,stTime.tv_usec=0,waittime=2000\r\n");
    EXPECT_EQ(got.out, kqtest::kConsole ? got.log : "");
    EXPECT_EQ(s.port.Socket(), s.sock);

    start = NowMs();
    got = Capture([&] { EXPECT_EQ(s.port.Read(buf, 100, 300), -1); });
    took = NowMs() - start;
    EXPECT_GE(took, 290);
    EXPECT_LT(took, 1500);
    EXPECT_EQ(got.log,
              "CSerNet::Read select timeout: stTime.tv_sec=0,stTime.tv_usec=0,waittime=300\r\n");

    ASSERT_EQ(s.port.SetTimeout(2, 50), 1);
    got = Capture([&] { EXPECT_EQ(s.port.Read(buf, 100, 0), -1); });
    EXPECT_EQ(got.log,
              "CSerNet::Read select timeout: stTime.tv_sec=0,stTime.tv_usec=0,waittime=250\r\n");

    // Data that arrives during the wait ends it.
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        kqtest::SendAll(s.peer, "x");
    });
    start = NowMs();
    const int n = s.port.Read(buf, 1, 5000);
    took = NowMs() - start;
    late.join();
    EXPECT_EQ(n, 1);
    EXPECT_LT(took, 4000);
    EXPECT_EQ(s.port.Socket(), s.sock);
}

TEST(NetStream, NoWaitMeansTheReceiveBlocks) {
    StreamPair s;
    ASSERT_TRUE(s.Connect());
    unsigned char buf[8];
    for (int round = 0; round < 2; ++round) {
        // Round 0: time-out -1; round 1: both time-outs 0 and time-out 0.
        if (round == 1) {
            ASSERT_EQ(s.port.SetTimeout(0, 0), 1);
        }
        std::thread late([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            kqtest::SendAll(s.peer, "ok");
        });
        const double start = NowMs();
        auto got = Capture([&] { EXPECT_EQ(s.port.Read(buf, 8, round == 0 ? -1 : 0), 2); });
        const double took = NowMs() - start;
        late.join();
        EXPECT_GE(took, 250) << "round " << round;
        EXPECT_EQ(got.log, ReadLog("CSerNet::Read recv: 2\r\nRECV: 6F 6B \r\n"));
    }
}

TEST(NetStream, PeerEndOfStreamReadsZeroAndStaysOpen) {
    StreamPair s;
    ASSERT_TRUE(s.Connect());
    const int fd = s.port.Socket();
    close(s.peer);
    s.peer = -1;
    unsigned char buf[8];
    for (int i = 0; i < 3; ++i) {
        const double start = NowMs();
        auto got = Capture([&] { EXPECT_EQ(s.port.Read(buf, 8, 2000), 0); });
        EXPECT_LT(NowMs() - start, 1500);
        EXPECT_EQ(got.log, ReadLog("CSerNet::Read recv: 0\r\nRECV: \r\n"));
        EXPECT_EQ(s.port.IsOpened(), 1);
        EXPECT_EQ(s.port.Socket(), fd);
    }
}

TEST(NetStream, ReceiveErrorClosesAndIsOpenedReconnects) {
    StreamPair s;
    ASSERT_TRUE(s.Connect());
    const int tcpPort = s.listener.port();
    s.listener.Close();
    kqtest::ResetClose(s.peer);
    s.peer = -1;

    unsigned char buf[8];
    auto got = Capture([&] { EXPECT_EQ(s.port.Read(buf, 8, 2000), -1); });
    EXPECT_EQ(got.log, ReadLog("CSerNet::Read recv err: 104\r\n"));
    EXPECT_EQ(s.port.Socket(), -1);

    // Nothing listens: the reconnect is refused.
    got = Capture([&] { EXPECT_EQ(s.port.IsOpened(), 0); });
    EXPECT_EQ(got.log, kConnecting);
    EXPECT_EQ(s.port.Socket(), -1);

    kqtest::TcpListener again(tcpPort);
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(s.port.IsOpened(), 1);
    const int peer = again.Accept(5000);
    ASSERT_GE(peer, 0);
    EXPECT_EQ(s.port.Write(Bytes("hi"), 2), 2);
    EXPECT_EQ(kqtest::RecvUpTo(peer, 2, 2000), "hi");
    // An open port is not checked again.
    EXPECT_EQ(s.port.IsOpened(), 1);
    EXPECT_EQ(again.Accept(200), -1);
    close(peer);
}

TEST(NetStream, WriteToAResetPeerFailsWithoutKillingTheHost) {
    // SIGPIPE at its default action: a send without MSG_NOSIGNAL would end
    // this process.
    std::signal(SIGPIPE, SIG_DFL);
    sigset_t pipeSet;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    sigprocmask(SIG_UNBLOCK, &pipeSet, nullptr);

    StreamPair s;
    ASSERT_TRUE(s.Connect());
    const int fd = s.port.Socket();
    kqtest::ResetClose(s.peer);
    s.peer = -1;
    ASSERT_TRUE(kqtest::WaitReadable(fd, 2000));
    // Take the pending reset so that the send meets a broken pipe.
    EXPECT_EQ(SockOpt(fd, SOL_SOCKET, SO_ERROR), ECONNRESET);

    auto got = Capture([&] { EXPECT_EQ(s.port.Write(Bytes("abc"), 3), -1); });
    EXPECT_EQ(got.log, "ERROR: Failed to sent string.\nSEND: \r\n");
    EXPECT_EQ(s.port.Socket(), -1);
    EXPECT_EQ(s.port.Write(Bytes("abc"), 3), -1);
}

TEST(NetStream, RefusedConnectFailsAtOnce) {
    kqtest::TcpListener refusing(0, false);
    ASSERT_TRUE(refusing.ok());
    NetProbe port(TcpDef(refusing.port()).c_str());
    const int fds = kqtest::OpenFdCount();
    const double start = NowMs();
    auto got = Capture([&] { EXPECT_EQ(port.Open(nullptr), 0); });
    EXPECT_LT(NowMs() - start, 2000);
    EXPECT_EQ(got.log, kConnecting);
    EXPECT_EQ(port.Socket(), -1);
    EXPECT_EQ(kqtest::OpenFdCount(), fds);
}

TEST(NetStream, OpenAgainReplacesTheConnection) {
    StreamPair s;
    ASSERT_TRUE(s.Connect());
    EXPECT_EQ(s.port.Open(nullptr), 1);
    const int second = s.listener.Accept(5000);
    ASSERT_GE(second, 0);
    EXPECT_TRUE(kqtest::PeerEnded(s.peer, 2000));
    EXPECT_EQ(s.port.Write(Bytes("z"), 1), 1);
    EXPECT_EQ(kqtest::RecvUpTo(second, 1, 2000), "z");
    close(second);
}

TEST(NetStream, PurgeDiscardsPendingData) {
    StreamPair s;
    ASSERT_TRUE(s.Connect());
    const std::string note = s.port.GetNote();

    // Nothing pending: at once, without a line.
    double start = NowMs();
    auto got = Capture([&] { EXPECT_EQ(s.port.Purge(), 1); });
    EXPECT_LT(NowMs() - start, 500);
    EXPECT_EQ(got.log, "");

    ASSERT_TRUE(kqtest::SendAll(s.peer, "\x11\x22\xF3"));
    ASSERT_TRUE(kqtest::WaitReadable(s.port.Socket(), 2000));
    got = Capture([&] { EXPECT_EQ(s.port.Purge(), 1); });
    std::string expected;
    for (const char* hex : {"11", "22", "f3"}) {
        expected += "..." + note + " purge recv\r\n";
        expected += "..." + note + " purge recv: 1 " + hex + "\r\n";
    }
    EXPECT_EQ(got.log, expected);
    unsigned char buf[8];
    EXPECT_EQ(s.port.Read(buf, 8, 200), -1);

    // The peer's end of stream stops the purge.
    close(s.peer);
    s.peer = -1;
    ASSERT_TRUE(kqtest::WaitReadable(s.port.Socket(), 2000));
    got = Capture([&] { EXPECT_EQ(s.port.Purge(), 1); });
    EXPECT_EQ(got.log, "..." + note + " purge recv\r\n..." + note + " purge recv: 0 00\r\n");
    EXPECT_EQ(s.port.Socket(), s.sock);
}

TEST(NetStream, BadBuffersAreRefusedAndChangeNothing) {
    StreamPair s;
    ASSERT_TRUE(s.Connect());
    const int fd = s.port.Socket();
    unsigned char buf[4] = {7, 7, 7, 7};
    auto got = Capture([&] {
        EXPECT_EQ(s.port.Read(nullptr, 4, 100), -1);
        EXPECT_EQ(s.port.Read(nullptr, 0, 100), -1);
        EXPECT_EQ(s.port.Read(buf, -1, 100), -1);
        EXPECT_EQ(s.port.Read(buf, INT_MIN, -1), -1);
        EXPECT_EQ(s.port.Write(nullptr, 3), -1);
        EXPECT_EQ(s.port.Write(buf, -5), -1);
    });
    EXPECT_EQ(got.out, "");
    EXPECT_EQ(got.log, "");
    EXPECT_EQ(buf[0], 7);
    EXPECT_EQ(s.port.Socket(), fd);

    got = Capture([&] { EXPECT_EQ(s.port.Write(buf, 0), 0); });
    EXPECT_EQ(got.log, "SEND: \r\n");
    EXPECT_EQ(s.port.Write(Bytes("ok"), 2), 2);
    EXPECT_EQ(kqtest::RecvUpTo(s.peer, 2, 2000), "ok");
}

TEST(NetStream, HostTextsThatAreNoAddressAreRefused) {
    kqtest::TcpListener listener;
    ASSERT_TRUE(listener.ok());
    const std::string port = std::to_string(listener.port());
    NetProbe net(TcpDef(listener.port()).c_str());
    ASSERT_EQ(net.Open(nullptr), 1);
    const int peer = listener.Accept(5000);
    ASSERT_GE(peer, 0);
    const int fds = kqtest::OpenFdCount();

    for (const char* host : {"localhost", "127.1", "u", "uabc", "127.0.0.300", "u127.0.0.1.5",
                             "0x7f000001", "127.0.0.1.1.1.1"}) {
        const std::string def = std::string(host) + ":" + port;
        auto got = Capture([&] { EXPECT_EQ(net.Open(def.c_str()), 0) << host; });
        EXPECT_EQ(got.log, std::string("CSerNet::Open ERROR: Bad host address ") + host + "!\n");
        EXPECT_EQ(net.Socket(), -1);
    }
    // The failed Open dropped the connection it had, and made no socket.
    EXPECT_TRUE(kqtest::PeerEnded(peer, 2000));
    EXPECT_EQ(kqtest::OpenFdCount(), fds - 1);
    EXPECT_EQ(net.Write(Bytes("x"), 1), -1);
    close(peer);
}

TEST(NetClosed, NoDescriptorLeftForASocket) {
    const std::string fail = "CSerNet::Open ERROR: Failed to obtain Socket Descriptor!\n";
    for (const char* def : {"127.0.0.1:9", "u127.0.0.1:9", "b:9"}) {
        NetProbe port(def);
        int opened = -1;
        // Inside the capture: it needs descriptors of its own.
        auto got =
            Capture([&] { kqtest::WithoutFreeDescriptors([&] { opened = port.Open(nullptr); }); });
        EXPECT_EQ(opened, 0) << def;
        EXPECT_EQ(port.Socket(), -1);
        EXPECT_EQ(got.log.substr(0, fail.size()), fail) << def;
        // Stream ports also say it on standard output, in both builds.
        const bool stream = def[0] == '1';
        const std::string out = stream ? fail : "";
        EXPECT_EQ(got.out, kqtest::kConsole ? fail + out : out) << def;
    }
}

TEST(NetClosed, ResultsOfAPortThatIsNotOpen) {
    NetProbe port("127.0.0.1:9");
    unsigned char buf[4] = {5, 5, 5, 5};
    auto got = Capture([&] {
        EXPECT_EQ(port.Read(buf, 4, 100), -1);
        EXPECT_EQ(port.Read(buf, 4, -1), -1);
        EXPECT_EQ(port.Write(buf, 4), -1);
        EXPECT_EQ(port.Write(Bytes("text")), -1);
        EXPECT_EQ(port.Purge(), 0);
        EXPECT_EQ(port.Close(), 1);
        EXPECT_EQ(port.Close(), 1);
    });
    EXPECT_EQ(got.out, "");
    EXPECT_EQ(got.log, "");
    EXPECT_EQ(buf[0], 5);
    EXPECT_EQ(port.Socket(), -1);
}

TEST(NetClosed, IsOpenedTriesEveryIntervalCalls) {
    kqtest::TcpListener refusing(0, false);
    ASSERT_TRUE(refusing.ok());
    NetProbe port(TcpDef(refusing.port()).c_str());
    port.SetReconnectInterval(3);
    for (int round = 0; round < 2; ++round) {
        auto got = Capture([&] {
            EXPECT_EQ(port.IsOpened(), 0);
            EXPECT_EQ(port.IsOpened(), 0);
        });
        EXPECT_EQ(got.log, "");
        EXPECT_EQ(port.ReconnectCount(), 2u);
        got = Capture([&] { EXPECT_EQ(port.IsOpened(), 0); });
        EXPECT_EQ(got.log, kConnecting);
        EXPECT_EQ(port.ReconnectCount(), 0u);
    }
}

TEST(NetDatagram, BothDirections) {
    kqtest::UdpPeer peer;
    ASSERT_TRUE(peer.ok());
    NetProbe port(("u127.0.0.1:" + std::to_string(peer.port())).c_str());
    auto got = Capture([&] { EXPECT_EQ(port.Open(nullptr), 1); });
    EXPECT_EQ(got.log, "OK: Have connected to the u127.0.0.1\n");
    const int fd = port.Socket();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(SockOpt(fd, SOL_SOCKET, SO_TYPE), SOCK_DGRAM);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
    timeval sendTimeout{};
    socklen_t len = sizeof sendTimeout;
    ASSERT_EQ(getsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, &len), 0);
    EXPECT_EQ(sendTimeout.tv_sec, 2);
    EXPECT_EQ(sendTimeout.tv_usec, 0);

    got = Capture([&] { EXPECT_EQ(port.Write(Bytes("abc"), 3), 3); });
    EXPECT_EQ(got.log, "SEND: 61 62 63 \r\n");
    std::string datagram;
    sockaddr_in from{};
    ASSERT_TRUE(peer.Recv(&datagram, 2000, &from));
    EXPECT_EQ(datagram, "abc");

    ASSERT_TRUE(peer.SendTo(from, std::string("\x00\xFF", 2)));
    unsigned char buf[16];
    got = Capture([&] { EXPECT_EQ(port.Read(buf, 16, 2000), 2); });
    EXPECT_EQ(got.log, ReadLog("CSerNet::Read recv: 2\r\nRECV: 00 FF \r\n"));

    got = Capture([&] { EXPECT_EQ(port.Read(buf, 16, 200), -1); });
    EXPECT_EQ(got.log,
              "CSerNet::Read select timeout: stTime.tv_sec=0,stTime.tv_usec=0,waittime=200\r\n");

    // The peer goes away: its port-unreachable answer fails the next read.
    peer.Close();
    EXPECT_EQ(port.Write(Bytes("q"), 1), 1);
    got = Capture([&] { EXPECT_EQ(port.Read(buf, 16, 2000), -1); });
    EXPECT_EQ(got.log, ReadLog("CSerNet::Read recv err: 111\r\n"));
    EXPECT_EQ(port.Socket(), -1);
}

TEST(NetDatagram, AHostTextChangedToNoAddressFailsTheWrite) {
    kqtest::UdpPeer peer;
    ASSERT_TRUE(peer.ok());
    const std::string udpPort = std::to_string(peer.port());
    NetProbe port(("u127.0.0.1:" + udpPort).c_str());
    ASSERT_EQ(port.Open(nullptr), 1);
    ASSERT_EQ(port.SetDef(("ulocalhost:" + udpPort).c_str()), 1);
    auto got = Capture([&] { EXPECT_EQ(port.Write(Bytes("abc"), 3), -1); });
    EXPECT_EQ(got.log, "ERROR: Failed to sent string.\nSEND: \r\n");
    EXPECT_EQ(port.Socket(), -1);
    std::string datagram;
    EXPECT_FALSE(peer.Recv(&datagram, 200));
}

TEST(NetBroadcast, OpensWithoutAPeerAndReadsSilently) {
    // No datagram is sent here: broadcasts only go out in a private network.
    NetProbe port("b:3000");
    auto got = Capture([&] { EXPECT_EQ(port.Open(nullptr), 1); });
    EXPECT_EQ(got.log, "CSerNet::Open ok: b!\n");
    const int fd = port.Socket();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(SockOpt(fd, SOL_SOCKET, SO_TYPE), SOCK_DGRAM);
    EXPECT_EQ(SockOpt(fd, SOL_SOCKET, SO_BROADCAST), 1);

    ASSERT_EQ(port.SetTimeout(1, 100), 1);
    unsigned char buf[64];
    const double start = NowMs();
    got = Capture([&] { EXPECT_EQ(port.Read(buf, 50, 0), 0); });
    const double took = NowMs() - start;
    EXPECT_GE(took, 140);
    EXPECT_LT(took, 1500);
    EXPECT_EQ(got.out, "");
    EXPECT_EQ(got.log, "");
    EXPECT_EQ(port.Socket(), fd);
    EXPECT_EQ(port.Close(), 1);
}

TEST(NetConnDropped, CodesThatMeanTheConnectionIsGone) {
    NetProbe port("127.0.0.1:502");
    const std::string note = port.GetNote();
    std::vector<int> results;
    auto got = Capture([&] {
        for (int i = 0; i < 4; ++i) {
            results.push_back(port.IsConnDropped(11));
        }
    });
    EXPECT_EQ(results, (std::vector<int>{0, 0, 1, 1}));
    const std::string wouldBlock = "net isdroped: 11\r\n";
    EXPECT_EQ(got.out, wouldBlock + wouldBlock + wouldBlock + wouldBlock);
    EXPECT_EQ(got.log, kqtest::kConsole ? got.out : "");

    got = Capture([&] { EXPECT_EQ(port.IsConnDropped(104), 1); });
    const std::string dropped = "..." + note + " conn dropped: 104\r\n";
    EXPECT_EQ(got.log, kqtest::kConsole ? "net isdroped: 104\r\n" + dropped : dropped);
    EXPECT_NE(got.out.find("net isdroped: 104\r\n"), std::string::npos);

    got = Capture([&] { EXPECT_EQ(port.IsConnDropped(110), 0); });
    EXPECT_EQ(got.out, "net isdroped: 110\r\n");
    EXPECT_EQ(got.log, kqtest::kConsole ? got.out : "");

    for (unsigned long code :
         {88ul, 100ul, 101ul, 102ul, 103ul, 104ul, 10058ul, 10064ul, 10065ul}) {
        got = Capture([&] { EXPECT_EQ(port.IsConnDropped(code), 1) << code; });
        EXPECT_NE(got.log.find("..." + note + " conn dropped: " + std::to_string(code) + "\r\n"),
                  std::string::npos);
    }
    for (unsigned long code : {0ul, 10ul, 12ul, 32ul, 105ul, 111ul, 10054ul, 10060ul}) {
        EXPECT_EQ(port.IsConnDropped(code), 0) << code;
    }
    // The would-block count is never reset.
    EXPECT_EQ(port.IsConnDropped(11), 1);
}

TEST(NetStream, DescriptorsAboveFdSetsize) {
    rlimit lim{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &lim), 0);
    const rlim_t want = FD_SETSIZE + 64;
    if (lim.rlim_cur < want) {
        if (lim.rlim_max < want) {
            GTEST_SKIP() << "descriptor limit " << lim.rlim_max << " is below " << want;
        }
        rlimit raised = lim;
        raised.rlim_cur = want;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
    }
    StreamPair s;
    ASSERT_TRUE(s.listener.ok());
    const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(null, 0);
    std::vector<int> fillers{null};
    for (int fd = dup(null); fd >= 0; fd = dup(null)) {
        fillers.push_back(fd);
        if (fd >= FD_SETSIZE + 8) {
            break;
        }
    }
    const bool opened = s.port.Open(nullptr) == 1;
    s.peer = s.listener.Accept(5000);
    for (int fd : fillers) {
        close(fd);
    }
    ASSERT_TRUE(opened);
    ASSERT_GE(s.peer, 0);
    s.sock = s.port.Socket();
    EXPECT_GE(s.sock, FD_SETSIZE);

    unsigned char buf[8];
    EXPECT_EQ(s.port.Read(buf, 8, 100), -1);
    ASSERT_TRUE(kqtest::SendAll(s.peer, "abc"));
    EXPECT_EQ(s.port.Read(buf, 8, 2000), 3);
    ASSERT_TRUE(kqtest::SendAll(s.peer, "de"));
    ASSERT_TRUE(kqtest::WaitReadable(s.port.Socket(), 2000));
    EXPECT_EQ(s.port.Purge(), 1);
    EXPECT_EQ(s.port.Read(buf, 8, 100), -1);
    EXPECT_EQ(s.port.Socket(), s.sock);
    if (lim.rlim_cur < want) {
        s.port.Close();
        setrlimit(RLIMIT_NOFILE, &lim);
    }
}

// A signal during a wait is not a failure of the connection.
TEST(NetStream, SignalsDoNotCutWaitsShort) {
    StreamPair s;
    ASSERT_TRUE(s.Connect());
    unsigned char buf[8];
    {
        nettest::AlarmTicks ticks(50000);
        const double start = NowMs();
        auto got = Capture([&] { EXPECT_EQ(s.port.Read(buf, 8, 400), -1); });
        EXPECT_GE(NowMs() - start, 390);
        EXPECT_EQ(
            got.log,
            "CSerNet::Read select timeout: stTime.tv_sec=0,stTime.tv_usec=0,waittime=400\r\n");
    }
    ASSERT_EQ(s.port.Socket(), s.sock);

    int n = 0;
    {
        nettest::AlarmTicks ticks(50000);
        std::thread late([&] {
            nettest::BlockAlarm();  // the reader gets the ticks
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            kqtest::SendAll(s.peer, "late");
        });
        n = s.port.Read(buf, 8, -1);
        late.join();
    }
    EXPECT_EQ(n, 4);
    EXPECT_EQ(s.port.Socket(), s.sock);
}

// --- host texts that do not fit --------------------------------------------

// A TCP listener on any loopback address, with a port the system picks.
struct LoopbackListener {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int port = 0;

    explicit LoopbackListener(const char* addr) {
        sockaddr_in a = kqtest::Ipv4Addr(addr, 0);
        socklen_t len = sizeof a;
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            listen(fd, 4) != 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
            ADD_FAILURE() << "listener on " << addr << ": " << std::strerror(errno);
            return;
        }
        port = ntohs(a.sin_port);
    }
    ~LoopbackListener() {
        if (fd >= 0) {
            close(fd);
        }
    }
    bool Pending(int timeoutMs) const {
        pollfd pfd{fd, POLLIN, 0};
        return poll(&pfd, 1, timeoutMs) == 1;
    }
};

// m_szHost holds 15 characters. A longer text is cut, and the cut text can
// name another station: the port must not open, nor send, on it.
TEST(NetCutHost, DatagramPortIsRefusedAndSendsNothing) {
    kqtest::UdpPeer other("127.100.100.10");  // the station the cut text names
    ASSERT_TRUE(other.ok());
    const std::string udp = std::to_string(other.port());
    const std::string cut = "u127.100.100.100:" + udp;
    NetProbe port(cut.c_str());
    EXPECT_STREQ(port.GetNote(), ("NET " + udp + " u127.100.100.10:" + udp).c_str());
    const int fds = kqtest::OpenFdCount();
    auto got = Capture([&] { EXPECT_EQ(port.Open(nullptr), 0); });
    EXPECT_EQ(got.log, "CSerNet::Open ERROR: Bad host address u127.100.100.10!\n");
    EXPECT_EQ(port.Socket(), -1);
    EXPECT_EQ(kqtest::OpenFdCount(), fds);
    std::string datagram;
    EXPECT_FALSE(other.Recv(&datagram, 100));

    // The same stored text, given whole, does name that station.
    ASSERT_EQ(port.Open(("u127.100.100.10:" + udp).c_str()), 1);
    ASSERT_EQ(port.Write(Bytes("to"), 2), 2);
    ASSERT_TRUE(other.Recv(&datagram, 2000));
    EXPECT_EQ(datagram, "to");

    // A text cut after Open fails the next write instead of sending.
    ASSERT_EQ(port.SetDef(cut.c_str()), 1);
    got = Capture([&] { EXPECT_EQ(port.Write(Bytes("abc"), 3), -1); });
    EXPECT_EQ(got.log, "ERROR: Failed to sent string.\nSEND: \r\n");
    EXPECT_EQ(port.Socket(), -1);
    EXPECT_FALSE(other.Recv(&datagram, 200));
}

TEST(NetCutHost, StreamPortIsRefusedAndConnectsNowhere) {
    LoopbackListener other("127.100.100.100");
    ASSERT_GT(other.port, 0);
    const std::string tcp = std::to_string(other.port);
    NetProbe port(("127.100.100.1001:" + tcp).c_str());
    EXPECT_STREQ(port.GetNote(), ("NET " + tcp + " 127.100.100.100:" + tcp).c_str());
    auto got = Capture([&] { EXPECT_EQ(port.Open(nullptr), 0); });
    EXPECT_EQ(got.log, "CSerNet::Open ERROR: Bad host address 127.100.100.100!\n");
    EXPECT_EQ(port.Socket(), -1);
    EXPECT_FALSE(other.Pending(200));

    // Fifteen characters fit.
    ASSERT_EQ(port.Open(("127.100.100.100:" + tcp).c_str()), 1);
    EXPECT_TRUE(other.Pending(2000));
    port.Close();
}

// --- signals, urgent data and floods ------------------------------------------

// Fills fd's send path while the peer does not read, until a send would
// block for a while.
bool FillUntilBlocked(int fd, int peer) {
    const int small = 4096;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    setsockopt(peer, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    const std::string chunk(16384, 'z');
    for (int round = 0; round < 50; ++round) {
        for (int i = 0; i < 10000; ++i) {
            if (send(fd, chunk.data(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL) <= 0) {
                break;
            }
        }
        pollfd pfd{fd, POLLOUT, 0};
        if (poll(&pfd, 1, 50) == 0) {
            return true;
        }
    }
    return false;
}

timeval SendTimeout(int fd) {
    timeval tv{};
    socklen_t len = sizeof tv;
    getsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, &len);
    return tv;
}

// A signal every millisecond must not restart the 2 s send bound.
TEST(NetSignals, SendBoundHoldsWhileSignalsKeepComing) {
    StreamPair s;
    ASSERT_TRUE(s.Connect());
    ASSERT_TRUE(FillUntilBlocked(s.sock, s.peer));
    int n = 0;
    double took = 0;
    kqtest::Captured got;
    {
        nettest::AlarmTicks ticks(1000);
        // A send that starts its bound again at every signal never ends:
        // stop the signals after 10 s.
        nettest::Watchdog dog(10000, [] { nettest::AlarmTicks::Stop(); });
        const double start = NowMs();
        got = Capture([&] { n = s.port.Write(Bytes("x"), 1); });
        took = NowMs() - start;
        dog.Done();
        EXPECT_FALSE(dog.Expired()) << "the write outlasted 10 s of signals";
    }
    EXPECT_EQ(n, -1);
    EXPECT_GE(took, 1900);
    EXPECT_LT(took, 6000);
    EXPECT_EQ(got.log, "ERROR: Failed to sent string.\nSEND: \r\n");
    EXPECT_EQ(s.port.Socket(), -1);
}

TEST(NetSignals, SendThatWaitsThroughSignalsSucceedsAndKeepsTheBound) {
    StreamPair s;
    ASSERT_TRUE(s.Connect());
    ASSERT_TRUE(FillUntilBlocked(s.sock, s.peer));
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        nettest::BlockAlarm();
        // Long enough for the write to meet many signals first.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const double end = NowMs() + 8000;
        char chunk[65536];
        while (!stop && NowMs() < end) {
            if (kqtest::WaitReadable(s.peer, 50)) {
                recv(s.peer, chunk, sizeof chunk, MSG_DONTWAIT);
            }
        }
    });
    int n = 0;
    {
        nettest::AlarmTicks ticks(1000);
        n = s.port.Write(Bytes("x"), 1);
    }
    stop = true;
    reader.join();
    EXPECT_EQ(n, 1);
    const timeval bound = SendTimeout(s.sock);
    EXPECT_EQ(bound.tv_sec, 2);
    EXPECT_EQ(bound.tv_usec, 0);
}

// An urgent (out-of-band) byte makes the socket ready without anything a
// plain receive can take.
TEST(NetUrgent, UrgentByteAloneDoesNotHoldARead) {
    StreamPair s;
    ASSERT_TRUE(s.Connect());
    ASSERT_EQ(send(s.peer, "!", 1, MSG_OOB), 1);
    pollfd pfd{s.sock, POLLPRI, 0};
    ASSERT_EQ(poll(&pfd, 1, 2000), 1);

    unsigned char buf[8];
    double took = 0;
    kqtest::Captured got;
    {
        // A receive that blocks on it ends only when data comes.
        nettest::Watchdog dog(5000, [&] { kqtest::SendAll(s.peer, "late"); });
        const double start = NowMs();
        got = Capture([&] { EXPECT_EQ(s.port.Read(buf, 8, 300), -1); });
        took = NowMs() - start;
        dog.Done();
        EXPECT_FALSE(dog.Expired()) << "the read waited for data after its time-out";
    }
    EXPECT_GE(took, 290);
    EXPECT_LT(took, 2000);
    EXPECT_EQ(got.log,
              "CSerNet::Read select timeout: stTime.tv_sec=0,stTime.tv_usec=0,waittime=300\r\n");
    EXPECT_EQ(s.port.Socket(), s.sock);

    // Urgent data, then ordinary data within the same time-out: the data.
    std::thread peer([&] {
        send(s.peer, "?", 1, MSG_OOB);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        kqtest::SendAll(s.peer, "data");
    });
    const int n = s.port.Read(buf, 8, 3000);
    peer.join();
    EXPECT_EQ(n, 4);
    EXPECT_EQ(Text(buf, n > 0 ? n : 0), "data");
}

// Sends to fd without pause (to the address when given) until stopped, for
// 3 s at most.
class Flood {
public:
    explicit Flood(int fd, const sockaddr_in* to = nullptr)
        : thread_([this, fd, to] {
              const std::string chunk(to != nullptr ? 64 : 4096, 'f');
              const int flags = MSG_DONTWAIT | MSG_NOSIGNAL;
              const double end = NowMs() + 3000;
              while (!stop_ && NowMs() < end) {
                  for (int i = 0; i < 1000; ++i) {
                      const ssize_t n =
                          to != nullptr ? sendto(fd, chunk.data(), chunk.size(), flags,
                                                 reinterpret_cast<const sockaddr*>(to), sizeof *to)
                                        : send(fd, chunk.data(), chunk.size(), flags);
                      if (n < 0) {
                          break;
                      }
                  }
                  pollfd pfd{fd, POLLOUT, 0};
                  poll(&pfd, 1, 50);
              }
          }) {}
    ~Flood() {
        stop_ = true;
        thread_.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST(NetPurge, APeerThatNeverStopsSendingDoesNotHoldPurge) {
    StreamPair s;
    ASSERT_TRUE(s.Connect());
    // Room for a backlog that one-byte receives take a while to drain.
    const int backlog = 65536;
    setsockopt(s.sock, SOL_SOCKET, SO_RCVBUF, &backlog, sizeof backlog);
    const std::string first = "..." + std::string(s.port.GetNote()) + " purge recv\r\n";
    Flood flood(s.peer);
    ASSERT_TRUE(kqtest::WaitReadable(s.sock, 2000));
    int result = -1;
    const double start = NowMs();
    auto got = Capture([&] { result = s.port.Purge(); });
    const double took = NowMs() - start;
    EXPECT_EQ(result, 1);
    EXPECT_LT(took, 2000);
    EXPECT_EQ(got.log.compare(0, first.size(), first), 0);
    EXPECT_EQ(s.port.Socket(), s.sock);
}

TEST(NetPurge, ADatagramFloodDoesNotHoldPurge) {
    kqtest::UdpPeer peer;
    ASSERT_TRUE(peer.ok());
    NetProbe port(("u127.0.0.1:" + std::to_string(peer.port())).c_str());
    ASSERT_EQ(port.Open(nullptr), 1);
    sockaddr_in local{};
    socklen_t len = sizeof local;
    ASSERT_EQ(getsockname(port.Socket(), reinterpret_cast<sockaddr*>(&local), &len), 0);
    Flood flood(peer.fd(), &local);
    ASSERT_TRUE(kqtest::WaitReadable(port.Socket(), 2000));
    int result = -1;
    const double start = NowMs();
    Capture([&] { result = port.Purge(); });
    const double took = NowMs() - start;
    EXPECT_EQ(result, 1);
    EXPECT_LT(took, 2000);
    EXPECT_GE(port.Socket(), 0);
    port.Close();
}

}  // namespace
