// SPDX-License-Identifier: MIT
// The serial folder's system calls on a line's descriptor, each wrapped once:
// errno is saved right after the call and handed back with the result, and
// the rule for a call cut short by a signal is the caller's, stated at the
// call. Internal.
#ifndef KQSER_LINEIO_P_H
#define KQSER_LINEIO_P_H

#include <sys/types.h>

#include <cstddef>

namespace kq {

struct LineResult {
    ssize_t n = 0;  // the call's result; negative on failure
    int err = 0;    // errno of a failed call, else 0
};

// What a call interrupted by a signal does.
enum class OnSignal {
    kReport,  // returns the failure (EINTR), as the read loop has always seen it
    kRetry,   // calls again (a wait: within what is left of its time)
};

LineResult LineRead(int fd, void* buf, size_t len, OnSignal onSignal);
LineResult LineWrite(int fd, const void* buf, size_t len, OnSignal onSignal);

// Waits up to timeoutNs (negative: no limit) for events on fd. n is 1 with
// *revents set when the line is ready, 0 on time-out, negative on failure.
LineResult LineWait(int fd, short events, long long timeoutNs, short* revents, OnSignal onSignal);

// One ioctl on the line (arg: the request's record, or null).
LineResult LineIoctl(int fd, unsigned long request, void* arg);
// flock(2): LOCK_EX | LOCK_NB and the like.
LineResult LineFlock(int fd, int operation);
// Waits until the output queue has gone out on the wire (tcdrain).
LineResult LineDrain(int fd);
// Switches O_NONBLOCK on or off, the other status flags kept.
LineResult LineNonBlocking(int fd, bool on);
// Sleeps ns on the monotonic clock, to the end after a signal.
void LineSleepNs(long long ns);
// fstat and stat: the device and inode of a line's file.
LineResult LineFileId(int fd, const char* path, dev_t* dev, ino_t* ino);

// The monotonic clock in nanoseconds, which LineWait's time-outs follow.
long long LineClockNs();

// True when the other end of the line is gone: a tty whose adapter was
// unplugged or whose pty master was closed reads as end of file at once.
bool LineHungUp(int fd);

}  // namespace kq

#endif
