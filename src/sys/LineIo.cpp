// SPDX-License-Identifier: MIT
#include "LineIo_p.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

namespace kq {

namespace {

// One call, errno saved at once; again after a signal when the caller says so.
template <typename Call>
LineResult Once(OnSignal onSignal, Call call) {
    for (;;) {
        const ssize_t n = call();
        const int err = n < 0 ? errno : 0;
        if (err != EINTR || onSignal != OnSignal::kRetry) {
            return {n, err};
        }
    }
}

}  // namespace

long long LineClockNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

LineResult LineRead(int fd, void* buf, size_t len, OnSignal onSignal) {
    return Once(onSignal, [&] { return ::read(fd, buf, len); });
}

LineResult LineWrite(int fd, const void* buf, size_t len, OnSignal onSignal) {
    return Once(onSignal, [&] { return ::write(fd, buf, len); });
}

LineResult LineIoctl(int fd, unsigned long request, void* arg) {
    return Once(OnSignal::kRetry, [&] { return static_cast<ssize_t>(::ioctl(fd, request, arg)); });
}

LineResult LineFlock(int fd, int operation) {
    return Once(OnSignal::kRetry, [&] { return static_cast<ssize_t>(::flock(fd, operation)); });
}

LineResult LineDrain(int fd) {
    return Once(OnSignal::kRetry, [&] { return static_cast<ssize_t>(::tcdrain(fd)); });
}

LineResult LineNonBlocking(int fd, bool on) {
    const LineResult flags =
        Once(OnSignal::kRetry, [&] { return static_cast<ssize_t>(::fcntl(fd, F_GETFL)); });
    if (flags.n < 0) {
        return flags;
    }
    const int set =
        on ? static_cast<int>(flags.n) | O_NONBLOCK : static_cast<int>(flags.n) & ~O_NONBLOCK;
    return Once(OnSignal::kRetry, [&] { return static_cast<ssize_t>(::fcntl(fd, F_SETFL, set)); });
}

void LineSleepNs(long long ns) {
    if (ns <= 0) {
        return;
    }
    const long long end = LineClockNs() + ns;
    const timespec at{static_cast<time_t>(end / 1000000000LL),
                      static_cast<long>(end % 1000000000LL)};
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
    }
}

LineResult LineFileId(int fd, const char* path, dev_t* dev, ino_t* ino) {
    struct stat st {};
    const LineResult r = Once(OnSignal::kRetry, [&] {
        return static_cast<ssize_t>(fd >= 0 ? ::fstat(fd, &st) : ::stat(path, &st));
    });
    *dev = st.st_dev;
    *ino = st.st_ino;
    return r;
}

LineResult LineWait(int fd, short events, long long timeoutNs, short* revents, OnSignal onSignal) {
    const long long deadline = timeoutNs < 0 ? 0 : LineClockNs() + timeoutNs;
    pollfd pfd{fd, events, 0};
    for (;;) {
        timespec ts{};
        const timespec* limit = nullptr;
        if (timeoutNs >= 0) {
            long long left = deadline - LineClockNs();
            left = left < 0 ? 0 : left;
            ts.tv_sec = static_cast<time_t>(left / 1000000000LL);
            ts.tv_nsec = static_cast<long>(left % 1000000000LL);
            limit = &ts;
        }
        const int rc = ::ppoll(&pfd, 1, limit, nullptr);
        const int err = rc < 0 ? errno : 0;
        if (err == EINTR && onSignal == OnSignal::kRetry) {
            continue;
        }
        if (revents != nullptr) {
            *revents = rc > 0 ? pfd.revents : 0;
        }
        return {rc > 0 ? 1 : rc, err};
    }
}

bool LineHungUp(int fd) {
    short revents = 0;
    const LineResult r = LineWait(fd, POLLIN, 0, &revents, OnSignal::kReport);
    return r.n > 0 && (revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

}  // namespace kq
