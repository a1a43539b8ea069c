// SPDX-License-Identifier: MIT
#include "SysNet_p.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "SysCall_p.h"

namespace kq {
namespace sys {

namespace {

bool WouldBlock(const Result& r) {
    return r.value < 0 && (r.error == EAGAIN || r.error == EWOULDBLOCK);
}

long long SendTimeoutNs(int fd) {
    timeval tv{};
    socklen_t len = sizeof tv;
    if (!GetOption(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, &len).Ok()) {
        return 0;
    }
    return static_cast<long long>(tv.tv_sec) * kNsPerSec +
           static_cast<long long>(tv.tv_usec) * 1000;
}

// A zero timeval means no limit: what is left is rounded up to 1 us.
bool SetSendTimeoutNs(int fd, long long ns) {
    const long long us = ns <= 0 ? 0 : (ns + 999) / 1000;
    const timeval tv{static_cast<time_t>(us / 1000000), static_cast<suseconds_t>(us % 1000000)};
    return SetOption(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv).Ok();
}

inline Result SendOnce(int fd, const void* buf, size_t len, const sockaddr* to, socklen_t toLen) {
    return From(to != nullptr ? ::sendto(fd, buf, len, MSG_NOSIGNAL, to, toLen)
                              : ::send(fd, buf, len, MSG_NOSIGNAL));
}

// A send a signal cut short, made again within what is left of the socket's
// send time-out, counted from start.
__attribute__((noinline)) Result SendAgain(int fd, const void* buf, size_t len, const sockaddr* to,
                                           socklen_t toLen, long long start) {
    const long long boundNs = SendTimeoutNs(fd);
    bool shortened = false;
    Result r;
    for (;;) {
        if (boundNs != 0) {
            // The socket's time-out starts again with every call: give the
            // next one only what is left.
            const long long left = start + boundNs - MonotonicNs();
            if (left <= 0) {
                r = Failed(EAGAIN);  // what the time-out itself reports
                break;
            }
            shortened = SetSendTimeoutNs(fd, left) || shortened;
        }
        r = SendOnce(fd, buf, len, to, toLen);
        if (r.error != EINTR) {
            break;
        }
    }
    if (shortened) {
        SetSendTimeoutNs(fd, boundNs);
    }
    return r;
}

inline Result RecvOnce(int fd, void* buf, size_t len, int flags, sockaddr* from,
                       socklen_t* fromLen) {
    return From(from != nullptr ? ::recvfrom(fd, buf, len, flags, from, fromLen)
                                : ::recv(fd, buf, len, flags));
}

// Takes off the urgent byte that alone woke a wait; false when that fails.
__attribute__((noinline)) bool TakeUrgent(int fd, OnSignal onSignal) {
    unsigned char urgent = 0;
    return Recv(fd, &urgent, 1, MSG_OOB | MSG_DONTWAIT, nullptr, nullptr, onSignal).Ok();
}

}  // namespace

Result Socket(int family, int type) {
    return OffStandardStreams(From(::socket(family, type | SOCK_CLOEXEC, 0)));
}

Result Connect(int fd, const sockaddr* addr, socklen_t len, OnSignal onSignal) {
    return Once(onSignal, [&] { return ::connect(fd, addr, len); });
}

Result Bind(int fd, const sockaddr* addr, socklen_t len) {
    return From(::bind(fd, addr, len));
}

Result SetOption(int fd, int level, int name, const void* value, socklen_t len) {
    return From(::setsockopt(fd, level, name, value, len));
}

Result GetOption(int fd, int level, int name, void* value, socklen_t* len) {
    return From(::getsockopt(fd, level, name, value, len));
}

Result Shutdown(int fd, int how) {
    return From(::shutdown(fd, how));
}

Result Listen(int fd, int backlog) {
    return From(::listen(fd, backlog));
}

Result Accept(int fd) {
    return OffStandardStreams(From(::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC)));
}

Result LocalName(int fd, sockaddr* addr, socklen_t* len) {
    return From(::getsockname(fd, addr, len));
}

Result PeerName(int fd, sockaddr* addr, socklen_t* len) {
    return From(::getpeername(fd, addr, len));
}

Result HostName(char* name, size_t size) {
    return From(::gethostname(name, size));
}

Result Recv(int fd, void* buf, size_t len, int flags, sockaddr* from, socklen_t* fromLen,
            OnSignal onSignal) {
    return Once(onSignal, [&] { return RecvOnce(fd, buf, len, flags, from, fromLen).value; });
}

WaitedRecv WaitRecv(int fd, void* buf, size_t len, sockaddr* from, socklen_t* fromLen,
                    long long waitNs, OnSignal onSignal) {
    const long long deadline = MonotonicNs() + waitNs;
    short events = POLLIN | POLLPRI;
    for (long long left = waitNs;; left = deadline - MonotonicNs()) {
        const Result wait = WaitWithin(fd, events, left > 0 ? left : 0, deadline, onSignal);
        if (wait.value <= 0) {
            return {wait, Failed(wait.error)};
        }
        if ((wait.value & ~POLLPRI) == 0) {
            // Urgent data alone: a plain receive would block. Taking the byte
            // off ends the urgent state; should that fail, wait for data only.
            if (!TakeUrgent(fd, onSignal)) {
                events = POLLIN;
            }
            continue;
        }
        Result got = RecvOnce(fd, buf, len, MSG_DONTWAIT, from, fromLen);
        if (got.error == EINTR && onSignal == OnSignal::kRetry) {
            got = Recv(fd, buf, len, MSG_DONTWAIT, from, fromLen, onSignal);
        }
        if (!WouldBlock(got)) {
            return {wait, got};
        }
        if (MonotonicNs() >= deadline) {
            Result none;
            none.value = 0;
            return {none, Failed(0)};  // ready all along, yet nothing came
        }
    }
}

Result Send(int fd, const void* buf, size_t len, const sockaddr* to, socklen_t toLen,
            OnSignal onSignal) {
    const long long start = onSignal == OnSignal::kRetry ? MonotonicNs() : 0;
    const Result r = SendOnce(fd, buf, len, to, toLen);
    return r.error != EINTR || onSignal != OnSignal::kRetry
               ? r
               : SendAgain(fd, buf, len, to, toLen, start);
}

Result SendNow(int fd, const void* buf, size_t size) {
    return Retried([&] { return ::send(fd, buf, size, MSG_DONTWAIT | MSG_NOSIGNAL); });
}

Result Queued(int fd) {
    int n = 0;
    const Result r = From(::ioctl(fd, FIONREAD, &n));
    if (!r.Ok()) {
        return r;
    }
    Result queued;
    queued.value = n;
    return queued;
}

Result SetSendTimeout(int fd, long long ms) {
    const long long us = ms <= 0 ? 0 : ms * 1000;
    const timeval tv{static_cast<time_t>(us / 1000000), static_cast<suseconds_t>(us % 1000000)};
    return SetOption(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

Result ConnectLocalDatagram(const char* path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const size_t length = std::strlen(path);
    if (length >= sizeof addr.sun_path) {
        return Failed(ENAMETOOLONG);
    }
    std::memcpy(addr.sun_path, path, length + 1);
    const Result fd = Socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK);
    if (!fd.Ok()) {
        return fd;
    }
    const int s = static_cast<int>(fd.value);
    const Result c =
        Connect(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr, OnSignal::kRetry);
    if (!c.Ok()) {
        (void)Close(s);
        return c;
    }
    return fd;
}

}  // namespace sys
}  // namespace kq
