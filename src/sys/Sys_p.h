// SPDX-License-Identifier: MIT
// The system-call layer: every call the library makes to the kernel is
// wrapped once, here and in the other Sys*_p.h headers of this folder.
// Internal.
//
// One result type and one rule for all of them:
// - A wrapper returns the call's own result in value (-1 on failure) and,
//   after a failure, the errno the call left, read right after the call, in
//   error (0 after a success): a close on the way out or a log line cannot
//   overwrite it. errno itself is left as the call left it.
// - A call that a signal cuts short (EINTR) is either reported (kReport) or
//   made again within what is left of its time (kRetry). Where both make
//   sense the caller says which, at the call; elsewhere the wrapper retries.
// - Every descriptor the library opens is close-on-exec: a host's child
//   does not inherit a line, a socket or a file, nor a lock taken on one.
// - One clock (monotonic, in nanoseconds) for every time-out and deadline.
#ifndef KQSER_SYS_P_H
#define KQSER_SYS_P_H

#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace kq {
namespace sys {

struct Result {
    long value = -1;
    int error = 0;
    bool Ok() const { return value >= 0; }
};

// What a call interrupted by a signal does.
enum class OnSignal {
    kReport,  // returns the failure (EINTR)
    kRetry,   // calls again (a wait: within what is left of its time)
};

// The monotonic clock in nanoseconds: every wait and deadline follows it.
inline long long MonotonicNs() {
    timespec now{};
    (void)::clock_gettime(CLOCK_MONOTONIC, &now);  // cannot fail for this clock
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}
// The wall clock, which file times follow.
timespec Now();

// Sleeps ns nanoseconds on the monotonic clock; kReport: a signal may end it
// sooner.
void SleepNs(long long ns, OnSignal onSignal);

// Waits up to waitNs (< 0: no limit) until fd has one of events, with ppoll
// against one deadline however many signals come. value: the events that
// came (> 0), 0 after the time, -1 on failure. A descriptor that is not open
// fails with EBADF, as select fails, instead of being waited on or skipped.
Result Wait(int fd, short events, long long waitNs, OnSignal onSignal);

// One read or write of up to size bytes: the count moved. Inline, as the
// ports' Read and Write make one each: a call reported costs what the call
// costs.
Result ReadRetried(int fd, void* buf, size_t size);
Result WriteRetried(int fd, const void* buf, size_t size);
__attribute__((always_inline)) inline Result Read(int fd, void* buf, size_t size,
                                                  OnSignal onSignal) {
    if (onSignal == OnSignal::kRetry) {
        return ReadRetried(fd, buf, size);
    }
    const ssize_t n = ::read(fd, buf, size);
    return n >= 0 ? Result{n, 0} : Result{-1, errno};
}
__attribute__((always_inline)) inline Result Write(int fd, const void* buf, size_t size,
                                                   OnSignal onSignal) {
    if (onSignal == OnSignal::kRetry) {
        return WriteRetried(fd, buf, size);
    }
    const ssize_t n = ::write(fd, buf, size);
    return n >= 0 ? Result{n, 0} : Result{-1, errno};
}

// One ioctl (arg: the request's record, or null).
Result Ioctl(int fd, unsigned long request, void* arg);
// An ioctl whose argument is an int passed by value, made once: a signal
// fails it.
Result IoctlInt(int fd, unsigned long request, int arg);
// flock(2): LOCK_EX | LOCK_NB, LOCK_UN.
Result Flock(int fd, int operation);
Result Fstat(int fd, struct stat* st);
// Switches O_NONBLOCK on or off, the other status flags kept.
Result SetNonBlocking(int fd, bool on, OnSignal onSignal);
// Clears every status flag (O_NONBLOCK among them): F_SETFL 0, made once.
Result ClearStatusFlags(int fd);

// Not made again on EINTR: Linux has released the descriptor already, and a
// retry could close another thread's new file.
Result Close(int fd);
// Closes *fd when it holds a descriptor (>= 0) and leaves -1 there.
void ReleaseDescriptor(int* fd);

}  // namespace sys
}  // namespace kq

#endif
