// Network port: connect, read, write, purge and reconnect.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <ctime>

#include "HexDump.h"
#include "KqLog_p.h"
#include "NetUtil_p.h"
#include "PortExtras_p.h"
#include "SerNet_p.h"
#include "Settings_p.h"

namespace {

constexpr int kConnectWaits = 3;
constexpr long long kConnectWaitNs = 5LL * 1000 * 1000 * 1000;
constexpr long long kPurgeWaitNs = 50LL * 1000;

long long NowNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

// Waits up to waitNs for any of events on fd, the way select waits on its
// sets (error and hang-up count as ready). poll, because descriptors above
// FD_SETSIZE must work; a signal does not cut the wait short. Returns 1 when
// ready, 0 on time-out, -1 with errno set on failure.
int WaitFd(int fd, short events, long long waitNs) {
    const long long deadline = NowNs() + waitNs;
    pollfd pfd{fd, events, 0};
    for (;;) {
        long long left = deadline - NowNs();
        if (left < 0) {
            left = 0;
        }
        const timespec ts{static_cast<time_t>(left / 1000000000LL),
                          static_cast<long>(left % 1000000000LL)};
        const int rc = ppoll(&pfd, 1, &ts, nullptr);
        if (rc < 0 && errno == EINTR) {
            continue;
        }
        if (rc > 0 && (pfd.revents & POLLNVAL) != 0) {
            errno = EBADF;
            return -1;
        }
        return rc > 0 ? 1 : rc;
    }
}

sockaddr_in PortAddr(in_addr host, int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port & 0xFFFF));
    addr.sin_addr = host;
    return addr;
}

int SetFlag(int fd, int level, int name, int value) {
    return setsockopt(fd, level, name, &value, sizeof value);
}

// The longest a send blocks unless kqser.conf says otherwise.
constexpr int kSendTimeoutMs = 2000;

// The send bound of a network port: [net] send_timeout_ms when a [net]
// section is in force (kept beside the port), else 2 s.
int SendTimeoutMs(const void* port) {
    const kq::Config& config = kq::ActiveConfig();
    if (!config.empty() && config.AppliesToNet()) {
        kq::PortExtras& extras = kq::ExtrasFor(port);
        extras.net = config.Net();
        return extras.net.sendTimeoutMs;
    }
    kq::DropExtras(port);
    return kSendTimeoutMs;
}

// Bounds every send at ms (0: no bound); logs and returns false when the
// option is refused.
bool SetSendTimeout(int fd, int ms) {
    const timeval sendTimeout{static_cast<time_t>(ms / 1000),
                              static_cast<suseconds_t>(ms % 1000 * 1000)};
    if (setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout) != 0) {
        const int err = errno;
        KQ_LOG("CSerNet::Open setsockopt err:%d!\n", err);
        return false;
    }
    return true;
}

void SetBlocking(int fd, bool blocking) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) {
        fcntl(fd, F_SETFL, blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK));
    }
}

