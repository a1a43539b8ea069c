// SPDX-License-Identifier: MIT
// The system calls of the network code that wait, receive and send, each made
// in one place, with errno saved right after the call and handed back with
// the result. Internal.
#ifndef KQSER_NETSYS_P_H
#define KQSER_NETSYS_P_H

#include <poll.h>
#include <sys/socket.h>

#include <cstddef>

namespace kq {

// A call's result and errno as the call left it (after a success: the value
// it held before, which the call did not touch).
struct SysResult {
    long value;
    int err;
};

// What an interrupting signal (EINTR) does to a call: it is the call's
// failure, or the call is made again within what is left of its time. A call
// made again sees errno as the first one saw it.
enum class OnSignal { Report, Retry };

// Monotonic clock, in nanoseconds.
long long NowNs();

// Waits up to waitNs (< 0: no limit) until fd has one of events. value: the
// events that came (> 0), 0 after the time, -1 on failure. A descriptor that
// is not open fails with EBADF, as select fails, instead of being skipped.
SysResult Wait(int fd, short events, long long waitNs, OnSignal onSignal);

// One recv, or recvfrom when from is given.
SysResult Recv(int fd, void* buf, size_t len, int flags, sockaddr* from, socklen_t* fromLen,
               OnSignal onSignal);

struct WaitedRecv {
    SysResult wait;  // as Wait gives it, for readable or urgent data
    SysResult recv;  // made only when wait.value > 0
};

// Waits up to waitNs for data, then receives it without blocking. Urgent
// (out-of-band) data alone is taken off and the wait goes on, as it does when
// a wake-up finds nothing to receive: no receive after the wait can block.
WaitedRecv WaitRecv(int fd, void* buf, size_t len, sockaddr* from, socklen_t* fromLen,
                    long long waitNs, OnSignal onSignal);

// One send, or sendto when to is given; a reset peer fails it with EPIPE
// instead of raising SIGPIPE. With Retry, a signal makes the send again
// within what is left of the socket's send time-out: the bound holds for the
// whole call, however many signals come.
SysResult Send(int fd, const void* buf, size_t len, const sockaddr* to, socklen_t toLen,
               OnSignal onSignal);

// Bytes fd has queued to read (value), or -1.
SysResult Queued(int fd);

// The longest a blocking send on fd may take, in milliseconds (0: no limit).
SysResult SetSendTimeout(int fd, long long ms);

}  // namespace kq

#endif
