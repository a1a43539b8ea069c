#include "GpioFake.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

// The fakes carry the plain symbol names through asm labels rather than
// through their C names: with _FILE_OFFSET_BITS=64 on a 32-bit target the
// headers rename open to open64, and a definition of "open" would silently
// become a second open64.
extern "C" {
int FakeOpen(const char* path, int flags, ...) __asm__("open");
int FakeOpen64(const char* path, int flags, ...) __asm__("open64");
ssize_t FakeRead(int fd, void* buf, size_t count) __asm__("read");
int FakeIoctl(int fd, unsigned long request, ...) __asm__("ioctl");
int FakeClose(int fd) __asm__("close");
#if defined(__TIMESIZE) && __TIMESIZE == 32
// What ioctl becomes with _TIME_BITS=64 on a 32-bit target.
int FakeIoctlTime64(int fd, unsigned long request, ...) __asm__("__ioctl_time64");
#endif
}

namespace gpiofake {
namespace {

using OpenFn = int (*)(const char*, int, ...);
using ReadFn = ssize_t (*)(int, void*, size_t);
using IoctlFn = int (*)(int, unsigned long, ...);
using CloseFn = int (*)(int);

template <typename Fn>
Fn Next(const char* name) {
    void* sym = dlsym(RTLD_NEXT, name);
    if (sym == nullptr) {
        std::abort();
    }
    return reinterpret_cast<Fn>(sym);
}

OpenFn RealOpen() {
    static const OpenFn fn = Next<OpenFn>("open");
    return fn;
}
OpenFn RealOpen64() {
    static const OpenFn fn = Next<OpenFn>("open64");
    return fn;
}
ReadFn RealRead() {
    static const ReadFn fn = Next<ReadFn>("read");
    return fn;
}
IoctlFn RealIoctl() {
    static const IoctlFn fn = Next<IoctlFn>("ioctl");
    return fn;
}
CloseFn RealClose() {
    static const CloseFn fn = Next<CloseFn>("close");
    return fn;
}

// Never destroyed: the calls may still come in while the process exits.
std::vector<int>& HeldFds() {
    static std::vector<int>* const fds = new std::vector<int>();
    return *fds;
}

bool IsHeld(int fd) {
    const std::vector<int>& fds = HeldFds();
    return std::find(fds.begin(), fds.end(), fd) != fds.end();
}

bool NeedsMode(int flags) {
#ifdef O_TMPFILE
    if ((flags & O_TMPFILE) == O_TMPFILE) {
        return true;
    }
#endif
    return (flags & O_CREAT) != 0;
}

int Open(OpenFn real, const char* path, int flags, va_list ap) {
    if (path == nullptr || std::strcmp(path, kPath) != 0) {
        if (NeedsMode(flags)) {
            return real(path, flags, va_arg(ap, unsigned int));
        }
        return real(path, flags);
    }
    Device& dev = Dev();
    if (dev.missing) {
        dev.opens.push_back({flags, -1});
        errno = ENOENT;
        return -1;
    }
    // A real descriptor, so its number cannot collide with any other open
    // file and closing it is a real close.
    const int fd = real("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        std::abort();
    }
    HeldFds().push_back(fd);
    dev.opens.push_back({flags, fd});
    return fd;
}

int Ioctl(IoctlFn real, int fd, unsigned long request, va_list ap) {
    if (!IsHeld(fd)) {
        return real(fd, request, va_arg(ap, void*));
    }
    Device& dev = Dev();
    dev.ioctls.push_back({fd, request, va_arg(ap, int)});
    if (dev.ioctlFails) {
        errno = EINVAL;
        return -1;
    }
    return 0;
}

}  // namespace

Device& Dev() {
    static Device* const device = new Device();
    return *device;
}

void Reset() {
    Dev() = Device();
}

std::vector<int> Held() {
    return HeldFds();
}

size_t Calls() {
    const Device& dev = Dev();
    return dev.opens.size() + dev.reads.size() + dev.ioctls.size() + dev.closes.size();
}

}  // namespace gpiofake

using namespace gpiofake;

int FakeOpen(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    const int fd = Open(RealOpen(), path, flags, ap);
    va_end(ap);
    return fd;
}

int FakeOpen64(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    const int fd = Open(RealOpen64(), path, flags, ap);
    va_end(ap);
    return fd;
}

ssize_t FakeRead(int fd, void* buf, size_t count) {
    if (!IsHeld(fd)) {
        return RealRead()(fd, buf, count);
    }
    Device& dev = Dev();
    ReadCall call = {fd, count, {0, 0, 0, 0}};
    if (buf != nullptr) {
        std::memcpy(call.record, buf, std::min(count, sizeof call.record));
    }
    dev.reads.push_back(call);
    switch (dev.readMode) {
        case ReadMode::kFail: errno = EIO; return -1;
        case ReadMode::kShort: return 2;
        case ReadMode::kFill: break;
    }
    if (buf == nullptr || count < 4) {
        errno = EINVAL;
        return -1;
    }
    uint16_t line;
    std::memcpy(&line, buf, sizeof line);
    const auto it = dev.levels.find(line);
    const uint16_t level = it != dev.levels.end() ? it->second : 0;
    std::memcpy(static_cast<unsigned char*>(buf) + 2, &level, sizeof level);
    return 4;
}

int FakeIoctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    const int result = Ioctl(RealIoctl(), fd, request, ap);
    va_end(ap);
    return result;
}

#if defined(__TIMESIZE) && __TIMESIZE == 32
int FakeIoctlTime64(int fd, unsigned long request, ...) {
    static const IoctlFn real = Next<IoctlFn>("__ioctl_time64");
    va_list ap;
    va_start(ap, request);
    const int result = Ioctl(real, fd, request, ap);
    va_end(ap);
    return result;
}
#endif

int FakeClose(int fd) {
    if (IsHeld(fd)) {
        std::vector<int>& fds = HeldFds();
        fds.erase(std::find(fds.begin(), fds.end(), fd));
        Dev().closes.push_back(fd);
    }
    return RealClose()(fd);
}
