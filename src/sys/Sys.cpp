// SPDX-License-Identifier: MIT
#include "Sys_p.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "SysCall_p.h"

namespace kq {
namespace sys {

long long MonotonicNs() {
    timespec now{};
    (void)::clock_gettime(CLOCK_MONOTONIC, &now);  // cannot fail for this clock
    return static_cast<long long>(now.tv_sec) * kNsPerSec + now.tv_nsec;
}

timespec Now() {
    timespec now{};
    (void)::clock_gettime(CLOCK_REALTIME, &now);
    return now;
}

void SleepNs(long long ns, OnSignal onSignal) {
    if (ns <= 0) {
        return;
    }
    const timespec at = ToTimespec(MonotonicNs() + ns);
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR &&
           onSignal == OnSignal::kRetry) {
    }
}

Result Wait(int fd, short events, long long waitNs, OnSignal onSignal) {
    if (fd < 0) {
        return Failed(EBADF);
    }
    const long long deadline = waitNs < 0 ? -1 : MonotonicNs() + waitNs;
    pollfd pfd{fd, events, 0};
    const Result r = Once(onSignal, [&] {
        timespec left{};
        if (deadline >= 0) {
            const long long ns = deadline - MonotonicNs();
            left = ToTimespec(ns > 0 ? ns : 0);
        }
        return ::ppoll(&pfd, 1, deadline >= 0 ? &left : nullptr, nullptr);
    });
    if (r.value > 0) {
        if ((pfd.revents & POLLNVAL) != 0) {
            return Failed(EBADF);
        }
        Result ready;
        ready.value = pfd.revents;
        return ready;
    }
    return r;
}

Result Read(int fd, void* buf, size_t size, OnSignal onSignal) {
    return Once(onSignal, [&] { return ::read(fd, buf, size); });
}

Result Write(int fd, const void* buf, size_t size, OnSignal onSignal) {
    return Once(onSignal, [&] { return ::write(fd, buf, size); });
}

Result Ioctl(int fd, unsigned long request, void* arg) {
    return Retried([&] { return ::ioctl(fd, request, arg); });
}

Result IoctlInt(int fd, unsigned long request, int arg) {
    return From(::ioctl(fd, request, arg));
}

Result Flock(int fd, int operation) {
    return Retried([&] { return ::flock(fd, operation); });
}

Result Fstat(int fd, struct stat* st) {
    return From(::fstat(fd, st));
}

Result SetNonBlocking(int fd, bool on, OnSignal onSignal) {
    const Result flags = Once(onSignal, [&] { return ::fcntl(fd, F_GETFL); });
    if (!flags.Ok()) {
        return flags;
    }
    const int set = on ? static_cast<int>(flags.value) | O_NONBLOCK
                       : static_cast<int>(flags.value) & ~O_NONBLOCK;
    return Once(onSignal, [&] { return ::fcntl(fd, F_SETFL, set); });
}

Result ClearStatusFlags(int fd) {
    return From(::fcntl(fd, F_SETFL, 0));
}

Result Close(int fd) {
    return From(::close(fd));
}

void ReleaseDescriptor(int* fd) {
    if (*fd >= 0) {
        (void)Close(*fd);
    }
    *fd = -1;
}

}  // namespace sys
}  // namespace kq
