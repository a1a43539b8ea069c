// SPDX-License-Identifier: MIT
// Network port: connect, read, write, purge and reconnect.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <climits>
#include <cstdio>

#include "HexDump.h"
#include "KqLog_p.h"
#include "NetUtil_p.h"
#include "PortCapture_p.h"
#include "PortExtras_p.h"
#include "SerNetHost_p.h"
#include "SerNet_p.h"
#include "Settings_p.h"
#include "SysNet_p.h"

namespace {

using kq::sys::OnSignal;

// What a network port keeps of kqser.conf between its calls.
struct NetExtras : kq::PortExtras {
    kq::NetOptions net;
};

constexpr long long kNsPerMs = 1000LL * 1000;
constexpr long long kConnectWaitNs = kq::kConnectWaitMs * kNsPerMs;
constexpr long long kPurgeWaitNs = 50LL * 1000;
// The longest Purge discards: a peer that never stops sending must not keep
// the host from its next request.
constexpr long long kPurgeBoundNs = 200 * kNsPerMs;
// The longest a send may block (0: no limit). A peer that keeps the
// connection but stops reading would otherwise hold a write for ever once
// the buffers are full.
constexpr int kSendTimeoutMs = 2000;

sockaddr_in PortAddr(in_addr host, int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port & 0xFFFF));
    addr.sin_addr = host;
    return addr;
}

// Sets an int option of a new socket; false, with the socket closed, when
// the option is refused.
bool SetFlagOrClose(int fd, int level, int name, int value) {
    if (kq::sys::SetOption(fd, level, name, &value, sizeof value).Ok()) {
        return true;
    }
    (void)kq::sys::Close(fd);
    return false;
}

// The options of a network port, kept beside it when a [net] section is in
// force: its capture started or changed, its send bound returned
// (send_timeout_ms); else nothing kept, and the bound is kSendTimeoutMs.
int NetOptionsFor(const CSerBase* port) {
    const kq::Config& config = kq::ActiveConfig();
    if (!config.empty() && config.AppliesToNet()) {
        NetExtras& extras = kq::ExtrasOf<NetExtras>::Renew(port);
        extras.net = config.Net();
        kq::UseCapture(&extras, extras.net.capture);
        return extras.net.sendTimeoutMs;
    }
    kq::DropExtras(port);
    return kSendTimeoutMs;
}

// A new socket for the mode, or -1 after the failure line, which a stream
// port also puts on standard output.
int MakeSocket(kq::NetMode mode) {
    const bool stream = mode == kq::NetMode::Stream;
    const int fd =
        static_cast<int>(kq::sys::Socket(AF_INET, stream ? SOCK_STREAM : SOCK_DGRAM).value);
    if (fd < 0) {
        KQ_LOG("CSerNet::Open ERROR: Failed to obtain Socket Descriptor!\n");
        if (stream) {
            KQ_PUTS("CSerNet::Open ERROR: Failed to obtain Socket Descriptor!");
        }
    }
    return fd;
}

// Bounds every send on fd; logs and returns false when the option is refused.
bool BoundSends(int fd, int timeoutMs) {
    const kq::sys::Result set = kq::sys::SetSendTimeout(fd, timeoutMs);
    if (!set.Ok()) {
        KQ_LOG("CSerNet::Open setsockopt err:%d!\n", set.error);
        return false;
    }
    return true;
}

// False when the mode cannot be set: a socket left blocking would connect
// without the waits' bound, one left non-blocking would fail the sends that
// should wait.
bool SetBlocking(int fd, bool blocking) {
    return kq::sys::SetNonBlocking(fd, !blocking, OnSignal::kReport).Ok();
}

// Closes the new socket of an Open that cannot set its mode.
int FailMode(int fd) {
    KQ_LOG("CSerNet::Open ERROR: Failed to set the socket's mode!\n");
    (void)kq::sys::Close(fd);
    return 0;
}

// One send call (sendto when to is given); signals do not stretch the
// socket's send time-out.
long SendOnce(int fd, const unsigned char* buf, int len, const sockaddr_in* to) {
    return kq::sys::Send(fd, buf, static_cast<size_t>(len), reinterpret_cast<const sockaddr*>(to),
                         to != nullptr ? sizeof *to : 0, OnSignal::kRetry)
        .value;
}

