// SPDX-License-Identifier: MIT
// The socket handle on real loopback sockets.
#include "SocketHandle.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "Capture.h"
#include "Process.h"
#include "Pty.h"
#include "SignalTicks.h"
#include "SockTestUtil.h"

namespace {

using socktest::Checks;

const unsigned long kNoLimit = 0xFFFFFFFFUL;

void ResetErrors() {
    SetLastError(0);
    WSASetLastError(0);
}

int IntOption(long socket, int level, int name) {
    int value = -1;
    socklen_t len = sizeof value;
    if (getsockopt(static_cast<int>(socket), level, name, &value, &len) != 0) {
        return -2;
    }
    return value;
}

std::string Dotted(const SockAddrIn& a) {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
    return text;
}

struct ReadResult {
    int res = 0;
    std::string out;  // what Read printed
    double ms = 0;
    std::string data;
};

// Reads with errno cleared first, so the printed lines are predictable.
ReadResult ReadFrom(CSocketHandle& h, unsigned long size, unsigned long timeoutMs,
                    sockaddr* from = nullptr) {
    ReadResult r;
    unsigned char buf[256] = {};
    r.out = kqtest::CaptureStdout([&] {
        const double start = kqtest::NowMs();
        errno = 0;
        r.res = h.Read(buf, size, from, timeoutMs);
        r.ms = kqtest::NowMs() - start;
    });
    if (r.res > 0) {
        r.data.assign(reinterpret_cast<char*>(buf), static_cast<size_t>(r.res));
    }
    return r;
}

int WriteText(CSocketHandle& h, const std::string& text, unsigned long timeoutMs,
              sockaddr* to = nullptr) {
    std::string copy = text;
    return h.Write(reinterpret_cast<unsigned char*>(&copy[0]), copy.size(), to, timeoutMs);
}

std::string PortText(const CSocketHandle& h) {
    SockAddrIn local;
    return h.GetSockName(local) ? std::to_string(ntohs(local.sin_port)) : "0";
}

// A listener on loopback, a client connected to it and the accepted end.
class SockConnected : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(listener.CreateSocket("127.0.0.1", "0", AF_INET, SOCK_STREAM, 0));
        ASSERT_TRUE(client.ConnectTo("127.0.0.1", "127.0.0.1", PortText(listener).c_str(), AF_INET,
                                     SOCK_STREAM));
        const long accepted = CSocketHandle::WaitForConnection(listener.GetSocket());
        ASSERT_GE(accepted, 0);
        ASSERT_TRUE(server.Attach(accepted));
    }

    CSocketHandle listener;
    CSocketHandle client;
    CSocketHandle server;
};

// --- holding a socket ---------------------------------------------------

TEST(SockHandle, NewHandleHoldsNothing) {
    CSocketHandle h;
    SetLastError(77);
    EXPECT_FALSE(h.IsOpen());
    EXPECT_EQ(h.GetSocket(), -1);
    EXPECT_EQ(h.GetSocketType(), -1);
    EXPECT_EQ(h.Detach(), -1);
    h.Close();
    SockAddrIn a;
    EXPECT_FALSE(h.GetSockName(a));
    EXPECT_FALSE(h.GetPeerName(a));
    EXPECT_FALSE(h.AddMembership("239.1.2.3", "127.0.0.1"));
    EXPECT_FALSE(h.DropMembership("239.1.2.3", "127.0.0.1"));
    unsigned char buf[4] = {};
    const std::string out = kqtest::CaptureStdout([&] {
        EXPECT_EQ(h.Read(buf, sizeof buf, nullptr, 100), -1);
        EXPECT_EQ(h.Write(buf, sizeof buf, nullptr, 100), -1);
    });
    EXPECT_EQ(out, "");
    EXPECT_EQ(GetLastError(), 77);  // argument checks store nothing
    EXPECT_TRUE(CSocketHandle::InitLibrary(0x0202));
    EXPECT_TRUE(CSocketHandle::ReleaseLibrary());
}

