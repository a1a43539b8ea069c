// SPDX-License-Identifier: MIT
#include "NetSys_p.h"

#include <sys/ioctl.h>
#include <sys/time.h>

#include <cerrno>
#include <ctime>

namespace kq {

namespace {

constexpr long long kNsPerSec = 1000LL * 1000 * 1000;

bool Interrupted(const SysResult& r, OnSignal onSignal) {
    return r.value < 0 && r.err == EINTR && onSignal == OnSignal::Retry;
}

bool WouldBlock(const SysResult& r) {
    return r.value < 0 && (r.err == EAGAIN || r.err == EWOULDBLOCK);
}

long long SendTimeoutNs(int fd) {
    timeval tv{};
    socklen_t len = sizeof tv;
    if (getsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, &len) != 0) {
        return 0;
    }
    return static_cast<long long>(tv.tv_sec) * kNsPerSec +
           static_cast<long long>(tv.tv_usec) * 1000;
}

// A zero timeval means no limit: what is left is rounded up to 1 us.
bool SetSendTimeoutNs(int fd, long long ns) {
    const long long us = ns <= 0 ? 0 : (ns + 999) / 1000;
    const timeval tv{static_cast<time_t>(us / 1000000), static_cast<suseconds_t>(us % 1000000)};
    return setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) == 0;
}

}  // namespace

long long NowNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * kNsPerSec + now.tv_nsec;
}

SysResult Wait(int fd, short events, long long waitNs, OnSignal onSignal) {
    if (fd < 0) {
        return {-1, EBADF};
    }
    const int before = errno;
    const long long deadline = waitNs < 0 ? -1 : NowNs() + waitNs;
    pollfd pfd{fd, events, 0};
    for (;;) {
        timespec left{};
        if (deadline >= 0) {
            const long long ns = deadline - NowNs();
            if (ns > 0) {
                left = {static_cast<time_t>(ns / kNsPerSec), static_cast<long>(ns % kNsPerSec)};
            }
        }
        errno = before;
        const int rc = ppoll(&pfd, 1, deadline >= 0 ? &left : nullptr, nullptr);
        const SysResult r{rc > 0 ? pfd.revents : rc, errno};
        if (Interrupted(r, onSignal)) {
            continue;
        }
        if (rc > 0 && (pfd.revents & POLLNVAL) != 0) {
            return {-1, EBADF};
        }
        return r;
    }
}

SysResult Recv(int fd, void* buf, size_t len, int flags, sockaddr* from, socklen_t* fromLen,
               OnSignal onSignal) {
    const int before = errno;
    for (;;) {
        errno = before;
        const ssize_t n = from != nullptr ? recvfrom(fd, buf, len, flags, from, fromLen)
                                          : recv(fd, buf, len, flags);
        const SysResult r{static_cast<long>(n), errno};
        if (!Interrupted(r, onSignal)) {
            return r;
        }
    }
}

WaitedRecv WaitRecv(int fd, void* buf, size_t len, sockaddr* from, socklen_t* fromLen,
                    long long waitNs, OnSignal onSignal) {
    const int before = errno;
    const long long deadline = NowNs() + waitNs;
    short events = POLLIN | POLLPRI;
    for (;;) {
        const long long left = deadline - NowNs();
        errno = before;
        const SysResult wait = Wait(fd, events, left > 0 ? left : 0, onSignal);
        if (wait.value <= 0) {
            return {wait, {-1, wait.err}};
        }
        if ((wait.value & ~POLLPRI) == 0) {
            // Urgent data alone: a plain receive would block. Taking the byte
            // off ends the urgent state; should that fail, wait for data only.
            unsigned char urgent = 0;
            errno = before;
            if (Recv(fd, &urgent, 1, MSG_OOB | MSG_DONTWAIT, nullptr, nullptr, onSignal).value <
                0) {
                events = POLLIN;
            }
            continue;
        }
        errno = before;
        const SysResult got = Recv(fd, buf, len, MSG_DONTWAIT, from, fromLen, onSignal);
        if (!WouldBlock(got)) {
            return {wait, got};
        }
        if (NowNs() >= deadline) {
            return {{0, before}, {-1, before}};  // ready all along, yet nothing came
        }
    }
}

SysResult Send(int fd, const void* buf, size_t len, const sockaddr* to, socklen_t toLen,
               OnSignal onSignal) {
    const int before = errno;
    const long long start = onSignal == OnSignal::Retry ? NowNs() : 0;
    long long boundNs = -1;  // read at the first signal
    bool shortened = false;
    SysResult r{};
    for (;;) {
        errno = before;
        const ssize_t n = to != nullptr ? sendto(fd, buf, len, MSG_NOSIGNAL, to, toLen)
                                        : send(fd, buf, len, MSG_NOSIGNAL);
        r = {static_cast<long>(n), errno};
        if (!Interrupted(r, onSignal)) {
            break;
        }
        if (boundNs < 0) {
            boundNs = SendTimeoutNs(fd);
        }
        if (boundNs == 0) {
            continue;
        }
        // The socket's time-out starts again with every call: give the next
        // one only what is left.
        const long long left = start + boundNs - NowNs();
        if (left <= 0) {
            r = {-1, EAGAIN};  // what the time-out itself reports
            break;
        }
        shortened = SetSendTimeoutNs(fd, left) || shortened;
    }
    if (shortened) {
        SetSendTimeoutNs(fd, boundNs);
    }
    return r;
}

SysResult Queued(int fd) {
    int n = 0;
    const int rc = ioctl(fd, FIONREAD, &n);
    return {rc == 0 ? n : -1, errno};
}

SysResult SetSendTimeout(int fd, long long ms) {
    const bool ok = SetSendTimeoutNs(fd, ms * 1000000);
    return {ok ? 0 : -1, errno};
}

}  // namespace kq