// Connects a fresh socket without blocking for more than three 5 s waits.
// True when the connection stands.
bool ConnectWaiting(int fd, const sockaddr_in& addr) {
    const sockaddr* to = reinterpret_cast<const sockaddr*>(&addr);
    int pending = -1;
    for (int i = 0; i < kq::kConnectWaits; ++i) {
        const kq::sys::Result ready =
            kq::sys::Wait(fd, POLLIN | POLLOUT, kConnectWaitNs, OnSignal::kRetry);
        if (ready.value < 0) {
            pending = -1;
            break;
        }
        if (ready.value == 0) {
            pending = -1;
            continue;
        }
        const kq::sys::Result r = kq::sys::Connect(fd, to, sizeof addr, OnSignal::kReport);
        if (r.Ok() || r.error == EISCONN) {
            pending = 0;
            break;
        }
        pending = r.error;
    }
    return pending == 0;
}

// Bytes a stream socket has queued to read, or -1 when not known.
long long QueuedBytes(int fd, kq::NetMode mode) {
    if (mode != kq::NetMode::Stream) {
        return -1;  // a datagram socket tells only the size of its next datagram
    }
    const kq::sys::Result queued = kq::sys::Queued(fd);
    return queued.value;
}

}  // namespace

int CSerNet::Open(const char* def) {
    UpdParams(def);
    kq::sys::ReleaseDescriptor(&m_nSocket);

    const kq::NetMode mode = kq::NetModeOf(m_szHost);
    const int sendTimeoutMs = NetOptionsFor(this);
    in_addr host{};
    if (mode != kq::NetMode::Broadcast &&
        (kq::HostWasCut(this, m_szHost) || !kq::NetHostAddr(m_szHost, &host))) {
        // Never aim a socket at an address the text does not name.
        KQ_LOG("CSerNet::Open ERROR: Bad host address %s!\n", m_szHost);
        return 0;
    }
    const sockaddr_in addr = PortAddr(host, m_nPort);

    const int fd = MakeSocket(mode);
    if (fd < 0) {
        return 0;
    }
    if (mode == kq::NetMode::Broadcast) {
        if (!SetFlagOrClose(fd, SOL_SOCKET, SO_BROADCAST, 1)) {
            KQ_LOG("CSerNet::Open ERROR: Failed to setsockopt!\n");
            return 0;
        }
        m_nSocket = fd;
        KQ_LOG("CSerNet::Open ok: %s!\n", m_szHost);
        return 1;
    }
    if (mode == kq::NetMode::Stream) {
        if (!SetFlagOrClose(fd, IPPROTO_TCP, TCP_NODELAY, 1)) {
            KQ_LOG("CSerNet::Open ERROR: Failed to setsockopt TCP_NODELAY!\n");
            return 0;
        }
        if (!SetFlagOrClose(fd, IPPROTO_IP, IP_TOS, IPTOS_LOWDELAY)) {
            KQ_LOG("CSerNet::Open ERROR: Failed to setsockopt IPTOS_LOWDELAY!\n");
            return 0;
        }
    }
    if (!BoundSends(fd, sendTimeoutMs)) {
        (void)kq::sys::Close(fd);
        return 0;
    }

    if (!SetBlocking(fd, false)) {
        return FailMode(fd);
    }
    const kq::sys::Result connected = kq::sys::Connect(fd, reinterpret_cast<const sockaddr*>(&addr),
                                                       sizeof addr, OnSignal::kReport);
    if (!connected.Ok()) {
        KQ_LOG("CSerNet::Open ERROR: Failed to connect to the host!\n");
        if (connected.error != EINPROGRESS || !ConnectWaiting(fd, addr)) {
            (void)kq::sys::Close(fd);
            return 0;
        }
    }
    if (!SetBlocking(fd, true)) {
        return FailMode(fd);
    }
    KQ_LOG("OK: Have connected to the %s\n", m_szHost);
    m_nSocket = fd;
    return 1;
}

