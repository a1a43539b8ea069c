// SPDX-License-Identifier: MIT
// Network peers for the network port's tests: TCP and UDP sockets on
// 127.0.0.1, and a private network namespace for traffic that must never
// leave the test (broadcasts, hosts that do not answer).
#ifndef KQTEST_LOOPBACK_H
#define KQTEST_LOOPBACK_H

#include <netinet/in.h>

#include <string>

#include "Process.h"

namespace kqtest {

// A TCP socket bound to 127.0.0.1:port (0: the system picks one). Listening,
// or only bound, so that every connect to it is refused.
class TcpListener {
public:
    explicit TcpListener(int port = 0, bool listening = true);
    ~TcpListener();
    TcpListener(const TcpListener&) = delete;
    TcpListener& operator=(const TcpListener&) = delete;

    bool ok() const { return fd_ >= 0; }
    int port() const { return port_; }
    // A connection accepted within timeoutMs (the caller closes it), or -1.
    int Accept(int timeoutMs);
    void Close();

private:
    int fd_ = -1;
    int port_ = 0;
};

// A UDP socket bound to addr:port (port 0: the system picks one).
class UdpPeer {
public:
    explicit UdpPeer(const char* addr = "127.0.0.1", int port = 0);
    ~UdpPeer();
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    int port() const { return port_; }
    bool SendTo(const sockaddr_in& to, const std::string& bytes);
    // One datagram within timeoutMs; false on silence. from, when given,
    // receives the sender's address.
    bool Recv(std::string* bytes, int timeoutMs, sockaddr_in* from = nullptr);
    void Close();

private:
    int fd_ = -1;
    int port_ = 0;
};

sockaddr_in Ipv4Addr(const char* addr, int port);

bool SendAll(int fd, const std::string& bytes);
// Reads until n bytes came, the peer ended the stream or timeoutMs passed.
std::string RecvUpTo(int fd, size_t n, int timeoutMs);
// True when fd has something to read (data, end of stream or an error).
bool WaitReadable(int fd, int timeoutMs);
// True when the peer ended the stream within timeoutMs.
bool PeerEnded(int fd, int timeoutMs);
// Closes with SO_LINGER 0: the peer gets a reset instead of an end of stream.
void ResetClose(int fd);

// Moves the calling thread into a network namespace of its own, with lo up
// and a veth pair va/vb: 192.0.2.1/24 on va, the default route via
// 192.0.2.254, and 192.0.2.2 a neighbour on va that never answers. The
// destructor moves the thread back. Where namespaces or veth links are not
// permitted, ok() is false and why() says what failed.
class PrivateNet {
public:
    PrivateNet();
    ~PrivateNet();
    PrivateNet(const PrivateNet&) = delete;
    PrivateNet& operator=(const PrivateNet&) = delete;

    bool ok() const { return ok_; }
    const std::string& why() const { return why_; }

private:
    int home_ = -1;
    bool entered_ = false;
    bool ok_ = false;
    std::string why_;
};

}  // namespace kqtest

#endif