TEST(SockHandle, AttachDetachAndClose) {
    CSocketHandle h;
    EXPECT_TRUE(h.Attach(7));
    EXPECT_EQ(h.GetSocket(), 7);
    EXPECT_TRUE(h.IsOpen());
    EXPECT_FALSE(h.Attach(8));
    EXPECT_EQ(h.GetSocket(), 7);
    EXPECT_EQ(h.Detach(), 7);
    EXPECT_FALSE(h.IsOpen());

    const int dgram = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(dgram, 0);
    ASSERT_TRUE(h.Attach(dgram));
    EXPECT_EQ(h.GetSocketType(), SOCK_DGRAM);
    EXPECT_EQ(h.Detach(), dgram);
    EXPECT_TRUE(socktest::FdOpen(dgram));  // handed back, not closed
    ASSERT_TRUE(h.Attach(dgram));
    h.Close();
    EXPECT_FALSE(socktest::FdOpen(dgram));
    EXPECT_EQ(h.GetSocket(), -1);
    h.Close();

    const int stream = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(stream, 0);
    {
        CSocketHandle scoped;
        ASSERT_TRUE(scoped.Attach(stream));
        EXPECT_EQ(scoped.GetSocketType(), SOCK_STREAM);
    }
    EXPECT_FALSE(socktest::FdOpen(stream));  // closed by the destructor
}

TEST(SockHandle, FailedQueriesStoreTheError) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    CSocketHandle h;
    ASSERT_TRUE(h.Attach(fds[0]));
    ResetErrors();
    EXPECT_EQ(h.GetSocketType(), -1);
    EXPECT_EQ(GetLastError(), ENOTSOCK);
    SockAddrIn a;
    SetLastError(0);
    EXPECT_FALSE(h.GetSockName(a));
    EXPECT_EQ(GetLastError(), ENOTSOCK);
    SetLastError(0);
    EXPECT_FALSE(h.AddMembership("239.1.2.3", "127.0.0.1"));
    EXPECT_EQ(GetLastError(), ENOTSOCK);
    SetLastError(0);
    EXPECT_FALSE(h.DropMembership("239.1.2.3", "127.0.0.1"));
    EXPECT_EQ(GetLastError(), ENOTSOCK);
    h.Detach();
    close(fds[0]);
    close(fds[1]);

    CSocketHandle listener;
    ASSERT_TRUE(listener.CreateSocket("127.0.0.1", "0", AF_INET, SOCK_STREAM, 0));
    SetLastError(0);
    EXPECT_FALSE(listener.GetPeerName(a));
    EXPECT_EQ(GetLastError(), ENOTCONN);
    EXPECT_EQ(CSocketHandle::WaitForConnection(-1), -1);
}

// --- server and client -------------------------------------------------

