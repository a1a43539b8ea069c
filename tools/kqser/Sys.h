// SPDX-License-Identifier: MIT
// The system calls of bridge, sim and term --log, each wrapped once; errno is
// saved right after the call and turned into the message.
#ifndef KQSER_TOOL_SYS_H
#define KQSER_TOOL_SYS_H

#include <poll.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace kqtool {

// A pseudo-terminal pair, raw, close-on-exec; *name is "pts/N".
bool OpenRawPty(int* master, int* slave, std::string* name, std::string* error);
// A TCP socket listening on address:port (port 0: the system picks);
// *bound is the port in use.
int ListenTcp(const std::string& address, int port, int* bound, std::string* error);
// An accepted connection, non-blocking, or -1; *peer is "ADDR:PORT".
int AcceptTcp(int listener, std::string* peer);
// Waits until what was written to a tty has gone out (tcdrain); -1 ignored.
void DrainFd(int fd);
// poll; a signal counts as a time-out (the caller looks at g_stop).
int PollFds(pollfd* fds, nfds_t n, int timeoutMs);
// One read(2) or recv(2): bytes, 0 at the end, -1 (*error set) on failure;
// -2 when nothing is there yet (EAGAIN, EINTR).
ssize_t ReadFd(int fd, uint8_t* buf, size_t n, int* error);
// One send without blocking: bytes sent, -2 when the socket is full, -1.
ssize_t SendSome(int fd, const uint8_t* buf, size_t n, int* error);
// Writes all bytes to a descriptor (blocking); false on failure.
bool WriteAll(int fd, const uint8_t* buf, size_t n);
// Sends all bytes on a socket, waiting for room at most timeoutMs in all:
// 1 when sent, 0 when the peer left no room in time, -1 on failure.
int SendAllWithin(int fd, const uint8_t* buf, size_t n, int timeoutMs);
void CloseFd(int fd);
bool ReadWholeFile(const std::string& path, std::string* text, std::string* error);
// A file in memory holding text, for as long as the process lives; its path
// is /proc/self/fd/N. -1 with *error set when it cannot be made.
int MemoryFile(const std::string& text, std::string* path, std::string* error);
// The wall clock: seconds and microseconds since the epoch.
void WallClock(int64_t* seconds, int* micros);

}  // namespace kqtool

#endif