// One send call (sendto when to is given). MSG_NOSIGNAL: a peer's reset must
// fail the write, not kill the host.
ssize_t SendOnce(int fd, const unsigned char* buf, int len, const sockaddr_in* to) {
    ssize_t sent;
    do {
        sent = to != nullptr ? sendto(fd, buf, static_cast<size_t>(len), MSG_NOSIGNAL,
                                      reinterpret_cast<const sockaddr*>(to), sizeof *to)
                             : send(fd, buf, static_cast<size_t>(len), MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return sent;
}

// Connects a fresh socket without blocking for more than three 5 s waits.
// True when the connection stands.
bool ConnectWaiting(int fd, const sockaddr_in& addr) {
    const sockaddr* to = reinterpret_cast<const sockaddr*>(&addr);
    int pending = -1;
    for (int i = 0; i < kConnectWaits; ++i) {
        const int rc = WaitFd(fd, POLLIN | POLLOUT, kConnectWaitNs);
        if (rc < 0) {
            pending = -1;
            break;
        }
        if (rc == 0) {
            pending = -1;
            continue;
        }
        if (connect(fd, to, sizeof addr) == 0 || errno == EISCONN) {
            pending = 0;
            break;
        }
        pending = errno;
    }
    return pending == 0;
}

}  // namespace

int CSerNet::Open(const char* def) {
    UpdParams(def);
    if (m_nSocket >= 0) {
        ::close(m_nSocket);
        m_nSocket = -1;
    }

    const kq::NetMode mode = kq::NetModeOf(m_szHost);
    const int sendTimeoutMs = SendTimeoutMs(this);
    in_addr host{};
    if (mode != kq::NetMode::Broadcast && !kq::NetHostAddr(m_szHost, &host)) {
        // Never aim a socket at an address the text does not name.
        KQ_LOG("CSerNet::Open ERROR: Bad host address %s!\n", m_szHost);
        return 0;
    }
    const sockaddr_in addr = PortAddr(host, m_nPort);

    if (mode == kq::NetMode::Broadcast) {
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            KQ_LOG("CSerNet::Open ERROR: Failed to obtain Socket Descriptor!\n");
            return 0;
        }
        if (SetFlag(fd, SOL_SOCKET, SO_BROADCAST, 1) != 0) {
            KQ_LOG("CSerNet::Open ERROR: Failed to setsockopt!\n");
            ::close(fd);
            return 0;
        }
        m_nSocket = fd;
        KQ_LOG("CSerNet::Open ok: %s!\n", m_szHost);
        return 1;
    }

    int fd;
    if (mode == kq::NetMode::Datagram) {
        fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            KQ_LOG("CSerNet::Open ERROR: Failed to obtain Socket Descriptor!\n");
            return 0;
        }
        if (!SetSendTimeout(fd, sendTimeoutMs)) {
            ::close(fd);
            return 0;
        }
    } else {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            KQ_LOG("CSerNet::Open ERROR: Failed to obtain Socket Descriptor!\n");
            std::puts("CSerNet::Open ERROR: Failed to obtain Socket Descriptor!");
            return 0;
        }
        if (SetFlag(fd, IPPROTO_TCP, TCP_NODELAY, 1) != 0) {
            KQ_LOG("CSerNet::Open ERROR: Failed to setsockopt TCP_NODELAY!\n");
            ::close(fd);
            return 0;
        }
        if (SetFlag(fd, IPPROTO_IP, IP_TOS, IPTOS_LOWDELAY) != 0) {
            KQ_LOG("CSerNet::Open ERROR: Failed to setsockopt IPTOS_LOWDELAY!\n");
            ::close(fd);
            return 0;
        }
        // A peer that keeps the connection but stops reading would hold a
        // write for ever once the buffers are full; bound it as for UDP.
        if (!SetSendTimeout(fd, sendTimeoutMs)) {
            ::close(fd);
            return 0;
        }
    }

    SetBlocking(fd, false);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        const int err = errno;
        KQ_LOG("CSerNet::Open ERROR: Failed to connect to the host!\n");
        if (err != EINPROGRESS || !ConnectWaiting(fd, addr)) {
            ::close(fd);
            return 0;
        }
    }
    KQ_LOG("OK: Have connected to the %s\n", m_szHost);
    m_nSocket = fd;
    SetBlocking(fd, true);
    return 1;
}

int CSerNet::Close() {
    if (m_nSocket >= 0) {
        ::close(m_nSocket);
    }
    m_nSocket = -1;
    return 1;
}

int CSerNet::IsOpened() {
    if (m_nSocket >= 0) {
        return 1;
    }
    ++m_nReconnectCount;
    if (m_nReconnectCount < m_nReconnectInterval) {
        return 0;
    }
    m_nReconnectCount = 0;
    return Open(nullptr);
}

int CSerNet::Purge() {
    if (m_nSocket < 0) {
        return 0;
    }
    for (;;) {
        const int rc = WaitFd(m_nSocket, POLLIN, kPurgeWaitNs);
        if (rc < 0) {
            return 0;
        }
        if (rc == 0) {
            return 1;
        }
        KQ_LOG("...%s purge recv\r\n", GetNote());
        unsigned char byte = 0;
        ssize_t got;
        do {
            got = recv(m_nSocket, &byte, 1, 0);
        } while (got < 0 && errno == EINTR);
        KQ_LOG("...%s purge recv: %d %02x\r\n", GetNote(), static_cast<int>(got), byte);
        if (got == 0 || got == -1) {
            return 1;
        }
    }
}

