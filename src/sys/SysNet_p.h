// SPDX-License-Identifier: MIT
// The socket calls of the layer (Sys_p.h). Internal.
#ifndef KQSER_SYSNET_P_H
#define KQSER_SYSNET_P_H

#include <sys/socket.h>

#include <cstddef>

#include "Sys_p.h"

namespace kq {
namespace sys {

// A socket of this family and type (SOCK_NONBLOCK may be or-ed into type),
// close-on-exec.
Result Socket(int family, int type);
// connect(2), made again after a signal only as the caller says: a connect
// cut short goes on in the kernel, and a second one fails with EALREADY.
Result Connect(int fd, const sockaddr* addr, socklen_t len, OnSignal onSignal);
Result Bind(int fd, const sockaddr* addr, socklen_t len);
Result SetOption(int fd, int level, int name, const void* value, socklen_t len);
Result GetOption(int fd, int level, int name, void* value, socklen_t* len);
Result Shutdown(int fd, int how);
Result Listen(int fd, int backlog);
// accept(2) of the next connection, its socket close-on-exec.
Result Accept(int fd);
// The socket's own address (getsockname) and its peer's (getpeername).
Result LocalName(int fd, sockaddr* addr, socklen_t* len);
Result PeerName(int fd, sockaddr* addr, socklen_t* len);
// The machine's host name, terminated within size (gethostname).
Result HostName(char* name, size_t size);

// One recv, or recvfrom when from is given.
Result Recv(int fd, void* buf, size_t len, int flags, sockaddr* from, socklen_t* fromLen,
            OnSignal onSignal);

struct WaitedRecv {
    Result wait;  // as Wait gives it, for readable or urgent data
    Result recv;  // made only when wait.value > 0
};

// Waits up to waitNs for data, then receives it without blocking. Urgent
// (out-of-band) data alone is taken off and the wait goes on, as it does when
// a wake-up finds nothing to receive: no receive after the wait can block.
WaitedRecv WaitRecv(int fd, void* buf, size_t len, sockaddr* from, socklen_t* fromLen,
                    long long waitNs, OnSignal onSignal);

// One send, or sendto when to is given; a reset peer fails it with EPIPE
// instead of raising SIGPIPE. With kRetry, a signal makes the send again
// within what is left of the socket's send time-out: the bound holds for the
// whole call, however many signals come.
Result Send(int fd, const void* buf, size_t len, const sockaddr* to, socklen_t toLen,
            OnSignal onSignal);
// One send that never waits and never raises SIGPIPE.
Result SendNow(int fd, const void* buf, size_t size);

// Bytes fd has queued to read (value), or -1.
Result Queued(int fd);

// The longest a blocking send on fd may take, in milliseconds (0: no limit).
Result SetSendTimeout(int fd, long long ms);

// A datagram socket of the local (AF_UNIX) family, non-blocking, connected
// to the socket at path.
Result ConnectLocalDatagram(const char* path);

}  // namespace sys
}  // namespace kq

#endif
