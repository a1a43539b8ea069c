// SPDX-License-Identifier: MIT
#include "SysFile_p.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>

#include "SysCall_p.h"

namespace kq {
namespace sys {

Result Open(const char* path, int flags, mode_t mode) {
    return OffStandardStreams(Retried([&] { return ::open(path, flags | O_CLOEXEC, mode); }));
}

Result OpenDevice(const char* path, int flags) {
    return OffStandardStreams(From(::open(path, flags | O_CLOEXEC)));
}

Result Stat(const char* path, struct stat* st) {
    return From(::stat(path, st));
}

Result Lstat(const char* path, struct stat* st) {
    return From(::lstat(path, st));
}

Result Fsync(int fd) {
    return From(::fsync(fd));
}

Result Ftruncate(int fd, off_t size) {
    return From(::ftruncate(fd, size));
}

Result Fchmod(int fd, mode_t mode) {
    return From(::fchmod(fd, mode));
}

Result Fchown(int fd, uid_t uid, gid_t gid) {
    return From(::fchown(fd, uid, gid));
}

Result Rename(const char* from, const char* to) {
    return From(::rename(from, to));
}

Result RenameNoReplace(const char* from, const char* to) {
    const Result r = From(::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE));
    return r.error == EINVAL || r.error == ENOSYS ? Rename(from, to) : r;
}

Result Unlink(const char* path) {
    return From(::unlink(path));
}

Result Readlink(const char* path, std::string* text) {
    // readlink says nothing of a text cut short: grow until it fits.
    for (size_t size = 256; size <= 65536; size *= 2) {
        text->assign(size, '\0');
        const Result r = From(::readlink(path, &(*text)[0], size));
        if (!r.Ok()) {
            text->clear();
            return r;
        }
        if (static_cast<size_t>(r.value) < size) {
            text->resize(static_cast<size_t>(r.value));
            return r;
        }
    }
    text->clear();
    return Failed(ENAMETOOLONG);
}

Result Realpath(const char* path, std::string* resolved) {
    char* real = ::realpath(path, nullptr);
    if (real == nullptr) {
        resolved->clear();
        return Failed(errno);
    }
    *resolved = real;
    std::free(real);
    Result r;
    r.value = 0;
    return r;
}

Result ListDir(const char* path, std::vector<std::string>* names) {
    names->clear();
    DIR* dir = ::opendir(path);
    if (dir == nullptr) {
        return Failed(errno);
    }
    int error = 0;
    for (;;) {
        errno = 0;
        // readdir_r is deprecated: readdir is safe on a stream no other thread uses.
        // cppcheck-suppress readdirCalled
        const dirent* e = ::readdir(dir);
        if (e == nullptr) {
            error = errno;  // 0 at the end of the folder
            break;
        }
        const std::string name = e->d_name;
        if (name != "." && name != "..") {
            names->push_back(name);
        }
    }
    if (::closedir(dir) != 0 && error == 0) {
        error = errno;
    }
    if (error != 0) {
        return Failed(error);
    }
    Result r;
    r.value = static_cast<long>(names->size());
    return r;
}

long long FileSizeLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return -1;
    }
    return static_cast<long long>(limit.rlim_cur);
}

Result WritableNow(int fd) {
    const Result ready = Wait(fd, POLLOUT, 0, OnSignal::kRetry);
    if (!ready.Ok() && ready.error != EBADF) {
        return ready;
    }
    Result r;
    r.value = ready.value > 0 && (ready.value & (POLLERR | POLLHUP)) == 0 ? 1 : 0;
    return r;
}

namespace {

// One write with sig held back on this thread; a sig the write raised is
// taken back before the old mask returns, one that was pending before is not.
Result WriteHolding(int sig, int raisedBy, int fd, const void* buf, size_t size) {
    sigset_t held;
    sigemptyset(&held);
    sigaddset(&held, sig);
    sigset_t pending;
    sigemptyset(&pending);
    (void)::sigpending(&pending);
    const bool wasPending = sigismember(&pending, sig) == 1;
    sigset_t old;
    (void)::pthread_sigmask(SIG_BLOCK, &held, &old);
    const Result r = Write(fd, buf, size, OnSignal::kRetry);
    if (r.error == raisedBy && !wasPending) {
        const timespec now{0, 0};
        (void)::sigtimedwait(&held, nullptr, &now);
    }
    (void)::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return r;
}

}  // namespace

Result WriteNoPipeSignal(int fd, const void* buf, size_t size) {
    return WriteHolding(SIGPIPE, EPIPE, fd, buf, size);
}

Result WriteNoSizeSignal(int fd, const void* buf, size_t size) {
    return WriteHolding(SIGXFSZ, EFBIG, fd, buf, size);
}

Result Duplicate(int fd) {
    return Retried([&] { return ::fcntl(fd, F_DUPFD_CLOEXEC, 3); });
}

bool ProcessExists(pid_t pid) {
    return ::kill(pid, 0) == 0 || errno == EPERM;
}

pid_t ProcessId() {
    return ::getpid();
}

uid_t EffectiveUser() {
    return ::geteuid();
}

}  // namespace sys
}  // namespace kq
