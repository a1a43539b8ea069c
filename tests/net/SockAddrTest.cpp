// SPDX-License-Identifier: MIT
// Socket addresses, the Windows-named shims and the address and name
// look-ups of the socket handle.
#include "SocketHandle.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "SockTestUtil.h"

namespace {

using socktest::Checks;

std::string Bytes(const SockAddrIn& a) {
    return std::string(reinterpret_cast<const char*>(&a), sizeof a);
}

unsigned long NetOrder(const char* dotted) {
    return inet_addr(dotted);
}

void ResetErrors() {
    SetLastError(0);
    WSASetLastError(0);
}

// --- SockAddrIn -----------------------------------------------------------

TEST(SockAddrIn, NewAddressIsAllZero) {
    SockAddrIn a;
    EXPECT_EQ(Bytes(a), std::string(16, '\0'));
    EXPECT_TRUE(a.IsNull());
    EXPECT_EQ(a.Size(), 16);
    EXPECT_EQ(static_cast<sockaddr*>(a), reinterpret_cast<sockaddr*>(&a));
}

TEST(SockAddrIn, CreateFromDottedText) {
    SockAddrIn a;
    EXPECT_TRUE(a.CreateFrom("127.0.0.1", "0", AF_INET));
    EXPECT_EQ(Bytes(a), std::string("\x02\x00\x00\x00\x7F\x00\x00\x01", 8) + std::string(8, '\0'));

    EXPECT_TRUE(a.CreateFrom("10.1.2.3", "8080", AF_INET));
    EXPECT_EQ(ntohs(a.sin_port), 8080);
    EXPECT_EQ(a.sin_addr.s_addr, NetOrder("10.1.2.3"));

    // Wildcard address and port 0: built, but reported as null.
    EXPECT_FALSE(a.CreateFrom("0.0.0.0", "0", AF_INET));
    EXPECT_EQ(a.sin_family, AF_INET);
    EXPECT_TRUE(a.CreateFrom("0.0.0.0", "80", AF_INET));

    // A fresh build forgets what the object held; the family keeps its low 16 bits.
    std::memset(static_cast<sockaddr_in*>(&a), 0x5A, sizeof(sockaddr_in));
    EXPECT_TRUE(a.CreateFrom("1.2.3.4", "1", 0x10002));
    EXPECT_EQ(a.sin_family, 2);
    EXPECT_EQ(Bytes(a).substr(8), std::string(8, '\0'));

    // A null service is taken as port 0 rather than read.
    EXPECT_TRUE(a.CreateFrom("1.2.3.4", nullptr, AF_INET));
    EXPECT_EQ(a.sin_port, 0);
}

TEST(SockAddrIn, CreateFromNumbers) {
    SockAddrIn host;
    SockAddrIn net;
    EXPECT_TRUE(host.CreateFrom(0x7F000001UL, 80, AF_INET, true));
    EXPECT_TRUE(net.CreateFrom(NetOrder("127.0.0.1"), htons(80), AF_INET, false));
    EXPECT_TRUE(host.IsEqual(net));
    EXPECT_EQ(Bytes(host), Bytes(net));
    EXPECT_EQ(ntohs(host.sin_port), 80);

    EXPECT_FALSE(host.CreateFrom(0, 0, AF_INET, true));
    EXPECT_TRUE(host.IsNull());
    EXPECT_TRUE(host.CreateFrom(0, 1, AF_INET, true));
    EXPECT_TRUE(host.CreateFrom(1, 0, AF_INET, false));
}

TEST(SockAddrIn, EqualityCopyAndNull) {
    SockAddrIn a;
    SockAddrIn b;
    a.CreateFrom(0x0A000001UL, 502, AF_INET, true);
    b.CreateFrom(0x0A000001UL, 502, AF_INET, true);
    b.sin_zero[3] = 9;  // differs only in the padding
    EXPECT_TRUE(a.IsEqual(b));
    b.sin_port = htons(503);
    EXPECT_FALSE(a.IsEqual(b));
    b.CreateFrom(0x0A000001UL, 502, AF_INET6, true);
    EXPECT_FALSE(a.IsEqual(b));  // the family is compared

    // IsNull looks at address and port only.
    SockAddrIn c;
    c.sin_family = AF_INET;
    EXPECT_TRUE(c.IsNull());

    // Copies are byte copies, padding included.
    b.sin_zero[7] = 1;
    SockAddrIn copied(b);
    EXPECT_EQ(Bytes(copied), Bytes(b));
    SockAddrIn assigned;
    EXPECT_EQ(&(assigned = b), &assigned);
    EXPECT_EQ(Bytes(assigned), Bytes(b));
    EXPECT_EQ(&a.Copy(a), &a);
    a.Clear();
    EXPECT_EQ(Bytes(a), std::string(16, '\0'));
}

// --- error stores ---------------------------------------------------------

TEST(SockShims, LastErrorStaysUntilReplaced) {
    SetLastError(5);
    EXPECT_EQ(GetLastError(), 5);
    EXPECT_EQ(GetLastError(), 5);
    EXPECT_EQ(_lastError, 5);
    SetLastError(0);
    EXPECT_EQ(GetLastError(), 0);
}

TEST(SockShims, PendingSocketErrorIsTakenOnce) {
    ResetErrors();
    EXPECT_EQ(WSASetLastError(104), 104);
    EXPECT_EQ(_lastWSA, 104);
    errno = EINTR;
    EXPECT_EQ(WSAGetLastError(), 104);
    EXPECT_EQ(_lastWSA, 0);
    errno = EINTR;
    EXPECT_EQ(WSAGetLastError(), EINTR);
    errno = 0;
    EXPECT_EQ(WSAGetLastError(), 0);
    // 0 means none pending.
    EXPECT_EQ(WSASetLastError(0), 0);
    errno = EAGAIN;
    EXPECT_EQ(WSAGetLastError(), EAGAIN);
}

// --- bounded strings ------------------------------------------------------

TEST(SockShims, StringCbCopyACuts) {
    char buf[8];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(StringCbCopyA(buf, 4, "abcdef"), 0);
    EXPECT_EQ(std::string(buf, 5), std::string("abc\0x", 5));

    // A short text: the last byte of the size is cleared as well.
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(StringCbCopyA(buf, 7, "ab"), 0);
    EXPECT_EQ(std::string(buf, 8), std::string("ab\0xxx\0x", 8));

    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(StringCbCopyA(buf, 1, "abc"), 0);
    EXPECT_EQ(std::string(buf, 2), std::string("\0x", 2));
}

TEST(SockShims, StringCbCopyARefusesBadArguments) {
    char buf[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(StringCbCopyA(buf, 0, "abc"), 0);
    EXPECT_EQ(StringCbCopyA(buf, -5, "abc"), 0);
    EXPECT_EQ(StringCbCopyA(buf, INT_MIN, "abc"), 0);
    EXPECT_EQ(std::string(buf, 4), "xxxx");
    EXPECT_EQ(StringCbCopyA(nullptr, 4, "abc"), 0);
    EXPECT_EQ(StringCbCopyA(buf, 4, nullptr), 0);
    EXPECT_EQ(buf[0], '\0');
}

TEST(SockShims, StringCbPrintfACuts) {
    char buf[10];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(StringCbPrintfA(buf, 8, "%u.%u.%u.%u", 192u, 168u, 100u, 200u), 0);
    EXPECT_EQ(std::string(buf, 9), std::string("192.168\0x", 9));

    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(StringCbPrintfA(buf, 9, "%d-%s", 7, "ab"), 0);
    EXPECT_EQ(std::string(buf, 10), std::string("7-ab\0xxx\0x", 10));

    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(StringCbPrintfA(buf, 1, "%d", 12345), 0);
    EXPECT_EQ(std::string(buf, 2), std::string("\0x", 2));
}

TEST(SockShims, StringCbPrintfARefusesBadArguments) {
    char buf[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(StringCbPrintfA(buf, 0, "%d", 1), 0);
    EXPECT_EQ(StringCbPrintfA(buf, -1, "%d", 1), 0);
    EXPECT_EQ(std::string(buf, 4), "xxxx");
    EXPECT_EQ(StringCbPrintfA(nullptr, 4, "%d", 1), 0);
}

TEST(SockShims, StringCbLengthAIgnoresMax) {
    unsigned int len = 99;
    EXPECT_EQ(StringCbLengthA("abcdef", 2, &len), 0);
    EXPECT_EQ(len, 6u);
    EXPECT_EQ(StringCbLengthA("", 10, &len), 0);
    EXPECT_EQ(len, 0u);
    len = 99;
    EXPECT_EQ(StringCbLengthA(nullptr, 10, &len), 0);
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(StringCbLengthA("abc", 10, nullptr), 0);
}

TEST(SockShims, InterlockedExchangeSwaps) {
    long value = 7;
    EXPECT_EQ(InterlockedExchange(&value, -1), 7);
    EXPECT_EQ(value, -1);
    EXPECT_EQ(InterlockedExchange(&value, LONG_MAX), -1);
    EXPECT_EQ(value, LONG_MAX);
    EXPECT_EQ(InterlockedExchange(nullptr, 3), 0);
}

TEST(SockShims, ClosesocketClosesOnlyItsDescriptor) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    EXPECT_EQ(closesocket(fds[0]), 0);
    EXPECT_FALSE(socktest::FdOpen(fds[0]));
    EXPECT_EQ(closesocket(fds[0]), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(closesocket(-1), -1);
    if (sizeof(long) > sizeof(int)) {
        // A socket value beyond the int range is not cut down to fds[1].
        const long wide = static_cast<long>((1ULL << 32) + static_cast<unsigned>(fds[1]));
        EXPECT_EQ(closesocket(wide), -1);
        EXPECT_TRUE(socktest::FdOpen(fds[1]));
    }
    close(fds[1]);
}

// --- address statics ------------------------------------------------------

TEST(SockStatics, AddressClasses) {
    struct Case {
        const char* addr;
        bool unicast;
        bool multicast;
    } cases[] = {
        {"10.0.0.1", true, false},        {"1.0.0.0", true, false},
        {"127.0.0.1", true, false},       {"223.255.255.255", true, false},
        {"224.0.0.1", false, true},       {"224.0.0.0", false, true},
        {"239.255.255.250", false, true}, {"239.255.255.255", false, true},
        {"240.0.0.1", false, false},      {"0.0.0.0", false, false},
        {"0.255.255.255", false, false},  {"255.255.255.255", false, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CSocketHandle::IsUnicastIP(NetOrder(c.addr)), c.unicast) << c.addr;
        EXPECT_EQ(CSocketHandle::IsMulticastIP(NetOrder(c.addr)), c.multicast) << c.addr;
    }
}

TEST(SockStatics, FormatIP) {
    char buf[16];
    EXPECT_TRUE(CSocketHandle::FormatIP(buf, sizeof buf, 0x0A000001UL, true));
    EXPECT_STREQ(buf, "10.0.0.1");
    EXPECT_TRUE(CSocketHandle::FormatIP(buf, sizeof buf, NetOrder("192.168.100.200"), false));
    EXPECT_STREQ(buf, "192.168.100.200");
    EXPECT_TRUE(CSocketHandle::FormatIP(buf, sizeof buf, 0xFFFFFFFFUL, true));
    EXPECT_STREQ(buf, "255.255.255.255");

    // Too small: cut, still reported as done.
    std::memset(buf, 'x', sizeof buf);
    EXPECT_TRUE(CSocketHandle::FormatIP(buf, 8, 0xC0A864C8UL, true));
    EXPECT_EQ(std::string(buf, 9), std::string("192.168\0x", 9));

    EXPECT_FALSE(CSocketHandle::FormatIP(nullptr, 16, 0x0A000001UL, true));
    std::memset(buf, 'x', sizeof buf);
    EXPECT_FALSE(CSocketHandle::FormatIP(buf, 0, 0x0A000001UL, true));
    EXPECT_EQ(buf[0], 'x');
}

TEST(SockStatics, PortNumbers) {
    EXPECT_EQ(CSocketHandle::GetPortNumber("8080"), 8080);
    EXPECT_EQ(CSocketHandle::GetPortNumber("70000"), 4464);  // cut to 16 bits
    EXPECT_EQ(CSocketHandle::GetPortNumber("0"), 0);
    EXPECT_EQ(CSocketHandle::GetPortNumber("65535"), 65535);
    EXPECT_EQ(CSocketHandle::GetPortNumber("502abc"), 502);
    EXPECT_EQ(CSocketHandle::GetPortNumber("99999999999999999999"), 0xFFFF);
    EXPECT_EQ(CSocketHandle::GetPortNumber(nullptr), 0);
    EXPECT_EQ(CSocketHandle::GetPortNumber(""), 0);
    EXPECT_EQ(CSocketHandle::GetPortNumber("kqser-unlisted-service"), 0);
    // A name the services database lists (with no protocol given).
    if (getservbyname("http", nullptr) != nullptr) {
        EXPECT_EQ(CSocketHandle::GetPortNumber("http"), 80);
    }
    if (getservbyname("http-alt", nullptr) != nullptr) {
        EXPECT_EQ(CSocketHandle::GetPortNumber("http-alt"), 8080);
    }
}

TEST(SockStatics, DottedAddressesNeedNoLookup) {
    const int before = socktest::LookupCount();
    EXPECT_EQ(CSocketHandle::GetIPAddress("255.255.255.255"), 0xFFFFFFFFUL);
    EXPECT_EQ(CSocketHandle::GetIPAddress("127.0.0.1"), 0x7F000001UL);
    EXPECT_EQ(CSocketHandle::GetIPAddress("10.0.0.1"), 0x0A000001UL);
    EXPECT_EQ(CSocketHandle::GetIPAddress("0.0.0.0"), 0UL);
    EXPECT_EQ(socktest::LookupCount(), before);
}

// --- name look-ups ----------------------------------------------------------

TEST(SockLookup, LocalhostFromTheHostsFile) {
    std::string address;
    if (!socktest::HostsEntry("localhost", nullptr, &address)) {
        GTEST_SKIP() << "/etc/hosts does not list localhost";
    }
    const int before = socktest::LookupCount();
    EXPECT_EQ(CSocketHandle::GetIPAddress("localhost"), ntohl(inet_addr(address.c_str())));
    EXPECT_EQ(socktest::LookupCount(), before + 1);
    SockAddrIn a;
    EXPECT_TRUE(a.CreateFrom("localhost", "502", AF_INET));
    EXPECT_EQ(a.sin_addr.s_addr, inet_addr(address.c_str()));
}

TEST(SockLookup, UnresolvableNames) {
    EXPECT_CHILD_OK(socktest::RunInChild(
        [] {
            Checks c;
            c.Equal(CSocketHandle::GetIPAddress("kqser-no-such-host.invalid"), 0xFFFFFFFFUL,
                    "unresolvable name");
            c.Equal(CSocketHandle::GetIPAddress("256.1.1.1"), 0xFFFFFFFFUL, "bad dotted text");
            SockAddrIn a;
            c.Expect(a.CreateFrom("kqser-no-such-host.invalid", "80", AF_INET),
                     "CreateFrom of an unresolvable name is not null");
            c.Equal(a.sin_addr.s_addr, 0xFFFFFFFFu, "address 255.255.255.255");
            return c.Failures();
        },
        socktest::Net::Private));
}

// The local name as the library should report it: the official name of
// this machine's host name, where /etc/hosts or the namespace answers.
std::string ExpectedLocalName() {
    std::string official;
    return socktest::HostsEntry(socktest::HostName(), &official, nullptr) ? official
                                                                          : socktest::HostName();
}

TEST(SockLookup, LocalNameFitsOnlyWithItsTerminator) {
    EXPECT_CHILD_OK(socktest::RunWithLocalName([] {
        Checks c;
        char name[260] = {};
        c.Expect(CSocketHandle::GetLocalName(name, sizeof name), "GetLocalName");
        c.Equal(std::string(name), ExpectedLocalName(), "local name");
        const unsigned int len = static_cast<unsigned int>(std::strlen(name));
        c.Expect(len > 0, "local name not empty");

        char buf[262];
        std::memset(buf, 'x', sizeof buf);
        SetLastError(0);
        c.Expect(!CSocketHandle::GetLocalName(buf, len), "no room for the terminator");
        c.Equal(GetLastError(), 1000, "last error");
        c.Equal(std::string(buf, len + 1), std::string(len + 1, 'x'), "buffer untouched");

        SetLastError(0);
        c.Expect(CSocketHandle::GetLocalName(buf, len + 1), "exact room");
        c.Equal(std::string(buf, len + 2), std::string(name) + '\0' + 'x', "copied name");
        c.Equal(GetLastError(), 0, "no error stored");

        c.Expect(!CSocketHandle::GetLocalName(nullptr, 10), "null buffer");
        c.Equal(GetLastError(), 1001, "null buffer error");
        SetLastError(0);
        c.Expect(!CSocketHandle::GetLocalName(buf, 0), "size 0");
        c.Equal(GetLastError(), 1001, "size 0 error");
        return c.Failures();
    }));
}

TEST(SockLookup, LocalAddress) {
    EXPECT_CHILD_OK(socktest::RunWithLocalName([] {
        Checks c;
        std::string expected;
        if (!socktest::HostsEntry(socktest::HostName(), nullptr, &expected)) {
            // Unlisted name in a namespace without a resolver: no address.
            char buf[32];
            c.Expect(!CSocketHandle::GetLocalAddress(buf, sizeof buf), "no address");
            return c.Failures();
        }
        char buf[32];
        std::memset(buf, 'x', sizeof buf);
        c.Expect(CSocketHandle::GetLocalAddress(buf, sizeof buf), "GetLocalAddress");
        c.Equal(std::string(buf), expected, "local address");
        const unsigned int len = static_cast<unsigned int>(expected.size());
        SetLastError(0);
        std::memset(buf, 'x', sizeof buf);
        c.Expect(!CSocketHandle::GetLocalAddress(buf, len), "no room for the terminator");
        c.Equal(GetLastError(), 1000, "last error");
        c.Equal(buf[0], 'x', "buffer untouched");
        c.Expect(CSocketHandle::GetLocalAddress(buf, len + 1), "exact room");
        c.Equal(std::string(buf), expected, "copied address");
        SetLastError(0);
        c.Expect(!CSocketHandle::GetLocalAddress(nullptr, 16), "null buffer");
        c.Equal(GetLastError(), 1001, "null buffer error");

        // An empty host means this machine.
        const unsigned long host = ntohl(inet_addr(expected.c_str()));
        c.Equal(CSocketHandle::GetIPAddress(nullptr), host, "address of a null host");
        c.Equal(CSocketHandle::GetIPAddress(""), host, "address of an empty host");
        SockAddrIn a;
        c.Expect(a.CreateFrom(nullptr, "0", AF_INET), "CreateFrom the local host");
        c.Equal(ntohl(a.sin_addr.s_addr), host, "local host address");
        return c.Failures();
    }));
}

TEST(SockLookup, LibraryIsBehindTheResolverGuard) {
    // An unlisted name must fail here without reaching the resolver; this
    // also proves the library's look-ups go through the guard.
    const int before = socktest::LookupCount();
    EXPECT_EQ(CSocketHandle::GetIPAddress("kqser-not-in-hosts.invalid"), 0xFFFFFFFFUL);
    EXPECT_EQ(socktest::LookupCount(), before + 1);
}

}  // namespace
