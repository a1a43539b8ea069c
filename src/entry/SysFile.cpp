// SPDX-License-Identifier: MIT
#include "SysFile_p.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include <cerrno>
#include <cstdio>

namespace kq {
namespace sys {

namespace {

Result From(long value) {
    Result r;
    r.value = value;
    r.error = value < 0 ? errno : 0;
    return r;
}

// A call that a signal can interrupt, made again until it is not.
template <typename Call>
Result Retried(Call call) {
    Result r;
    do {
        r = From(call());
    } while (r.error == EINTR);
    return r;
}

Result Failed(int error) {
    Result r;
    r.error = error;
    return r;
}

}  // namespace

Result Open(const char* path, int flags, mode_t mode) {
    return Retried([&] { return ::open(path, flags, mode); });
}

// Not repeated on EINTR: Linux has released the descriptor already.
Result Close(int fd) {
    return From(::close(fd));
}

Result Stat(const char* path, struct stat* st) {
    return From(::stat(path, st));
}

Result Lstat(const char* path, struct stat* st) {
    return From(::lstat(path, st));
}

Result Fstat(int fd, struct stat* st) {
    return From(::fstat(fd, st));
}

Result Read(int fd, void* buf, size_t size) {
    return Retried([&] { return ::read(fd, buf, size); });
}

Result Write(int fd, const void* buf, size_t size) {
    return Retried([&] { return ::write(fd, buf, size); });
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

Result Flock(int fd, int operation) {
    return Retried([&] { return ::flock(fd, operation); });
}

long long FileSizeLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return -1;
    }
    return static_cast<long long>(limit.rlim_cur);
}

Result ConnectLocalDatagram(const char* path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const size_t length = std::strlen(path);
    if (length >= sizeof addr.sun_path) {
        return Failed(ENAMETOOLONG);
    }
    std::memcpy(addr.sun_path, path, length + 1);
    const Result fd = From(::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.Ok()) {
        return fd;
    }
    const int s = static_cast<int>(fd.value);
    const Result c = Retried(
        [&] { return ::connect(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr); });
    if (!c.Ok()) {
        (void)::close(s);
        return c;
    }
    return fd;
}

Result SendNow(int fd, const void* buf, size_t size) {
    return Retried([&] { return ::send(fd, buf, size, MSG_DONTWAIT | MSG_NOSIGNAL); });
}

Result WritableNow(int fd) {
    pollfd pfd{fd, POLLOUT, 0};
    Result r = Retried([&] { return ::poll(&pfd, 1, 0); });
    if (r.Ok()) {
        r.value = r.value > 0 && (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) == 0 ? 1 : 0;
    }
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
    const Result r = Write(fd, buf, size);
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

timespec Now() {
    timespec now{};
    (void)::clock_gettime(CLOCK_REALTIME, &now);  // cannot fail for this clock
    return now;
}

void Pause(long ns) {
    const timespec wait{0, ns};
    (void)::nanosleep(&wait, nullptr);
}

}  // namespace sys
}  // namespace kq
