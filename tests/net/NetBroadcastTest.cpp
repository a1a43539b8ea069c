// SPDX-License-Identifier: MIT
// The broadcast port inside a private network namespace: what it writes
// reaches a UDP socket bound to its port, sent to 255.255.255.255.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <string>

#include <gtest/gtest.h>

#include "Capture.h"
#include "Loopback.h"
#include "Pty.h"
#include "SerNet_p.h"

namespace {

using kqtest::Capture;

// One datagram with the address it was sent to.
bool RecvWithDest(int fd, std::string* bytes, sockaddr_in* from, in_addr* to) {
    pollfd pfd{fd, POLLIN, 0};
    if (poll(&pfd, 1, 3000) <= 0) {
        return false;
    }
    char data[512];
    char control[256];
    iovec iov{data, sizeof data};
    msghdr msg{};
    msg.msg_name = from;
    msg.msg_namelen = sizeof *from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    const ssize_t n = recvmsg(fd, &msg, 0);
    if (n < 0) {
        return false;
    }
    bytes->assign(data, static_cast<size_t>(n));
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            *to = reinterpret_cast<const in_pktinfo*>(CMSG_DATA(c))->ipi_addr;
            return true;
        }
    }
    return false;
}

TEST(NetBroadcast, WritesReachThePortInAPrivateNetwork) {
    kqtest::PrivateNet net;
    if (!net.ok()) {
        GTEST_SKIP() << net.why();
    }
    kqtest::UdpPeer peer("0.0.0.0", 0);
    ASSERT_TRUE(peer.ok());
    const int one = 1;
    ASSERT_EQ(setsockopt(peer.fd(), IPPROTO_IP, IP_PKTINFO, &one, sizeof one), 0);

    CSerNet port(("b:" + std::to_string(peer.port())).c_str());
    auto got = Capture([&] { EXPECT_EQ(port.Open(nullptr), 1); });
    EXPECT_EQ(got.log, "CSerNet::Open ok: b!\n");

    got = Capture(
        [&] { EXPECT_EQ(port.Write(reinterpret_cast<const unsigned char*>("hello"), 5), 5); });
    EXPECT_EQ(got.log, "SEND: 68 65 6C 6C 6F \r\n");
    std::string datagram;
    sockaddr_in from{};
    in_addr to{};
    ASSERT_TRUE(RecvWithDest(peer.fd(), &datagram, &from, &to));
    EXPECT_EQ(datagram, "hello");
    EXPECT_EQ(to.s_addr, htonl(INADDR_BROADCAST));

    // Answers come back to the port's own (ephemeral) UDP port.
    ASSERT_TRUE(peer.SendTo(from, "\x01\x02"));
    unsigned char buf[16];
    got = Capture([&] { EXPECT_EQ(port.Read(buf, 16, 3000), 2); });
    const std::string lines = "CSerNet::Read recv: 2\r\nRECV: 01 02 \r\n";
    EXPECT_EQ(got.log, kqtest::kConsole
                           ? "CSerNet::Read recv start:\r\nCSerNet::Read recv end:\r\n" + lines
                           : lines);

    // Silence: 0 after the wait, no line.
    const double start = kqtest::NowMs();
    got = Capture([&] { EXPECT_EQ(port.Read(buf, 16, 200), 0); });
    EXPECT_GE(kqtest::NowMs() - start, 190);
    EXPECT_EQ(got.log, "");
    EXPECT_EQ(port.Close(), 1);
}

}  // namespace