int CSerNet::Read(unsigned char* buf, int len, int timeout) {
    if (m_nSocket < 0 || buf == nullptr || len < 0) {
        return -1;
    }
    const bool broadcast = kq::NetModeOf(m_szHost) == kq::NetMode::Broadcast;
    const int wait = kq::ReadWaitMs(m_nByteTimeout, m_nBaseTimeout, len, timeout);
    if (wait > 0) {
        const int rc = WaitFd(m_nSocket, POLLIN | POLLPRI, wait * 1000000LL);
        if (rc < 0) {
            if (broadcast) {
                return rc;
            }
            const int err = errno;
            KQ_LOG("CSerNet::Read select err: %d\r\n", err);
            Close();
            return -1;
        }
        if (rc == 0) {
            if (broadcast) {
                return 0;
            }
            // select leaves no time on the clock when it times out.
            KQ_LOG(
                "CSerNet::Read select timeout: stTime.tv_sec=%d,stTime.tv_usec=%d,waittime=%d\r\n",
                0, 0, wait);
            return -1;
        }
    }

    std::puts("CSerNet::Read recv start:\r");
    ssize_t got;
    do {
        got = recv(m_nSocket, buf, static_cast<size_t>(len), 0);
    } while (got < 0 && errno == EINTR);
    const int err = errno;
    std::puts("CSerNet::Read recv end:\r");
    if (got < 0) {
        KQ_LOG("CSerNet::Read recv err: %d\r\n", err);
        Close();
        return -1;
    }
    const int count = static_cast<int>(got);
    KQ_LOG("CSerNet::Read recv: %d\r\n", count);
    KQ_LOG("RECV: %s\r\n", BufToHexStr(buf, count, 1));
    return count;
}

int CSerNet::Write(const unsigned char* buf, int len) {
    if (m_nSocket < 0 || buf == nullptr || len < 0) {
        return -1;
    }
    ssize_t sent = -1;
    switch (kq::NetModeOf(m_szHost)) {
        case kq::NetMode::Broadcast: {
            in_addr all{};
            all.s_addr = htonl(INADDR_BROADCAST);
            const sockaddr_in to = PortAddr(all, m_nPort);
            sent = SendOnce(m_nSocket, buf, len, &to);
            break;
        }
        case kq::NetMode::Datagram: {
            // The host text may have changed since Open; a text that names
            // no address fails the write instead of sending anywhere.
            in_addr host{};
            if (kq::NetHostAddr(m_szHost, &host)) {
                const sockaddr_in to = PortAddr(host, m_nPort);
                sent = SendOnce(m_nSocket, buf, len, &to);
            }
            break;
        }
        case kq::NetMode::Stream: sent = SendOnce(m_nSocket, buf, len, nullptr); break;
    }
    const int count = sent < 0 ? -1 : static_cast<int>(sent);
    if (count < 0) {
        KQ_LOG("ERROR: Failed to sent string.\n");
        Close();
    }
    KQ_LOG("SEND: %s\r\n", BufToHexStr(buf, count, 1));
    return count;
}

int CSerNet::IsConnDropped(unsigned long code) {
    std::printf("net isdroped: %ld\r\n", static_cast<long>(code));
    switch (kq::ClassifyNetError(code)) {
        case kq::NetErrorClass::WouldBlock:
            if (m_nWouldBlockCount < INT_MAX) {
                ++m_nWouldBlockCount;
            }
            return m_nWouldBlockCount > 2 ? 1 : 0;
        case kq::NetErrorClass::Dropped:
            KQ_LOG("...%s conn dropped: %d\r\n", GetNote(), static_cast<int>(code));
            return 1;
        case kq::NetErrorClass::Other: return 0;
    }
    return 0;
}