int CSerNet::Close() {
    kq::sys::ReleaseDescriptor(&m_nSocket);
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
    // Discards what was queued when the purge began: one byte beyond it is
    // the peer's new traffic, and the time bound ends a datagram flood.
    const long long deadline = kq::sys::MonotonicNs() + kPurgeBoundNs;
    const long long queued = QueuedBytes(m_nSocket, kq::NetModeOf(m_szHost));
    long long discarded = 0;
    while (kq::sys::MonotonicNs() < deadline) {
        const kq::sys::Result ready =
            kq::sys::Wait(m_nSocket, POLLIN, kPurgeWaitNs, OnSignal::kRetry);
        if (ready.value < 0) {
            return 0;
        }
        if (ready.value == 0) {
            return 1;
        }
        KQ_LOG("...%s purge recv\r\n", GetNote());
        unsigned char byte = 0;
        const long got =
            kq::sys::Recv(m_nSocket, &byte, 1, MSG_DONTWAIT, nullptr, nullptr, OnSignal::kRetry)
                .value;
        KQ_LOG("...%s purge recv: %d %02x\r\n", GetNote(), static_cast<int>(got), byte);
        if (got == 0 || got == -1 || (queued >= 0 && ++discarded > queued)) {
            return 1;
        }
    }
    return 1;
}

int CSerNet::Read(unsigned char* buf, int len, int timeout) {
    if (m_nSocket < 0 || buf == nullptr || len < 0) {
        return -1;
    }
    // One record of every Read that reached the socket, whichever way it ended.
    const int result = [&]() -> int {
        const bool broadcast = kq::NetModeOf(m_szHost) == kq::NetMode::Broadcast;
        const int wait = kq::ReadWaitMs(m_nByteTimeout, m_nBaseTimeout, len, timeout);
        const size_t size = static_cast<size_t>(len);
        kq::sys::Result got;
        if (wait > 0) {
            const kq::sys::WaitedRecv r = kq::sys::WaitRecv(m_nSocket, buf, size, nullptr, nullptr,
                                                            wait * kNsPerMs, OnSignal::kRetry);
            if (r.wait.value < 0) {
                if (broadcast) {
                    return -1;
                }
                KQ_LOG("CSerNet::Read select err: %d\r\n", r.wait.error);
                Close();
                return -1;
            }
            if (r.wait.value == 0) {
                if (broadcast) {
                    return 0;
                }
                // select leaves no time on the clock when it times out.
                KQ_LOG(
                    "CSerNet::Read select timeout: "
                    "stTime.tv_sec=%d,stTime.tv_usec=%d,waittime=%d\r\n",
                    0, 0, wait);
                return -1;
            }
            got = r.recv;
        }

        KQ_PUTS("CSerNet::Read recv start:\r");
        if (wait <= 0) {
            got = kq::sys::Recv(m_nSocket, buf, size, 0, nullptr, nullptr, OnSignal::kRetry);
        }
        KQ_PUTS("CSerNet::Read recv end:\r");
        if (got.value < 0) {
            KQ_LOG("CSerNet::Read recv err: %d\r\n", got.error);
            Close();
            return -1;
        }
        const int count = static_cast<int>(got.value);
        KQ_LOG("CSerNet::Read recv: %d\r\n", count);
        KQ_LOG("RECV: %s\r\n", BufToHexStr(buf, count, 1));
        return count;
    }();
    kq::CaptureRead(this, buf, result);
    return result;
}

int CSerNet::Write(const unsigned char* buf, int len) {
    if (m_nSocket < 0 || buf == nullptr || len < 0) {
        return -1;
    }
    long sent = -1;
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
            // no address, or was cut, fails the write instead of sending
            // anywhere.
            in_addr host{};
            if (!kq::HostWasCut(this, m_szHost) && kq::NetHostAddr(m_szHost, &host)) {
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
    kq::CaptureWrite(this, buf, count);
    return count;
}

int CSerNet::IsConnDropped(unsigned long code) {
    KQ_PRINTF("net isdroped: %ld\r\n", static_cast<long>(code));
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
