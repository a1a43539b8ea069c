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

Result WaitWithin(int fd, short events, long long waitNs, long long deadline, OnSignal onSignal) {
    if (fd < 0) {
        return Failed(EBADF);
    }
    pollfd pfd{fd, events, 0};
    long long left = waitNs;
    for (;;) {
        const timespec limit = ToTimespec(left > 0 ? left : 0);
        const int rc = ::ppoll(&pfd, 1, waitNs < 0 ? nullptr : &limit, nullptr);
        if (rc > 0) {
            return (pfd.revents & POLLNVAL) != 0 ? Failed(EBADF) : Result{pfd.revents, 0};
        }
        if (rc == 0) {
            return Result{0, 0};
        }
        const int error = errno;
        if (error != EINTR || onSignal != OnSignal::kRetry) {
            return Failed(error);
        }
        if (waitNs >= 0) {
            left = deadline - MonotonicNs();
        }
    }
}

Result Wait(int fd, short events, long long waitNs, OnSignal onSignal) {
    const bool bounded = waitNs >= 0 && onSignal == OnSignal::kRetry;
    return WaitWithin(fd, events, waitNs, bounded ? MonotonicNs() + waitNs : 0, onSignal);
}

Result ReadRetried(int fd, void* buf, size_t size) {
    return Retried([&] { return ::read(fd, buf, size); });
}

Result WriteRetried(int fd, const void* buf, size_t size) {
    return Retried([&] { return ::write(fd, buf, size); });
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
