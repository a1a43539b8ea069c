// SPDX-License-Identifier: MIT
// The system calls of this folder, each wrapped once. Internal.
//
// Every wrapper returns the call's own result and, when it failed, the errno
// it left, read right after the call: later calls (a close on the way out, a
// log line) cannot overwrite it. Calls that EINTR can interrupt are repeated.
#ifndef KQSER_SYSFILE_P_H
#define KQSER_SYSFILE_P_H

#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

#include <cstddef>
#include <string>
#include <vector>

namespace kq {
namespace sys {

// value: the call's result (-1 on failure); error: errno after a failure, else 0.
struct Result {
    long value = -1;
    int error = 0;
    bool Ok() const { return value >= 0; }
};

Result Open(const char* path, int flags, mode_t mode = 0);
Result Close(int fd);
Result Stat(const char* path, struct stat* st);
Result Lstat(const char* path, struct stat* st);
Result Fstat(int fd, struct stat* st);
// One read or write of up to size bytes: the count moved.
Result Read(int fd, void* buf, size_t size);
Result Write(int fd, const void* buf, size_t size);
Result Fsync(int fd);
Result Ftruncate(int fd, off_t size);
Result Fchmod(int fd, mode_t mode);
Result Fchown(int fd, uid_t uid, gid_t gid);
Result Rename(const char* from, const char* to);
// A rename that fails with EEXIST instead of replacing a file at to; where
// the file system cannot tell (EINVAL), a plain rename.
Result RenameNoReplace(const char* from, const char* to);
Result Unlink(const char* path);
// The text of a symbolic link, in text.
Result Readlink(const char* path, std::string* text);
// The names in a folder, "." and ".." left out.
Result ListDir(const char* path, std::vector<std::string>* names);
// flock on a descriptor (LOCK_EX | LOCK_NB, LOCK_UN).
Result Flock(int fd, int operation);
// The largest file this process may write (RLIMIT_FSIZE), or -1 for none.
long long FileSizeLimit();
// A datagram socket of the local (AF_UNIX) family, non-blocking, connected
// to the socket at path.
Result ConnectLocalDatagram(const char* path);
// One send that never waits and never raises SIGPIPE.
Result SendNow(int fd, const void* buf, size_t size);
// Whether fd takes a write now (poll for POLLOUT with no wait): 1 yes, 0 no
// (full, or the reading end is gone).
Result WritableNow(int fd);
// One write with SIGPIPE held back on this thread: a reader that went away
// fails the write (EPIPE) instead of ending the process. A SIGPIPE that was
// pending before stays pending.
Result WriteNoPipeSignal(int fd, const void* buf, size_t size);
// One write past which the file size limit (RLIMIT_FSIZE) would raise
// SIGXFSZ: the signal is held back on this thread, the write fails (EFBIG)
// or comes up short, and the process lives. A SIGXFSZ that was pending
// before stays pending; the host's dispositions and mask are as they were.
Result WriteNoSizeSignal(int fd, const void* buf, size_t size);
// A duplicate of fd, close-on-exec, numbered 3 or higher (never one of the
// standard descriptors a host may have closed).
Result Duplicate(int fd);
// Whether a process with this id exists (a process of another user counts).
bool ProcessExists(pid_t pid);
pid_t ProcessId();
uid_t EffectiveUser();
// Sleeps about ns nanoseconds (a signal may end it sooner).
void Pause(long ns);
// The wall clock, which file times follow.
timespec Now();

}  // namespace sys
}  // namespace kq

#endif
