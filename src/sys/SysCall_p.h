// SPDX-License-Identifier: MIT
// How this folder makes a call: the rule of Sys_p.h in one place. Included by
// the layer's own sources only.
#ifndef KQSER_SYSCALL_P_H
#define KQSER_SYSCALL_P_H

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "Sys_p.h"

namespace kq {
namespace sys {

// The call's result, and errno right after it when it failed.
__attribute__((always_inline)) inline Result From(long value) {
    Result r;
    r.value = value;
    r.error = value < 0 ? errno : 0;
    return r;
}

inline Result Failed(int error) {
    Result r;
    r.error = error;
    return r;
}

// A descriptor the layer opens is kept off 0, 1 and 2: in a host that
// closed its standard streams, the console build's lines (standard output)
// and whatever else writes to them would otherwise go down a line, a socket
// or a file the library opened.
inline Result OffStandardStreams(Result r) {
    if (__builtin_expect(r.value >= 0 && r.value <= STDERR_FILENO, 0)) {
        const int low = static_cast<int>(r.value);
        r = From(::fcntl(low, F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
        ::close(low);
    }
    return r;
}

// One call; again after a signal when onSignal says so.
template <typename Call>
Result Once(OnSignal onSignal, Call call) {
    for (;;) {
        const Result r = From(static_cast<long>(call()));
        if (r.error != EINTR || onSignal != OnSignal::kRetry) {
            return r;
        }
    }
}

template <typename Call>
Result Retried(Call call) {
    return Once(OnSignal::kRetry, call);
}

constexpr long long kNsPerSec = 1000LL * 1000 * 1000;

inline timespec ToTimespec(long long ns) {
    return {static_cast<time_t>(ns / kNsPerSec), static_cast<long>(ns % kNsPerSec)};
}

// Wait, with the deadline its caller worked out (MonotonicNs() + waitNs; read
// only after a signal, with kRetry): the first ppoll gets waitNs as it is,
// so a wait that no signal cuts short reads the clock no more than its
// caller did.
Result WaitWithin(int fd, short events, long long waitNs, long long deadline, OnSignal onSignal);

}  // namespace sys
}  // namespace kq

#endif
