// SPDX-License-Identifier: MIT
// Socket handle, socket address and the Windows-named shims.
#include "SocketHandle.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "KqLog_p.h"
#include "SysNet_p.h"
#include "TextUtil_p.h"

static_assert(sizeof(SockAddrIn) == 16, "SockAddrIn is exactly a sockaddr_in");

// First octets of the address classes. Unsigned so that 224 and 239 compare
// the same whatever the signedness of char.
static const unsigned char chMinClassA_IP = 1;
static const unsigned char chMinClassD_IP = 224;
static const unsigned char chMaxClassD_IP = 239;

// Room for a host name or a dotted address, with its terminator.
static const unsigned int kNameBufSize = 260;

static const unsigned long kInfinite = 0xFFFFFFFFUL;

// Codes of the last error that have no errno counterpart.
static const int kErrBusy = 5;
static const int kErrBufferTooSmall = 1000;
static const int kErrBadBuffer = 1001;

int _lastError = 0;
int _lastWSA = 0;

namespace {

// Sockets are longs; a value that is no int cannot be a descriptor and must
// not be cut down to one that happens to exist.
int ToFd(long socket) {
    const int fd = static_cast<int>(socket);
    return (fd >= 0 && static_cast<long>(fd) == socket) ? fd : -1;
}

int ClampInt(unsigned long value) {
    return value > static_cast<unsigned long>(INT_MAX) ? INT_MAX : static_cast<int>(value);
}

using kq::sys::OnSignal;

constexpr long long kNsPerMs = 1000LL * 1000;

// What select would count for one descriptor in a read set and an exception
// set, from the events of a wait that came back ready.
int ReadyCount(long events) {
    int count = 0;
    if (events & (POLLIN | POLLRDNORM | POLLRDBAND | POLLHUP | POLLERR)) {
        ++count;
    }
    if (events & POLLPRI) {
        ++count;
    }
    return count;
}

// Stores in the last error what WSAGetLastError gives right after a failed
// call: a pending socket error (once), else err, the call's errno.
void StoreError(int err) {
    errno = err;
    SetLastError(WSAGetLastError());
}

// One of the socket's own addresses (getsockname, getpeername) into addr.
bool NameOf(kq::sys::Result (*query)(int, sockaddr*, socklen_t*), int fd, SockAddrIn& addr) {
    socklen_t len = static_cast<socklen_t>(addr.Size());
    const kq::sys::Result r = query(fd, addr, &len);
    if (!r.Ok()) {
        StoreError(r.error);
        return false;
    }
    return true;
}

// Membership needs a datagram socket; anything else is refused with 92.
bool CheckDatagram(int fd) {
    int type = 0;
    socklen_t len = sizeof type;
    const kq::sys::Result r = kq::sys::GetOption(fd, SOL_SOCKET, SO_TYPE, &type, &len);
    if (!r.Ok()) {
        StoreError(r.error);
        return false;
    }
    if (type != SOCK_DGRAM) {
        // errno says nothing about a socket of the wrong type.
        WSASetLastError(ENOPROTOOPT);
        StoreError(ENOPROTOOPT);
        return false;
    }
    return true;
}

// Joins (or leaves) group on a datagram socket. Joining first sends through
// iface, refused with 92 when that fails, and with a time-to-live of 5.
bool Membership(int fd, const char* group, const char* iface, bool join) {
    if (!CheckDatagram(fd)) {
        return false;
    }
    ip_mreq request{};
    if (join) {
        request.imr_interface.s_addr =
            htonl(static_cast<uint32_t>(CSocketHandle::GetIPAddress(iface)));
        if (!kq::sys::SetOption(fd, IPPROTO_IP, IP_MULTICAST_IF, &request.imr_interface,
                                sizeof request.imr_interface)
                 .Ok()) {
            WSASetLastError(ENOPROTOOPT);
            StoreError(ENOPROTOOPT);
            return false;
        }
        const int ttl = 5;
        const kq::sys::Result r =
            kq::sys::SetOption(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
        if (!r.Ok()) {
            StoreError(r.error);
            return false;
        }
    }
    request.imr_multiaddr.s_addr = htonl(static_cast<uint32_t>(CSocketHandle::GetIPAddress(group)));
    if (!join) {
        request.imr_interface.s_addr =
            htonl(static_cast<uint32_t>(CSocketHandle::GetIPAddress(iface)));
    }
    const kq::sys::Result r = kq::sys::SetOption(
        fd, IPPROTO_IP, join ? IP_ADD_MEMBERSHIP : IP_DROP_MEMBERSHIP, &request, sizeof request);
    if (!r.Ok()) {
        StoreError(r.error);
        return false;
    }
    return true;
}

// First address of a resolver answer, in network byte order.
bool FirstAddress(const hostent* he, in_addr_t* addr) {
    if (he == nullptr || he->h_addrtype != AF_INET || he->h_length < 4 ||
        he->h_addr_list == nullptr || he->h_addr_list[0] == nullptr) {
        return false;
    }
    std::memcpy(addr, he->h_addr_list[0], sizeof *addr);
    return true;
}

unsigned char FirstOctet(unsigned long addr) {
    return static_cast<unsigned char>(ntohl(static_cast<uint32_t>(addr)) >> 24);
}

// Copies a text that must fit whole, terminator included.
bool CopyWhole(char* buf, unsigned int size, const char* text) {
    if (std::strlen(text) < size) {
        StringCbCopyA(buf, ClampInt(size), text);
        return true;
    }
    SetLastError(kErrBufferTooSmall);
    return false;
}

// The machine's host name into name, once the caller's buffer is checked
// (1001 for a null buffer or size 0).
bool HostNameFor(const char* buf, unsigned int size, char (&name)[kNameBufSize]) {
    if (buf == nullptr || size == 0) {
        SetLastError(kErrBadBuffer);
        return false;
    }
    return kq::sys::HostName(name, sizeof name - 1).Ok();
}

}  // namespace

// ---------------------------------------------------------------------------
// Shims

void SetLastError(int code) {
    _lastError = code;
}

int GetLastError() {
    return _lastError;
}

int WSASetLastError(int code) {
    _lastWSA = code;
    return _lastWSA;
}

int WSAGetLastError() {
    if (_lastWSA != 0) {
        const int code = _lastWSA;
        _lastWSA = 0;
        return code;
    }
    return errno;
}

int StringCbCopyA(char* dst, int size, const char* src) {
    if (dst == nullptr || size < 1) {
        return 0;
    }
    kq::CopyCut(dst, static_cast<size_t>(size), src, src != nullptr ? std::strlen(src) : 0);
    dst[size - 1] = '\0';
    return 0;
}

int StringCbLengthA(const char* s, int /*max*/, unsigned int* len) {
    if (len != nullptr) {
        *len = (s != nullptr) ? static_cast<unsigned int>(std::strlen(s)) : 0;
    }
    return 0;
}

int StringCbPrintfA(char* buf, int size, const char* fmt, ...) {
    if (buf == nullptr || size < 1) {
        return 0;
    }
    if (fmt == nullptr) {
        buf[0] = '\0';
    } else {
        va_list args;
        va_start(args, fmt);
        // The analyzer loses va_start here (it does not in a smaller unit).
        // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
        if (std::vsnprintf(buf, static_cast<size_t>(size), fmt, args) < 0) {
            buf[0] = '\0';
        }
        va_end(args);
    }
    buf[size - 1] = '\0';
    return 0;
}

long InterlockedExchange(long* target, long value) {
    if (target == nullptr) {
        return 0;
    }
    const long old = *target;
    *target = value;
    return old;
}

int closesocket(long socket) {
    const int fd = ToFd(socket);
    if (fd < 0) {
        errno = EBADF;
        return -1;
    }
    return static_cast<int>(kq::sys::Close(fd).value);
}

// ---------------------------------------------------------------------------
// SockAddrIn

SockAddrIn::SockAddrIn() : sockaddr_in() {
    Clear();
}

SockAddrIn::SockAddrIn(const SockAddrIn& other) : sockaddr_in(other) {
    Copy(other);
}

SockAddrIn::~SockAddrIn() = default;

void SockAddrIn::Clear() {
    std::memset(static_cast<sockaddr_in*>(this), 0, sizeof(sockaddr_in));
}

SockAddrIn& SockAddrIn::Copy(const SockAddrIn& other) {
    std::memmove(static_cast<sockaddr_in*>(this), static_cast<const sockaddr_in*>(&other),
                 static_cast<size_t>(Size()));
    return *this;
}

bool SockAddrIn::IsEqual(const SockAddrIn& other) const {
    return std::memcmp(static_cast<const sockaddr_in*>(this),
                       static_cast<const sockaddr_in*>(&other),
                       static_cast<size_t>(Size() - 8)) == 0;
}

bool SockAddrIn::IsNull() const {
    return sin_addr.s_addr == 0 && sin_port == 0;
}

int SockAddrIn::Size() const {
    return static_cast<int>(sizeof(sockaddr_in));
}

SockAddrIn::operator sockaddr*() {
    return reinterpret_cast<sockaddr*>(static_cast<sockaddr_in*>(this));
}

bool SockAddrIn::CreateFrom(const char* host, const char* service, int family) {
    Clear();
    sin_addr.s_addr = htonl(static_cast<uint32_t>(CSocketHandle::GetIPAddress(host)));
    sin_port = htons(CSocketHandle::GetPortNumber(service));
    sin_family = static_cast<sa_family_t>(family);
    return !IsNull();
}

bool SockAddrIn::CreateFrom(unsigned long addr, unsigned short port, int family, bool hostOrder) {
    Clear();
    if (hostOrder) {
        sin_addr.s_addr = htonl(static_cast<uint32_t>(addr));
        sin_port = htons(port);
    } else {
        sin_addr.s_addr = static_cast<in_addr_t>(addr);
        sin_port = port;
    }
    sin_family = static_cast<sa_family_t>(family);
    return !IsNull();
}

// ---------------------------------------------------------------------------
// CSocketHandle

CSocketHandle::CSocketHandle() : m_hSocket(-1) {}

CSocketHandle::~CSocketHandle() {
    Close();
}

bool CSocketHandle::IsOpen() const {
    return m_hSocket != -1;
}

long CSocketHandle::GetSocket() const {
    return m_hSocket;
}

int CSocketHandle::GetSocketType() const {
    if (!IsOpen()) {
        return -1;
    }
    int type = 0;
    socklen_t len = sizeof type;
    const kq::sys::Result r = kq::sys::GetOption(ToFd(m_hSocket), SOL_SOCKET, SO_TYPE, &type, &len);
    if (!r.Ok()) {
        StoreError(r.error);
        return -1;
    }
    return type;
}

bool CSocketHandle::Attach(long socket) {
    if (IsOpen()) {
        return false;
    }
    m_hSocket = socket;
    return true;
}

long CSocketHandle::Detach() {
    return InterlockedExchange(&m_hSocket, -1);
}

bool CSocketHandle::GetSockName(SockAddrIn& addr) const {
    return IsOpen() && NameOf(kq::sys::LocalName, ToFd(m_hSocket), addr);
}

bool CSocketHandle::GetPeerName(SockAddrIn& addr) const {
    return IsOpen() && NameOf(kq::sys::PeerName, ToFd(m_hSocket), addr);
}

void CSocketHandle::Close() {
    if (IsOpen()) {
        ShutdownConnection(InterlockedExchange(&m_hSocket, -1));
    }
}

bool CSocketHandle::AddMembership(const char* group, const char* iface) {
    return IsOpen() && Membership(ToFd(m_hSocket), group, iface, true);
}

bool CSocketHandle::DropMembership(const char* group, const char* iface) {
    return IsOpen() && Membership(ToFd(m_hSocket), group, iface, false);
}

bool CSocketHandle::CreateSocket(const char* localHost, const char* service, int family, int type,
                                 unsigned int options) {
    if (IsOpen()) {
        SetLastError(kErrBusy);
        return false;
    }
    if (family != AF_INET) {
        // The local address is built as IPv4 whatever the family: bound to
        // another family it would name something else (a file, for AF_UNIX).
        StoreError(EAFNOSUPPORT);
        return false;
    }
    const int fd = static_cast<int>(kq::sys::Socket(family, type).value);
    if (fd < 0) {
        return false;
    }
    // The option numbers serve as masks: SO_BROADCAST (6) also means reuse,
    // SO_REUSEADDR (2) on a datagram socket also means broadcast.
    const int on = 1;
    kq::sys::Result r;
    r.value = 0;
    if (options & SO_REUSEADDR) {
        r = kq::sys::SetOption(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    if (r.Ok() && type == SOCK_DGRAM && (options & SO_BROADCAST)) {
        r = kq::sys::SetOption(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    }
    if (r.Ok()) {
        SockAddrIn local;
        local.CreateFrom(localHost, service, family);
        r = kq::sys::Bind(fd, local, static_cast<socklen_t>(local.Size()));
    }
    if (r.Ok() && type == SOCK_STREAM) {
        r = kq::sys::Listen(fd, 128);
    }
    if (!r.Ok()) {
        StoreError(r.error);
        closesocket(fd);
        return false;
    }
    m_hSocket = fd;
    return true;
}

bool CSocketHandle::ConnectTo(const char* localHost, const char* remoteHost, const char* service,
                              int family, int type) {
    if (IsOpen()) {
        SetLastError(kErrBusy);
        return false;
    }
    const int fd = static_cast<int>(kq::sys::Socket(family, type).value);
    if (fd < 0) {
        return false;
    }
    SockAddrIn addr;
    if (!addr.CreateFrom(localHost, "0", family)) {
        // Nothing failed in a system call: give the refusal a code of its own
        // instead of whatever errno held.
        StoreError(EADDRNOTAVAIL);
        closesocket(fd);
        return false;
    }
    addr.CreateFrom(remoteHost, service, AF_INET);
    const kq::sys::Result connected =
        kq::sys::Connect(fd, addr, static_cast<socklen_t>(addr.Size()), OnSignal::kReport);
    if (!connected.Ok()) {
        StoreError(connected.error);
        closesocket(fd);
        return false;
    }
    timeval tv{};
    tv.tv_sec = 3;
    tv.tv_usec = 0;
    (void)kq::sys::SetOption(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    m_hSocket = fd;
    return true;
}

int CSocketHandle::Read(unsigned char* buf, unsigned long size, sockaddr* from,
                        unsigned long timeoutMs) {
    if (!IsOpen() || buf == nullptr || size == 0) {
        return -1;
    }
    const int fd = ToFd(m_hSocket);
    const size_t n = static_cast<size_t>(ClampInt(size));
    socklen_t fromLen = sizeof(sockaddr_in);
    socklen_t* fromLenArg = from != nullptr ? &fromLen : nullptr;
    // What errno held before: the log lines and the last error show it where
    // the calls succeeded, as errno after them would.
    const int before = errno;
    const auto errnoAfter = [before](const kq::sys::Result& r) {
        return r.Ok() ? before : r.error;
    };
    kq::sys::Result got;
    bool received = true;
    if (timeoutMs != 0 && timeoutMs != kInfinite) {
        // A signal does not end the wait: it goes on for what is left.
        const kq::sys::WaitedRecv r =
            kq::sys::WaitRecv(fd, buf, n, from, fromLenArg, timeoutMs * kNsPerMs, OnSignal::kRetry);
        const int ready =
            r.wait.value > 0 ? ReadyCount(r.wait.value) : static_cast<int>(r.wait.value);
        KQ_PRINTF("SocketHandle::Read select %d errno=%d\r\n", ready, errnoAfter(r.wait));
        if (ready < 0) {
            // A wait that fails means the connection is gone.
            KQ_PRINTF("SocketHandle::Read select err: %d\r\n", r.wait.error);
            WSASetLastError(ECONNRESET);
        }
        received = ready > 0;
        if (received) {
            got = r.recv;
        } else {
            got = r.wait;
        }
    } else {
        got = kq::sys::Recv(fd, buf, n, 0, from, fromLenArg, OnSignal::kReport);
    }
    const int err = errnoAfter(got);
    int res = static_cast<int>(got.value);
    if (received && res == 0) {
        KQ_PRINTF("Read0 connreset: %d\r\n", ECONNRESET);
        WSASetLastError(ECONNRESET);
        res = -1;
    }
    KQ_PRINTF("SocketHandle::Read res=%d/%ld errno=%d\r\n", res, static_cast<long>(size), err);
    if (res == -1) {
        SetLastError(err);
        KQ_PRINTF("SocketHandle::Read err lastErr=%d errno=%d\r\n", GetLastError(), err);
    }
    return res < 0 ? -1 : res;
}

int CSocketHandle::Write(unsigned char* buf, unsigned long size, sockaddr* to,
                         unsigned long timeoutMs) {
    if (!IsOpen() || buf == nullptr) {
        return -1;
    }
    const int fd = ToFd(m_hSocket);
    kq::sys::Result res;
    res.value = 1;
    if (timeoutMs != kInfinite) {
        res = kq::sys::Wait(fd, POLLOUT, timeoutMs * kNsPerMs, OnSignal::kReport);
    }
    if (res.value > 0) {
        const size_t n = static_cast<size_t>(ClampInt(size));
        res = kq::sys::Send(fd, buf, n, to, to != nullptr ? sizeof(sockaddr_in) : 0,
                            OnSignal::kReport);
    }
    if (res.value == -1) {
        StoreError(res.error);
    }
    return res.value < 0 ? -1 : static_cast<int>(res.value);
}

bool CSocketHandle::InitLibrary(unsigned short /*version*/) {
    return true;
}

bool CSocketHandle::ReleaseLibrary() {
    return true;
}

long CSocketHandle::WaitForConnection(long socket) {
    return kq::sys::Accept(ToFd(socket)).value;
}

bool CSocketHandle::ShutdownConnection(long socket) {
    (void)kq::sys::Shutdown(ToFd(socket), SHUT_RDWR);
    return closesocket(socket) == 0;
}

bool CSocketHandle::IsUnicastIP(unsigned long addr) {
    const unsigned char b = FirstOctet(addr);
    return b >= chMinClassA_IP && b < chMinClassD_IP;
}

bool CSocketHandle::IsMulticastIP(unsigned long addr) {
    const unsigned char b = FirstOctet(addr);
    return b >= chMinClassD_IP && b <= chMaxClassD_IP;
}

bool CSocketHandle::FormatIP(char* buf, unsigned int size, unsigned long addr, bool hostOrder) {
    if (buf == nullptr || size == 0) {
        return false;
    }
    uint32_t value = static_cast<uint32_t>(addr);
    if (hostOrder) {
        value = htonl(value);
    }
    unsigned char b[4];
    std::memcpy(b, &value, sizeof b);
    StringCbPrintfA(buf, ClampInt(size), "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return true;
}

unsigned short CSocketHandle::GetPortNumber(const char* service) {
    if (service == nullptr) {
        return 0;
    }
    if (std::isdigit(static_cast<unsigned char>(service[0]))) {
        return static_cast<unsigned short>(kq::ToInt(service));
    }
    const servent* se = getservbyname(service, nullptr);
    return se != nullptr ? ntohs(static_cast<uint16_t>(se->s_port)) : 0;
}

unsigned long CSocketHandle::GetIPAddress(const char* host) {
    char local[kNameBufSize] = {};
    if (host == nullptr || host[0] == '\0') {
        GetLocalName(local, sizeof local);
        host = local;
    }
    in_addr_t addr = inet_addr(host);
    // An empty name would be sent to the resolver as it is.
    if (addr == INADDR_NONE && std::strcmp(host, "255.255.255.255") != 0 && host[0] != '\0') {
        in_addr_t found;
        if (FirstAddress(gethostbyname(host), &found)) {
            addr = found;
        }
    }
    return ntohl(addr);
}

bool CSocketHandle::GetLocalName(char* buf, unsigned int size) {
    char name[kNameBufSize] = {};
    if (!HostNameFor(buf, size, name)) {
        return false;
    }
    const hostent* he = gethostbyname(name);
    if (he != nullptr && he->h_name != nullptr) {
        StringCbCopyA(name, sizeof name, he->h_name);
    }
    return CopyWhole(buf, size, name);
}

bool CSocketHandle::GetLocalAddress(char* buf, unsigned int size) {
    char name[kNameBufSize] = {};
    if (!HostNameFor(buf, size, name)) {
        return false;
    }
    in_addr_t addr;
    if (!FirstAddress(gethostbyname(name), &addr)) {
        return false;
    }
    unsigned char b[4];
    std::memcpy(b, &addr, sizeof b);
    char text[kNameBufSize];
    StringCbPrintfA(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return CopyWhole(buf, size, text);
}