TEST(SockHandle, ListenOnTheWildcardAndConnectOverLoopback) {
    CSocketHandle listener;
    ASSERT_TRUE(listener.CreateSocket("0.0.0.0", "0", AF_INET, SOCK_STREAM, 0));
    SockAddrIn local;
    ASSERT_TRUE(listener.GetSockName(local));
    EXPECT_EQ(local.sin_family, AF_INET);
    EXPECT_EQ(local.sin_addr.s_addr, 0u);
    const unsigned short port = ntohs(local.sin_port);
    EXPECT_NE(port, 0);
    EXPECT_EQ(listener.GetSocketType(), SOCK_STREAM);
    EXPECT_EQ(IntOption(listener.GetSocket(), SOL_SOCKET, SO_ACCEPTCONN), 1);

    // A listening socket reports its backlog limit in tcpi_sacked (user-mode
    // emulation does not translate TCP_INFO).
    if (!kqtest::kEmulated) {
        tcp_info info{};
        socklen_t len = sizeof info;
        ASSERT_EQ(
            getsockopt(static_cast<int>(listener.GetSocket()), IPPROTO_TCP, TCP_INFO, &info, &len),
            0);
        int somaxconn = 4096;
        std::ifstream("/proc/sys/net/core/somaxconn") >> somaxconn;
        EXPECT_EQ(info.tcpi_sacked, static_cast<unsigned>(std::min(128, somaxconn)));
    }

    CSocketHandle client;
    ASSERT_TRUE(client.ConnectTo("127.0.0.1", "127.0.0.1", std::to_string(port).c_str(), AF_INET,
                                 SOCK_STREAM));
    const long accepted = CSocketHandle::WaitForConnection(listener.GetSocket());
    ASSERT_GE(accepted, 0);
    CSocketHandle server;
    ASSERT_TRUE(server.Attach(accepted));

    SockAddrIn peer;
    ASSERT_TRUE(client.GetPeerName(peer));
    EXPECT_EQ(Dotted(peer), "127.0.0.1");
    EXPECT_EQ(ntohs(peer.sin_port), port);
    SockAddrIn clientLocal;
    SockAddrIn serverPeer;
    ASSERT_TRUE(client.GetSockName(clientLocal));
    ASSERT_TRUE(server.GetPeerName(serverPeer));
    EXPECT_TRUE(clientLocal.IsEqual(serverPeer));

    // The client's receive waits at most 3 s.
    timeval tv{};
    socklen_t len = sizeof tv;
    ASSERT_EQ(getsockopt(static_cast<int>(client.GetSocket()), SOL_SOCKET, SO_RCVTIMEO, &tv, &len),
              0);
    EXPECT_EQ(tv.tv_sec, 3);
    EXPECT_EQ(tv.tv_usec, 0);

    // Neither replaces the socket it holds.
    const long held = listener.GetSocket();
    SetLastError(0);
    EXPECT_FALSE(listener.CreateSocket("127.0.0.1", "0", AF_INET, SOCK_STREAM, 0));
    EXPECT_EQ(GetLastError(), 5);
    EXPECT_EQ(listener.GetSocket(), held);
    SetLastError(0);
    EXPECT_FALSE(client.ConnectTo("127.0.0.1", "127.0.0.1", std::to_string(port).c_str(), AF_INET,
                                  SOCK_STREAM));
    EXPECT_EQ(GetLastError(), 5);
}

