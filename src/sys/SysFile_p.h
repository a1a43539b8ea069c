// SPDX-License-Identifier: MIT
// The calls of the layer (Sys_p.h) on files and folders by path, and on the
// process. Calls that EINTR can interrupt are made again. Internal.
#ifndef KQSER_SYSFILE_P_H
#define KQSER_SYSFILE_P_H

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "Sys_p.h"

namespace kq {
namespace sys {

// open(2), close-on-exec whatever flags says.
Result Open(const char* path, int flags, mode_t mode = 0);
// The open of a device node, made once: a signal fails it, as any failure
// of the device does. Close-on-exec.
Result OpenDevice(const char* path, int flags);
Result Stat(const char* path, struct stat* st);
Result Lstat(const char* path, struct stat* st);
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
// The absolute path with no link, . or .. in it, in resolved.
Result Realpath(const char* path, std::string* resolved);
// The names in a folder, "." and ".." left out.
Result ListDir(const char* path, std::vector<std::string>* names);
// The largest file this process may write (RLIMIT_FSIZE), or -1 for none.
long long FileSizeLimit();
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

}  // namespace sys
}  // namespace kq

#endif
