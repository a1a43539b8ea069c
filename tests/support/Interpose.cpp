#include "Interpose.h"

#include <dlfcn.h>
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <mutex>
#include <vector>

// The plain symbol names go through asm labels rather than through the C
// names: with _FILE_OFFSET_BITS=64 on a 32-bit target the headers rename
// open to open64, and a definition of "open" would silently become a second
// open64. The _2 and _chk forms are what fortified callers reach.
extern "C" {
int KqOpen(const char* path, int flags, ...) __asm__("open");
int KqOpen64(const char* path, int flags, ...) __asm__("open64");
int KqOpen2(const char* path, int flags) __asm__("__open_2");
int KqOpen64_2(const char* path, int flags) __asm__("__open64_2");
ssize_t KqRead(int fd, void* buf, size_t count) __asm__("read");
ssize_t KqReadChk(int fd, void* buf, size_t count, size_t size) __asm__("__read_chk");
int KqIoctl(int fd, unsigned long request, ...) __asm__("ioctl");
int KqClose(int fd) __asm__("close");
int KqConnect(int fd, const sockaddr* addr, socklen_t length) __asm__("connect");
#if defined(__TIMESIZE) && __TIMESIZE == 32
// What ioctl becomes with _TIME_BITS=64 on a 32-bit target.
int KqIoctlTime64(int fd, unsigned long request, ...) __asm__("__ioctl_time64");
#endif
}

namespace kqtest {
namespace interpose {

namespace {

template <typename Fn>
Fn Next(const char* name) {
    void* sym = dlsym(RTLD_NEXT, name);
    if (sym == nullptr) {
        std::abort();
    }
    return reinterpret_cast<Fn>(sym);
}

using OpenFn = int (*)(const char*, int, ...);
using ReadFn = ssize_t (*)(int, void*, size_t);
using IoctlFn = int (*)(int, unsigned long, ...);
using CloseFn = int (*)(int);
using ConnectFn = int (*)(int, const sockaddr*, socklen_t);

// Never destroyed: calls may still come in while the process exits.
std::mutex& Lock() {
    static std::mutex* const lock = new std::mutex();
    return *lock;
}
std::vector<Handler*>& Handlers() {
    static std::vector<Handler*>* const handlers = new std::vector<Handler*>();
    return *handlers;
}

// A copy, so that a handler may open or close files itself.
std::vector<Handler*> Snapshot() {
    std::lock_guard<std::mutex> hold(Lock());
    return Handlers();
}

bool NeedsMode(int flags) {
#ifdef O_TMPFILE
    if ((flags & O_TMPFILE) == O_TMPFILE) {
        return true;
    }
#endif
    return (flags & O_CREAT) != 0;
}

int Open(const char* path, int flags, mode_t mode) {
    for (Handler* handler : Snapshot()) {
        int result = -1;
        if (handler->Open(path, flags, &result)) {
            return result;
        }
    }
    return RealOpen(path, flags, mode);
}

ssize_t Read(int fd, void* buf, size_t count) {
    for (Handler* handler : Snapshot()) {
        ssize_t result = -1;
        if (handler->Read(fd, buf, count, &result)) {
            return result;
        }
    }
    return RealRead(fd, buf, count);
}

int Ioctl(IoctlFn real, int fd, unsigned long request, void* arg) {
    for (Handler* handler : Snapshot()) {
        int result = -1;
        if (handler->Ioctl(fd, request, arg, &result)) {
            return result;
        }
    }
    return real(fd, request, arg);
}

}  // namespace

void Add(Handler* handler) {
    std::lock_guard<std::mutex> hold(Lock());
    Handlers().push_back(handler);
}

void Remove(Handler* handler) {
    std::lock_guard<std::mutex> hold(Lock());
    std::vector<Handler*>& all = Handlers();
    all.erase(std::remove(all.begin(), all.end(), handler), all.end());
}

int RealOpen(const char* path, int flags, mode_t mode) {
    static const OpenFn real = Next<OpenFn>("open64");
    return NeedsMode(flags) ? real(path, flags, mode) : real(path, flags);
}

ssize_t RealRead(int fd, void* buf, size_t count) {
    static const ReadFn real = Next<ReadFn>("read");
    return real(fd, buf, count);
}

int RealIoctl(int fd, unsigned long request, void* arg) {
    static const IoctlFn real = Next<IoctlFn>("ioctl");
    return real(fd, request, arg);
}

int RealClose(int fd) {
    static const CloseFn real = Next<CloseFn>("close");
    return real(fd);
}

int RealConnect(int fd, const sockaddr* addr, socklen_t length) {
    static const ConnectFn real = Next<ConnectFn>("connect");
    return real(fd, addr, length);
}

}  // namespace interpose
}  // namespace kqtest

using namespace kqtest::interpose;

namespace {

mode_t ModeArg(int flags, va_list ap) {
    return NeedsMode(flags) ? static_cast<mode_t>(va_arg(ap, unsigned int)) : 0;
}

}  // namespace

int KqOpen(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = ModeArg(flags, ap);
    va_end(ap);
    return Open(path, flags, mode);
}

int KqOpen64(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = ModeArg(flags, ap);
    va_end(ap);
    return Open(path, flags, mode);
}

int KqOpen2(const char* path, int flags) {
    return Open(path, flags, 0);
}

int KqOpen64_2(const char* path, int flags) {
    return Open(path, flags, 0);
}

ssize_t KqRead(int fd, void* buf, size_t count) {
    return Read(fd, buf, count);
}

ssize_t KqReadChk(int fd, void* buf, size_t count, size_t size) {
    if (count > size) {
        std::abort();  // what the fortified read does
    }
    return Read(fd, buf, count);
}

int KqIoctl(int fd, unsigned long request, ...) {
    static const IoctlFn real = Next<IoctlFn>("ioctl");
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    return Ioctl(real, fd, request, arg);
}

#if defined(__TIMESIZE) && __TIMESIZE == 32
int KqIoctlTime64(int fd, unsigned long request, ...) {
    static const IoctlFn real = Next<IoctlFn>("__ioctl_time64");
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    return Ioctl(real, fd, request, arg);
}
#endif

int KqClose(int fd) {
    for (Handler* handler : Snapshot()) {
        handler->Closing(fd);
    }
    return RealClose(fd);
}

int KqConnect(int fd, const sockaddr* addr, socklen_t length) {
    for (Handler* handler : Snapshot()) {
        int result = -1;
        if (handler->Connect(fd, addr, length, &result)) {
            return result;
        }
    }
    return RealConnect(fd, addr, length);
}