TEST(SockHandle, CreateSocketOptionsAreMasks) {
    struct Case {
        int type;
        unsigned int options;
        int reuse;
        int broadcast;
    } cases[] = {
        {SOCK_DGRAM, 0, 0, 0},  {SOCK_DGRAM, 2, 1, 1},  {SOCK_DGRAM, 4, 0, 1},
        {SOCK_DGRAM, 6, 1, 1},  {SOCK_STREAM, 2, 1, 0}, {SOCK_STREAM, 6, 1, 0},
        {SOCK_STREAM, 4, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("type " + std::to_string(c.type) + " options " + std::to_string(c.options));
        CSocketHandle h;
        ASSERT_TRUE(h.CreateSocket("127.0.0.1", "0", AF_INET, c.type, c.options));
        EXPECT_EQ(IntOption(h.GetSocket(), SOL_SOCKET, SO_REUSEADDR), c.reuse);
        EXPECT_EQ(IntOption(h.GetSocket(), SOL_SOCKET, SO_BROADCAST), c.broadcast);
        EXPECT_EQ(IntOption(h.GetSocket(), SOL_SOCKET, SO_ACCEPTCONN), c.type == SOCK_STREAM);
        EXPECT_EQ(h.GetSocketType(), c.type);
    }
}

TEST(SockHandle, FailedCreateOrConnectLeavesNoSocket) {
    const int fdsBefore = kqtest::OpenFdCount();

    CSocketHandle first;
    ASSERT_TRUE(first.CreateSocket("127.0.0.1", "0", AF_INET, SOCK_STREAM, 0));
    const std::string port = PortText(first);
    CSocketHandle h;
    SetLastError(0);
    EXPECT_FALSE(h.CreateSocket("127.0.0.1", port.c_str(), AF_INET, SOCK_STREAM, 2));
    EXPECT_EQ(GetLastError(), EADDRINUSE);
    EXPECT_FALSE(h.IsOpen());

    // Nobody listens on a port that was only bound.
    CSocketHandle bound;
    ASSERT_TRUE(bound.CreateSocket("127.0.0.1", "0", AF_INET, SOCK_DGRAM, 0));
    const std::string closedPort = PortText(bound);
    bound.Close();
    SetLastError(0);
    EXPECT_FALSE(h.ConnectTo("127.0.0.1", "127.0.0.1", closedPort.c_str(), AF_INET, SOCK_STREAM));
    EXPECT_EQ(GetLastError(), ECONNREFUSED);
    EXPECT_FALSE(h.IsOpen());

    // A local address of 0.0.0.0 with port 0 is refused before connecting.
    SetLastError(0);
    errno = 0;
    EXPECT_FALSE(h.ConnectTo("0.0.0.0", "127.0.0.1", port.c_str(), AF_INET, SOCK_STREAM));
    EXPECT_EQ(GetLastError(), EADDRNOTAVAIL);
    EXPECT_FALSE(h.IsOpen());

    // No socket at all: nothing stored.
    SetLastError(77);
    EXPECT_FALSE(h.ConnectTo("127.0.0.1", "127.0.0.1", port.c_str(), 12345, SOCK_STREAM));
    EXPECT_EQ(GetLastError(), 77);

    first.Close();
    EXPECT_EQ(kqtest::OpenFdCount(), fdsBefore);
}

// The local address is always built as IPv4; bound to a socket of another
// family it would name something else (for AF_UNIX, a file named after the
// port and address bytes, here "AB").
TEST(SockHandle, OnlyIpv4SocketsAreCreated) {
    char dir[] = "/tmp/kqsock.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const int home = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(home, 0);
    ASSERT_EQ(chdir(dir), 0);
    const int fdsBefore = kqtest::OpenFdCount();
    for (int family : {AF_UNIX, AF_INET6, AF_UNSPEC, 12345}) {
        SCOPED_TRACE("family " + std::to_string(family));
        CSocketHandle h;
        SetLastError(0);
        EXPECT_FALSE(h.CreateSocket("0.0.0.0", "16706", family, SOCK_STREAM, 0));
        EXPECT_EQ(GetLastError(), EAFNOSUPPORT);
        EXPECT_FALSE(h.IsOpen());
        EXPECT_EQ(kqtest::OpenFdCount(), fdsBefore);
    }
    const bool made = unlink("AB") == 0;
    ASSERT_EQ(fchdir(home), 0);
    close(home);
    EXPECT_FALSE(made) << "a socket file was made in the working directory";
    EXPECT_EQ(rmdir(dir), 0);
}

TEST(SockHandle, EmptyLocalHostMeansThisMachine) {
    EXPECT_CHILD_OK(socktest::RunWithLocalName([] {
        Checks c;
        std::string address;
        const bool listed = socktest::HostsEntry(socktest::HostName(), nullptr, &address);
        CSocketHandle h;
        SetLastError(0);
        const bool created = h.CreateSocket(nullptr, "0", AF_INET, SOCK_STREAM, 0);
        if (!listed && !created) {
            // Unresolvable here: 255.255.255.255 is no local address.
            c.Equal(GetLastError(), EADDRNOTAVAIL, "bind error");
            return c.Failures();
        }
        c.Expect(created, "CreateSocket on the local host name");
        SockAddrIn local;
        c.Expect(h.GetSockName(local), "GetSockName");
        if (listed) {
            c.Equal(Dotted(local), address, "bound address");
        }
        CSocketHandle client;
        c.Expect(client.ConnectTo(nullptr, Dotted(local).c_str(), PortText(h).c_str(), AF_INET,
                                  SOCK_STREAM),
                 "ConnectTo with an empty local host");
        return c.Failures();
    }));
}

// --- reading and writing ---------------------------------------------------

TEST_F(SockConnected, ReadAndWriteWithAndWithoutWaits) {
    EXPECT_EQ(WriteText(client, "hello", 0), 5);
    ReadResult r = ReadFrom(server, 16, 1000);
    EXPECT_EQ(r.res, 5);
    EXPECT_EQ(r.data, "hello");
    EXPECT_EQ(r.out,
              "SocketHandle::Read select 1 errno=0\r\n"
              "SocketHandle::Read res=5/16 errno=0\r\n");

    EXPECT_EQ(WriteText(client, "world", kNoLimit), 5);
    r = ReadFrom(server, 16, kNoLimit);
    EXPECT_EQ(r.res, 5);
    EXPECT_EQ(r.data, "world");
    EXPECT_EQ(r.out, "SocketHandle::Read res=5/16 errno=0\r\n");

    // Back the other way; the read takes no more than its size.
    EXPECT_EQ(WriteText(server, "0123456789", 1000), 10);
    r = ReadFrom(client, 4, 0);
    EXPECT_EQ(r.res, 4);
    EXPECT_EQ(r.data, "0123");
    EXPECT_EQ(r.out, "SocketHandle::Read res=4/4 errno=0\r\n");
    r = ReadFrom(client, 16, 1000);
    EXPECT_EQ(r.data, "456789");

    unsigned char empty[1] = {};
    EXPECT_EQ(client.Write(empty, 0, nullptr, 0), 0);
    EXPECT_EQ(client.Write(nullptr, 4, nullptr, 0), -1);
    const std::string out = kqtest::CaptureStdout([&] {
        EXPECT_EQ(server.Read(nullptr, 4, nullptr, 100), -1);
        EXPECT_EQ(server.Read(empty, 0, nullptr, 100), -1);
    });
    EXPECT_EQ(out, "");
}

TEST_F(SockConnected, ReadTimesOutWithZero) {
    SetLastError(77);
    WSASetLastError(0);
    ReadResult r = ReadFrom(server, 16, 100);
    EXPECT_EQ(r.res, 0);
    EXPECT_GE(r.ms, 90);
    EXPECT_LT(r.ms, 3000);
    EXPECT_EQ(r.out,
              "SocketHandle::Read select 0 errno=0\r\n"
              "SocketHandle::Read res=0/16 errno=0\r\n");
    EXPECT_EQ(GetLastError(), 77);
    errno = 0;
    EXPECT_EQ(WSAGetLastError(), 0);

    // Whole seconds of the time-out count as well.
    r = ReadFrom(server, 16, 1050);
    EXPECT_EQ(r.res, 0);
    EXPECT_GE(r.ms, 1000);
    EXPECT_LT(r.ms, 5000);
}

TEST_F(SockConnected, ReadWithoutWaitBlocksUntilDataComes) {
    std::atomic<bool> done{false};
    bool waited = false;
    int res = -2;
    const std::string out = kqtest::CaptureStdout([&] {
        std::thread reader([&] {
            unsigned char buf[16];
            res = server.Read(buf, sizeof buf, nullptr, 0);
            done = true;
        });
        // Nothing has been sent: the reader must still be waiting after a while.
        const double until = kqtest::NowMs() + 150;
        while (!done && kqtest::NowMs() < until) {
            poll(nullptr, 0, 10);
        }
        waited = !done;
        if (WriteText(client, "x", kNoLimit) != 1) {
            shutdown(static_cast<int>(server.GetSocket()), SHUT_RDWR);
        }
        reader.join();
    });
    EXPECT_TRUE(waited);
    EXPECT_EQ(res, 1);
    EXPECT_EQ(kqtest::Lines(out).size(), 1u) << out;
}

TEST_F(SockConnected, PeerClosedIsAConnectionReset) {
    client.Close();
    ResetErrors();
    ReadResult r = ReadFrom(server, 16, 1000);
    EXPECT_EQ(r.res, -1);
    EXPECT_EQ(r.out,
              "SocketHandle::Read select 1 errno=0\r\n"
              "Read0 connreset: 104\r\n"
              "SocketHandle::Read res=-1/16 errno=0\r\n"
              "SocketHandle::Read err lastErr=0 errno=0\r\n");
    EXPECT_EQ(GetLastError(), 0);  // errno went to the last error
    errno = EINTR;
    EXPECT_EQ(WSAGetLastError(), 104);  // the reset stayed pending, once
    EXPECT_EQ(WSAGetLastError(), EINTR);

    // Without a wait the same, minus the select line.
    r = ReadFrom(server, 16, kNoLimit);
    EXPECT_EQ(r.res, -1);
    EXPECT_EQ(r.out,
              "Read0 connreset: 104\r\n"
              "SocketHandle::Read res=-1/16 errno=0\r\n"
              "SocketHandle::Read err lastErr=0 errno=0\r\n");
    EXPECT_EQ(WSAGetLastError(), 104);
}

TEST(SockHandle, FailedWaitIsReportedAsReset) {
    // A descriptor that is no longer open, above those the capture opens.
    const int closed = fcntl(STDERR_FILENO, F_DUPFD, 600);
    ASSERT_GE(closed, 600);
    close(closed);
    CSocketHandle h;
    ASSERT_TRUE(h.Attach(closed));
    ResetErrors();
    ReadResult r = ReadFrom(h, 16, 100);
    EXPECT_EQ(r.res, -1);
    EXPECT_EQ(r.out,
              "SocketHandle::Read select -1 errno=9\r\n"
              "SocketHandle::Read select err: 9\r\n"
              "SocketHandle::Read res=-1/16 errno=9\r\n"
              "SocketHandle::Read err lastErr=9 errno=9\r\n");
    EXPECT_EQ(GetLastError(), EBADF);
    EXPECT_EQ(WSAGetLastError(), 104);

    SetLastError(0);
    EXPECT_EQ(WriteText(h, "abc", 100), -1);
    EXPECT_EQ(GetLastError(), EBADF);
    SetLastError(0);
    EXPECT_EQ(WriteText(h, "abc", kNoLimit), -1);
    EXPECT_EQ(GetLastError(), EBADF);
    h.Detach();
}

TEST_F(SockConnected, WriteWaitsForRoomInTheSendBuffer) {
    const int fd = static_cast<int>(client.GetSocket());
    const int small = 4096;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    setsockopt(static_cast<int>(server.GetSocket()), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    std::string chunk(16384, 'z');
    // Fill until the socket stays unwritable for a while (nobody reads).
    bool full = false;
    for (int round = 0; round < 50 && !full; ++round) {
        for (int i = 0; i < 10000; ++i) {
            if (send(fd, chunk.data(), chunk.size(), MSG_DONTWAIT) < 0) {
                break;
            }
        }
        pollfd pfd{fd, POLLOUT, 0};
        full = poll(&pfd, 1, 50) == 0;
    }
    ASSERT_TRUE(full);

    SetLastError(77);
    double start = kqtest::NowMs();
    EXPECT_EQ(WriteText(client, "more", 0), 0);  // a poll: nothing sent
    EXPECT_LT(kqtest::NowMs() - start, 1000);
    start = kqtest::NowMs();
    EXPECT_EQ(WriteText(client, "more", 100), 0);
    const double ms = kqtest::NowMs() - start;
    EXPECT_GE(ms, 90);
    EXPECT_LT(ms, 3000);
    EXPECT_EQ(GetLastError(), 77);
}

TEST_F(SockConnected, WriteToAResetPeerFailsWithoutSigpipe) {
    // An abortive close sends a reset.
    const linger abortive{1, 0};
    setsockopt(static_cast<int>(server.GetSocket()), SOL_SOCKET, SO_LINGER, &abortive,
               sizeof abortive);
    server.Close();
    pollfd pfd{static_cast<int>(client.GetSocket()), POLLIN, 0};
    ASSERT_EQ(poll(&pfd, 1, 5000), 1);
    ASSERT_NE(pfd.revents & (POLLERR | POLLHUP), 0);

    EXPECT_CHILD_OK(socktest::RunInChild(
        [this] {
            Checks c;
            signal(SIGPIPE, SIG_DFL);
            SetLastError(0);
            c.Equal(WriteText(client, "after reset", 0), -1, "first write");
            c.Expect(GetLastError() == ECONNRESET || GetLastError() == EPIPE,
                     "first error " + std::to_string(GetLastError()));
            SetLastError(0);
            c.Equal(WriteText(client, "again", kNoLimit), -1, "second write");
            c.Equal(GetLastError(), EPIPE, "second error");
            return c.Failures();
        },
        socktest::Net::Shared));
}

TEST(SockHandle, DatagramsCarryTheirSender) {
    CSocketHandle a;
    CSocketHandle b;
    ASSERT_TRUE(a.CreateSocket("127.0.0.1", "0", AF_INET, SOCK_DGRAM, 0));
    ASSERT_TRUE(b.CreateSocket("127.0.0.1", "0", AF_INET, SOCK_DGRAM, 0));
    SockAddrIn aAddr;
    SockAddrIn bAddr;
    ASSERT_TRUE(a.GetSockName(aAddr));
    ASSERT_TRUE(b.GetSockName(bAddr));

    EXPECT_EQ(WriteText(a, "ping", 0, bAddr), 4);
    SockAddrIn from;
    ReadResult r = ReadFrom(b, 16, 1000, from);
    EXPECT_EQ(r.res, 4);
    EXPECT_EQ(r.data, "ping");
    EXPECT_TRUE(from.IsEqual(aAddr));
    EXPECT_EQ(r.out,
              "SocketHandle::Read select 1 errno=0\r\n"
              "SocketHandle::Read res=4/16 errno=0\r\n");

    EXPECT_EQ(WriteText(b, "pong", kNoLimit, from), 4);
    r = ReadFrom(a, 16, kNoLimit, nullptr);
    EXPECT_EQ(r.data, "pong");
}

TEST(SockHandle, DescriptorsBeyondTheSelectLimit) {
    const int high = FD_SETSIZE + 100;
    rlimit lim{};
    getrlimit(RLIMIT_NOFILE, &lim);
    if (lim.rlim_cur <= static_cast<rlim_t>(high)) {
        rlimit raised = lim;
        raised.rlim_cur = std::min<rlim_t>(lim.rlim_max, high + 1);
        setrlimit(RLIMIT_NOFILE, &raised);
        getrlimit(RLIMIT_NOFILE, &lim);
        if (lim.rlim_cur <= static_cast<rlim_t>(high)) {
            GTEST_SKIP() << "cannot open descriptor " << high;
        }
    }
    CSocketHandle a;
    CSocketHandle b;
    ASSERT_TRUE(a.CreateSocket("127.0.0.1", "0", AF_INET, SOCK_DGRAM, 0));
    ASSERT_TRUE(b.CreateSocket("127.0.0.1", "0", AF_INET, SOCK_DGRAM, 0));
    ASSERT_EQ(dup2(static_cast<int>(b.GetSocket()), high), high);
    close(static_cast<int>(b.Detach()));
    ASSERT_TRUE(b.Attach(high));
    SockAddrIn aAddr;
    SockAddrIn bAddr;
    ASSERT_TRUE(a.GetSockName(aAddr));
    ASSERT_TRUE(b.GetSockName(bAddr));

    ReadResult r = ReadFrom(b, 16, 100);
    EXPECT_EQ(r.res, 0);
    EXPECT_GE(r.ms, 90);
    EXPECT_EQ(WriteText(a, "far", 1000, bAddr), 3);
    r = ReadFrom(b, 16, 1000);
    EXPECT_EQ(r.data, "far");
    EXPECT_EQ(WriteText(b, "back", 1000, aAddr), 4);
    EXPECT_EQ(ReadFrom(a, 16, 1000).data, "back");
    b.Close();
    EXPECT_FALSE(socktest::FdOpen(high));
}

// --- multicast membership ----------------------------------------------------

TEST(SockHandle, MembershipNeedsADatagramSocket) {
    CSocketHandle h;
    ASSERT_TRUE(h.CreateSocket("127.0.0.1", "0", AF_INET, SOCK_STREAM, 0));
    ResetErrors();
    EXPECT_FALSE(h.AddMembership("239.1.2.3", "127.0.0.1"));
    EXPECT_EQ(GetLastError(), ENOPROTOOPT);
    errno = 0;
    EXPECT_EQ(WSAGetLastError(), 0);  // taken, not left pending
    SetLastError(0);
    EXPECT_FALSE(h.DropMembership("239.1.2.3", "127.0.0.1"));
    EXPECT_EQ(GetLastError(), ENOPROTOOPT);
    errno = 0;
    EXPECT_EQ(WSAGetLastError(), 0);
}

TEST(SockHandle, MembershipOnLoopback) {
    if (kqtest::kEmulated) {
        GTEST_SKIP() << "user-mode emulation does not translate the multicast socket options";
    }
    // Joining makes the kernel announce the group; keep that in a namespace.
    EXPECT_CHILD_OK(socktest::RunInChild(
        [] {
            Checks c;
            CSocketHandle h;
            c.Expect(h.CreateSocket("0.0.0.0", "0", AF_INET, SOCK_DGRAM, 0), "datagram socket");
            const int fd = static_cast<int>(h.GetSocket());
            c.Expect(h.AddMembership("239.1.2.3", "127.0.0.1"), "join");
            c.Equal(IntOption(fd, IPPROTO_IP, IP_MULTICAST_TTL), 5, "multicast TTL");
            in_addr iface{};
            socklen_t len = sizeof iface;
            getsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &iface, &len);
            c.Equal(iface.s_addr, htonl(INADDR_LOOPBACK), "multicast interface");

            SetLastError(0);
            c.Expect(!h.AddMembership("239.1.2.3", "127.0.0.1"), "second join");
            c.Equal(GetLastError(), EADDRINUSE, "second join error");
            c.Expect(h.DropMembership("239.1.2.3", "127.0.0.1"), "leave");
            SetLastError(0);
            c.Expect(!h.DropMembership("239.1.2.3", "127.0.0.1"), "second leave");
            c.Equal(GetLastError(), EADDRNOTAVAIL, "second leave error");

            // An interface address this machine does not have.
            SetLastError(0);
            c.Expect(!h.AddMembership("239.1.2.3", "192.0.2.1"), "foreign interface");
            c.Equal(GetLastError(), ENOPROTOOPT, "foreign interface error");
            errno = 0;
            c.Equal(WSAGetLastError(), 0, "nothing left pending");

            SetLastError(0);
            c.Expect(!h.AddMembership("127.0.0.1", "127.0.0.1"), "unicast group");
            c.Equal(GetLastError(), EINVAL, "unicast group error");
            return c.Failures();
        },
        socktest::Net::PrivateLoopback));
}

// --- signals and urgent data ---------------------------------------------

// A signal every millisecond, as an interval timer in a control loop gives:
// the wait goes on, and a quiet connection is not reset.
TEST_F(SockConnected, SignalsDoNotEndAWaitNorResetTheConnection) {
    nettest::AlarmTicks ticks(1000);
    for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE("read " + std::to_string(i));
        ResetErrors();
        SetLastError(77);
        ReadResult r = ReadFrom(server, 16, 300);
        EXPECT_EQ(r.res, 0);
        EXPECT_GE(r.ms, 290);
        EXPECT_LT(r.ms, 2000);
        EXPECT_EQ(r.out,
                  "SocketHandle::Read select 0 errno=0\r\n"
                  "SocketHandle::Read res=0/16 errno=0\r\n");
        EXPECT_EQ(GetLastError(), 77);
        errno = 0;
        EXPECT_EQ(WSAGetLastError(), 0);
    }
    std::thread peer([&] {
        nettest::BlockAlarm();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        WriteText(client, "late", kNoLimit);
    });
    ReadResult r = ReadFrom(server, 16, 3000);
    peer.join();
    EXPECT_EQ(r.res, 4);
    EXPECT_EQ(r.data, "late");
}

TEST_F(SockConnected, UrgentByteAloneDoesNotHoldARead) {
    const int serverFd = static_cast<int>(server.GetSocket());
    ASSERT_EQ(send(static_cast<int>(client.GetSocket()), "!", 1, MSG_OOB), 1);
    pollfd pfd{serverFd, POLLPRI, 0};
    ASSERT_EQ(poll(&pfd, 1, 2000), 1);
    ReadResult r;
    {
        // A receive that blocks on it ends only when data comes.
        nettest::Watchdog dog(5000, [&] { WriteText(client, "late", kNoLimit); });
        r = ReadFrom(server, 16, 300);
        dog.Done();
        EXPECT_FALSE(dog.Expired()) << "the read waited for data after its time-out";
    }
    EXPECT_EQ(r.res, 0);
    EXPECT_GE(r.ms, 290);
    EXPECT_LT(r.ms, 2000);
    EXPECT_EQ(r.out,
              "SocketHandle::Read select 0 errno=0\r\n"
              "SocketHandle::Read res=0/16 errno=0\r\n");

    EXPECT_EQ(WriteText(client, "after", kNoLimit), 5);
    r = ReadFrom(server, 16, 2000);
    EXPECT_EQ(r.data, "after");
}

}  // namespace
