// SPDX-License-Identifier: MIT
#include "Interpose.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>

// The plain symbol names go through asm labels rather than through the C
// names: with _FILE_OFFSET_BITS=64 on a 32-bit target the headers rename
// open to open64 (stat to stat64, ...), and a definition of "open" would
// silently become a second open64. Structures whose layout those macros
// change (struct stat, struct dirent) travel as untyped pointers: the layer
// never looks inside them. The _2 and _chk forms are what fortified callers
// reach; the _time64 and 64 forms what 32-bit targets with 64-bit times reach.
extern "C" {
int KqOpen(const char* path, int flags, ...) __asm__("open");
int KqOpen64(const char* path, int flags, ...) __asm__("open64");
int KqOpen2(const char* path, int flags) __asm__("__open_2");
int KqOpen64_2(const char* path, int flags) __asm__("__open64_2");
int KqClose(int fd) __asm__("close");
ssize_t KqRead(int fd, void* buf, size_t count) __asm__("read");
ssize_t KqReadChk(int fd, void* buf, size_t count, size_t size) __asm__("__read_chk");
ssize_t KqWrite(int fd, const void* buf, size_t count) __asm__("write");
int KqIoctl(int fd, unsigned long request, ...) __asm__("ioctl");
int KqFcntl(int fd, int cmd, ...) __asm__("fcntl");
int KqFcntl64(int fd, int cmd, ...) __asm__("fcntl64");
int KqFlock(int fd, int op) __asm__("flock");
int KqTcgetattr(int fd, termios* tio) __asm__("tcgetattr");
int KqTcsetattr(int fd, int action, const termios* tio) __asm__("tcsetattr");
int KqTcflush(int fd, int queue) __asm__("tcflush");
int KqTcdrain(int fd) __asm__("tcdrain");
int KqPoll(pollfd* fds, nfds_t n, int timeoutMs) __asm__("poll");
int KqPollChk(pollfd* fds, nfds_t n, int timeoutMs, size_t size) __asm__("__poll_chk");
int KqPpoll(pollfd* fds, nfds_t n, const void* timeout, const sigset_t* mask) __asm__("ppoll");
int KqPpollChk(pollfd* fds, nfds_t n, const void* timeout, const sigset_t* mask,
               size_t size) __asm__("__ppoll_chk");
int KqUsleep(useconds_t us) __asm__("usleep");
int KqNanosleep(const void* req, void* rem) __asm__("nanosleep");
int KqClockNanosleep(clockid_t clock, int flags, const void* req,
                     void* rem) __asm__("clock_nanosleep");
int KqSocket(int domain, int type, int protocol) __asm__("socket");
int KqSetsockopt(int fd, int level, int name, const void* value,
                 socklen_t len) __asm__("setsockopt");
int KqGetsockopt(int fd, int level, int name, void* value, socklen_t* len) __asm__("getsockopt");
int KqConnect(int fd, const sockaddr* addr, socklen_t len) __asm__("connect");
int KqBind(int fd, const sockaddr* addr, socklen_t len) __asm__("bind");
int KqListen(int fd, int backlog) __asm__("listen");
int KqAccept(int fd, sockaddr* addr, socklen_t* len) __asm__("accept");
int KqAccept4(int fd, sockaddr* addr, socklen_t* len, int flags) __asm__("accept4");
ssize_t KqSend(int fd, const void* buf, size_t count, int flags) __asm__("send");
ssize_t KqSendto(int fd, const void* buf, size_t count, int flags, const sockaddr* to,
                 socklen_t toLen) __asm__("sendto");
ssize_t KqRecv(int fd, void* buf, size_t count, int flags) __asm__("recv");
ssize_t KqRecvChk(int fd, void* buf, size_t count, size_t size, int flags) __asm__("__recv_chk");
ssize_t KqRecvfrom(int fd, void* buf, size_t count, int flags, sockaddr* from,
                   socklen_t* fromLen) __asm__("recvfrom");
ssize_t KqRecvfromChk(int fd, void* buf, size_t count, size_t size, int flags, sockaddr* from,
                      socklen_t* fromLen) __asm__("__recvfrom_chk");
int KqShutdown(int fd, int how) __asm__("shutdown");
int KqGetsockname(int fd, sockaddr* addr, socklen_t* len) __asm__("getsockname");
int KqGetpeername(int fd, sockaddr* addr, socklen_t* len) __asm__("getpeername");
int KqGethostname(char* name, size_t len) __asm__("gethostname");
int KqGethostnameChk(char* name, size_t len, size_t size) __asm__("__gethostname_chk");
hostent* KqGethostbyname(const char* name) __asm__("gethostbyname");
servent* KqGetservbyname(const char* name, const char* proto) __asm__("getservbyname");
int KqStat(const char* path, void* st) __asm__("stat");
int KqStat64(const char* path, void* st) __asm__("stat64");
int KqLstat(const char* path, void* st) __asm__("lstat");
int KqLstat64(const char* path, void* st) __asm__("lstat64");
int KqFstat(int fd, void* st) __asm__("fstat");
int KqFstat64(int fd, void* st) __asm__("fstat64");
int KqFsync(int fd) __asm__("fsync");
int KqFtruncate(int fd, long length) __asm__("ftruncate");
int KqFtruncate64(int fd, long long length) __asm__("ftruncate64");
int KqFchmod(int fd, mode_t mode) __asm__("fchmod");
int KqFchown(int fd, uid_t uid, gid_t gid) __asm__("fchown");
int KqRename(const char* from, const char* to) __asm__("rename");
int KqRenameat2(int fromDir, const char* from, int toDir, const char* to,
                unsigned int flags) __asm__("renameat2");
int KqUnlink(const char* path) __asm__("unlink");
ssize_t KqReadlink(const char* path, char* buf, size_t size) __asm__("readlink");
ssize_t KqReadlinkChk(const char* path, char* buf, size_t size,
                      size_t room) __asm__("__readlink_chk");
char* KqRealpath(const char* path, char* resolved) __asm__("realpath");
void* KqOpendir(const char* path) __asm__("opendir");
void* KqReaddir(void* dir) __asm__("readdir");
void* KqReaddir64(void* dir) __asm__("readdir64");
int KqClosedir(void* dir) __asm__("closedir");
int KqKill(pid_t pid, int sig) __asm__("kill");
#if defined(__TIMESIZE) && __TIMESIZE == 32
// What these become with _TIME_BITS=64 on a 32-bit target.
int KqIoctlTime64(int fd, unsigned long request, ...) __asm__("__ioctl_time64");
int KqFcntlTime64(int fd, int cmd, ...) __asm__("__fcntl_time64");
int KqPpoll64(pollfd* fds, nfds_t n, const void* timeout,
              const sigset_t* mask) __asm__("__ppoll64");
int KqPpoll64Chk(pollfd* fds, nfds_t n, const void* timeout, const sigset_t* mask,
                 size_t size) __asm__("__ppoll64_chk");
int KqNanosleep64(const void* req, void* rem) __asm__("__nanosleep64");
int KqClockNanosleep64(clockid_t clock, int flags, const void* req,
                       void* rem) __asm__("__clock_nanosleep_time64");
int KqSetsockopt64(int fd, int level, int name, const void* value,
                   socklen_t len) __asm__("__setsockopt64");
int KqGetsockopt64(int fd, int level, int name, void* value,
                   socklen_t* len) __asm__("__getsockopt64");
int KqStatTime64(const char* path, void* st) __asm__("__stat64_time64");
int KqLstatTime64(const char* path, void* st) __asm__("__lstat64_time64");
int KqFstatTime64(int fd, void* st) __asm__("__fstat64_time64");
#endif
}

namespace kqtest {
namespace interpose {

namespace {

// The address the current function returns to; on ARM without the bit that
// marks Thumb code.
#if defined(__arm__)
#define KQ_CALLER() (reinterpret_cast<uintptr_t>(__builtin_return_address(0)) & ~uintptr_t{1})
#else
#define KQ_CALLER() reinterpret_cast<uintptr_t>(__builtin_return_address(0))
#endif

template <typename F>
F Next(const char* name) {
    void* sym = dlsym(RTLD_NEXT, name);
    if (sym == nullptr) {
        std::abort();
    }
    return reinterpret_cast<F>(sym);
}

// The real function of a name, looked up once per definition that needs it.
#define KQ_REAL(type, name)                    \
    static const auto real = Next<type>(name); \
    static_cast<void>(0)

const char* const kNames[] = {
#define KQTEST_FN_NAME(name) #name,
    KQTEST_INTERPOSED(KQTEST_FN_NAME)
#undef KQTEST_FN_NAME
};

// A fixed table, read without a lock: a call never allocates or waits in
// the layer (a child forked while another thread is in a call must not find
// a lock held), and handlers may make calls themselves.
constexpr int kMaxHandlers = 16;
std::atomic<Handler*> g_handlers[kMaxHandlers];
std::mutex g_changeLock;  // Add and Remove only

template <typename Visit>
void ForEach(Visit visit) {
    for (std::atomic<Handler*>& slot : g_handlers) {
        Handler* handler = slot.load(std::memory_order_acquire);
        if (handler == nullptr) {
            return;
        }
        if (visit(handler)) {
            return;
        }
    }
}

// One call through the layer: the first handler that fails it, else make()
// (the stand-ins, then the real function); then every handler hears of the
// outcome. failValue is what the function returns on failure.
template <typename Make>
long Through(Call& call, long failValue, Make make) {
    int err = 0;
    bool failed = false;
    ForEach([&](Handler* h) { return failed = h->Fail(call, &err); });
    long result = failValue;
    if (failed) {
        if (call.fn == Fn::close || call.fn == Fn::closedir) {
            static_cast<void>(make());  // Linux frees the descriptor whatever close reports
        }
    } else {
        result = make();
        err = result == failValue ? errno : 0;
    }
    const int saved = failed ? err : errno;
    ForEach([&](Handler* h) {
        h->Done(call, result, err);
        return false;
    });
    errno = saved;
    return result;
}

Call MakeCall(Fn fn, uintptr_t caller, int fd = -1, long op = 0) {
    Call call;
    call.fn = fn;
    call.caller = caller;
    call.fd = fd;
    call.op = op;
    return call;
}

bool NeedsMode(int flags) {
#ifdef O_TMPFILE
    if ((flags & O_TMPFILE) == O_TMPFILE) {
        return true;
    }
#endif
    return (flags & O_CREAT) != 0;
}

mode_t ModeArg(int flags, va_list ap) {
    return NeedsMode(flags) ? static_cast<mode_t>(va_arg(ap, unsigned int)) : 0;
}

int Open(uintptr_t caller, const char* path, int flags, mode_t mode) {
    Call call = MakeCall(Fn::open, caller, -1, flags);
    call.path = path;
    return static_cast<int>(Through(call, -1, [&]() -> long {
        int result = -1;
        bool answered = false;
        ForEach([&](Handler* h) { return answered = h->Open(path, flags, &result); });
        return answered ? result : RealOpen(path, flags, mode);
    }));
}

ssize_t Read(uintptr_t caller, int fd, void* buf, size_t count) {
    Call call = MakeCall(Fn::read, caller, fd);
    call.count = &count;
    return static_cast<ssize_t>(Through(call, -1, [&]() -> long {
        ssize_t result = -1;
        bool answered = false;
        ForEach([&](Handler* h) { return answered = h->Read(fd, buf, count, &result); });
        return answered ? result : RealRead(fd, buf, count);
    }));
}

int Ioctl(uintptr_t caller, int (*real)(int, unsigned long, ...), int fd, unsigned long request,
          void* arg) {
    Call call = MakeCall(Fn::ioctl, caller, fd, static_cast<long>(request));
    call.data = arg;
    return static_cast<int>(Through(call, -1, [&]() -> long {
        int result = -1;
        bool answered = false;
        ForEach([&](Handler* h) { return answered = h->Ioctl(fd, request, arg, &result); });
        return answered ? result : real(fd, request, arg);
    }));
}

using FcntlFn = int (*)(int, int, ...);
int Fcntl(uintptr_t caller, FcntlFn real, int fd, int cmd, void* arg) {
    Call call = MakeCall(Fn::fcntl, caller, fd, cmd);
    return static_cast<int>(Through(call, -1, [&]() -> long { return real(fd, cmd, arg); }));
}

using PpollFn = int (*)(pollfd*, nfds_t, const void*, const sigset_t*);
int Ppoll(uintptr_t caller, PpollFn real, pollfd* fds, nfds_t n, const void* timeout,
          const sigset_t* mask) {
    Call call = MakeCall(Fn::ppoll, caller, n > 0 && fds != nullptr ? fds[0].fd : -1);
    return static_cast<int>(
        Through(call, -1, [&]() -> long { return real(fds, n, timeout, mask); }));
}

int Poll(uintptr_t caller, pollfd* fds, nfds_t n, int timeoutMs) {
    KQ_REAL(int (*)(pollfd*, nfds_t, int), "poll");
    Call call = MakeCall(Fn::poll, caller, n > 0 && fds != nullptr ? fds[0].fd : -1, timeoutMs);
    return static_cast<int>(Through(call, -1, [&]() -> long { return real(fds, n, timeoutMs); }));
}

using NanosleepFn = int (*)(const void*, void*);
int Nanosleep(uintptr_t caller, NanosleepFn real, const void* req, void* rem) {
    Call call = MakeCall(Fn::nanosleep, caller);
    return static_cast<int>(Through(call, -1, [&]() -> long { return real(req, rem); }));
}

using ClockNanosleepFn = int (*)(clockid_t, int, const void*, void*);
// The one call here that returns its error instead of setting errno.
int ClockNanosleep(uintptr_t caller, ClockNanosleepFn real, clockid_t clock, int flags,
                   const void* req, void* rem) {
    Call call = MakeCall(Fn::clock_nanosleep, caller, -1, flags);
    int err = 0;
    bool failed = false;
    ForEach([&](Handler* h) { return failed = h->Fail(call, &err); });
    const int result = failed ? err : real(clock, flags, req, rem);
    ForEach([&](Handler* h) {
        h->Done(call, result == 0 ? 0 : -1, result);
        return false;
    });
    return result;
}

using SetsockoptFn = int (*)(int, int, int, const void*, socklen_t);
int Setsockopt(uintptr_t caller, SetsockoptFn real, int fd, int level, int name, const void* value,
               socklen_t len) {
    Call call = MakeCall(Fn::setsockopt, caller, fd, name);
    call.data = value;
    return static_cast<int>(
        Through(call, -1, [&]() -> long { return real(fd, level, name, value, len); }));
}

using GetsockoptFn = int (*)(int, int, int, void*, socklen_t*);
int Getsockopt(uintptr_t caller, GetsockoptFn real, int fd, int level, int name, void* value,
               socklen_t* len) {
    Call call = MakeCall(Fn::getsockopt, caller, fd, name);
    return static_cast<int>(
        Through(call, -1, [&]() -> long { return real(fd, level, name, value, len); }));
}

ssize_t Recv(uintptr_t caller, int fd, void* buf, size_t count, int flags) {
    KQ_REAL(ssize_t(*)(int, void*, size_t, int), "recv");
    Call call = MakeCall(Fn::recv, caller, fd, flags);
    call.count = &count;
    return static_cast<ssize_t>(
        Through(call, -1, [&]() -> long { return real(fd, buf, count, flags); }));
}

ssize_t Recvfrom(uintptr_t caller, int fd, void* buf, size_t count, int flags, sockaddr* from,
                 socklen_t* fromLen) {
    KQ_REAL(ssize_t(*)(int, void*, size_t, int, sockaddr*, socklen_t*), "recvfrom");
    Call call = MakeCall(Fn::recvfrom, caller, fd, flags);
    call.count = &count;
    return static_cast<ssize_t>(
        Through(call, -1, [&]() -> long { return real(fd, buf, count, flags, from, fromLen); }));
}

using StatFn = int (*)(const char*, void*);
int StatLike(uintptr_t caller, Fn fn, StatFn real, const char* path, void* st) {
    Call call = MakeCall(fn, caller);
    call.path = path;
    return static_cast<int>(Through(call, -1, [&]() -> long { return real(path, st); }));
}

using FstatFn = int (*)(int, void*);
int Fstat(uintptr_t caller, FstatFn real, int fd, void* st) {
    Call call = MakeCall(Fn::fstat, caller, fd);
    return static_cast<int>(Through(call, -1, [&]() -> long { return real(fd, st); }));
}

ssize_t Readlink(uintptr_t caller, const char* path, char* buf, size_t size) {
    KQ_REAL(ssize_t(*)(const char*, char*, size_t), "readlink");
    Call call = MakeCall(Fn::readlink, caller);
    call.path = path;
    return static_cast<ssize_t>(Through(call, -1, [&]() -> long { return real(path, buf, size); }));
}

int Gethostname(uintptr_t caller, char* name, size_t len) {
    KQ_REAL(int (*)(char*, size_t), "gethostname");
    Call call = MakeCall(Fn::gethostname, caller);
    return static_cast<int>(Through(call, -1, [&]() -> long { return real(name, len); }));
}

using ReaddirFn = void* (*)(void*);
void* Readdir(uintptr_t caller, ReaddirFn real, void* dir) {
    Call call = MakeCall(Fn::readdir, caller);
    return reinterpret_cast<void*>(
        Through(call, 0, [&]() -> long { return reinterpret_cast<long>(real(dir)); }));
}

// Every name defined below, with the function it stands for.
struct Symbol {
    const char* name;
    Fn fn;
};
const Symbol kSymbols[] = {
    {"open64", Fn::open},
    {"__open_2", Fn::open},
    {"__open64_2", Fn::open},
    {"__read_chk", Fn::read},
    {"fcntl64", Fn::fcntl},
    {"__fcntl_time64", Fn::fcntl},
    {"__ioctl_time64", Fn::ioctl},
    {"__poll_chk", Fn::poll},
    {"__ppoll_chk", Fn::ppoll},
    {"__ppoll64", Fn::ppoll},
    {"__ppoll64_chk", Fn::ppoll},
    {"__nanosleep64", Fn::nanosleep},
    {"__setsockopt64", Fn::setsockopt},
    {"__getsockopt64", Fn::getsockopt},
    {"__recv_chk", Fn::recv},
    {"__recvfrom_chk", Fn::recvfrom},
    {"__gethostname_chk", Fn::gethostname},
    {"stat64", Fn::stat},
    {"__stat64_time64", Fn::stat},
    {"lstat64", Fn::lstat},
    {"__lstat64_time64", Fn::lstat},
    {"fstat64", Fn::fstat},
    {"__fstat64_time64", Fn::fstat},
    {"ftruncate64", Fn::ftruncate},
    {"__readlink_chk", Fn::readlink},
    {"readdir64", Fn::readdir},
};

}  // namespace

bool FnBySymbol(const char* symbol, Fn* fn) {
    for (const Symbol& s : kSymbols) {
        if (std::strcmp(s.name, symbol) == 0) {
            *fn = s.fn;
            return true;
        }
    }
    return FnByName(symbol, fn);
}

const char* FnName(Fn fn) {
    const int i = static_cast<int>(fn);
    return i >= 0 && i < kFnCount ? kNames[i] : "?";
}

bool FnByName(const char* name, Fn* fn) {
    for (int i = 0; i < kFnCount; ++i) {
        if (std::strcmp(kNames[i], name) == 0) {
            *fn = static_cast<Fn>(i);
            return true;
        }
    }
    return false;
}

void Add(Handler* handler) {
    std::lock_guard<std::mutex> hold(g_changeLock);
    for (std::atomic<Handler*>& slot : g_handlers) {
        if (slot.load() == nullptr) {
            slot.store(handler, std::memory_order_release);
            return;
        }
    }
    std::abort();  // more handlers than any test needs
}

void Remove(Handler* handler) {
    std::lock_guard<std::mutex> hold(g_changeLock);
    int to = 0;
    for (int from = 0; from < kMaxHandlers; ++from) {
        Handler* h = g_handlers[from].load();
        if (h != handler) {
            g_handlers[to++].store(h, std::memory_order_release);
        }
    }
    while (to < kMaxHandlers) {
        g_handlers[to++].store(nullptr, std::memory_order_release);
    }
}

int RealOpen(const char* path, int flags, mode_t mode) {
    KQ_REAL(int (*)(const char*, int, ...), "open64");
    return NeedsMode(flags) ? real(path, flags, mode) : real(path, flags);
}

ssize_t RealRead(int fd, void* buf, size_t count) {
    KQ_REAL(ssize_t(*)(int, void*, size_t), "read");
    return real(fd, buf, count);
}

int RealIoctl(int fd, unsigned long request, void* arg) {
    KQ_REAL(int (*)(int, unsigned long, ...), "ioctl");
    return real(fd, request, arg);
}

int RealClose(int fd) {
    KQ_REAL(int (*)(int), "close");
    return real(fd);
}

int RealConnect(int fd, const sockaddr* addr, socklen_t length) {
    KQ_REAL(int (*)(int, const sockaddr*, socklen_t), "connect");
    return real(fd, addr, length);
}

SyslogAt::SyslogAt(std::string path) : path_(std::move(path)) {}

bool SyslogAt::Connect(int fd, const sockaddr* addr, socklen_t length, int* result) {
    const auto* un = reinterpret_cast<const sockaddr_un*>(addr);
    if (addr->sa_family != AF_UNIX || length <= offsetof(sockaddr_un, sun_path) ||
        std::strcmp(un->sun_path, "/dev/log") != 0) {
        return false;
    }
    sockaddr_un to{};
    to.sun_family = AF_UNIX;
    std::snprintf(to.sun_path, sizeof to.sun_path, "%s", path_.c_str());
    *result = RealConnect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    return true;
}

}  // namespace interpose
}  // namespace kqtest

using namespace kqtest::interpose;

int KqOpen(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = ModeArg(flags, ap);
    va_end(ap);
    return Open(KQ_CALLER(), path, flags, mode);
}

int KqOpen64(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = ModeArg(flags, ap);
    va_end(ap);
    return Open(KQ_CALLER(), path, flags, mode);
}

int KqOpen2(const char* path, int flags) {
    return Open(KQ_CALLER(), path, flags, 0);
}

int KqOpen64_2(const char* path, int flags) {
    return Open(KQ_CALLER(), path, flags, 0);
}

int KqClose(int fd) {
    Call call = MakeCall(Fn::close, KQ_CALLER(), fd);
    ForEach([&](Handler* h) {
        h->Closing(fd);
        return false;
    });
    return static_cast<int>(Through(call, -1, [&]() -> long { return RealClose(fd); }));
}

ssize_t KqRead(int fd, void* buf, size_t count) {
    return Read(KQ_CALLER(), fd, buf, count);
}

ssize_t KqReadChk(int fd, void* buf, size_t count, size_t size) {
    if (count > size) {
        std::abort();  // what the fortified read does
    }
    return Read(KQ_CALLER(), fd, buf, count);
}

ssize_t KqWrite(int fd, const void* buf, size_t count) {
    KQ_REAL(ssize_t(*)(int, const void*, size_t), "write");
    Call call = MakeCall(Fn::write, KQ_CALLER(), fd);
    call.count = &count;
    return static_cast<ssize_t>(Through(call, -1, [&]() -> long { return real(fd, buf, count); }));
}

int KqIoctl(int fd, unsigned long request, ...) {
    KQ_REAL(int (*)(int, unsigned long, ...), "ioctl");
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    return Ioctl(KQ_CALLER(), real, fd, request, arg);
}

int KqFcntl(int fd, int cmd, ...) {
    KQ_REAL(FcntlFn, "fcntl");
    va_list ap;
    va_start(ap, cmd);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    return Fcntl(KQ_CALLER(), real, fd, cmd, arg);
}

int KqFcntl64(int fd, int cmd, ...) {
    KQ_REAL(FcntlFn, "fcntl64");
    va_list ap;
    va_start(ap, cmd);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    return Fcntl(KQ_CALLER(), real, fd, cmd, arg);
}

int KqFlock(int fd, int op) {
    KQ_REAL(int (*)(int, int), "flock");
    Call call = MakeCall(Fn::flock, KQ_CALLER(), fd, op);
    return static_cast<int>(Through(call, -1, [&]() -> long { return real(fd, op); }));
}

int KqTcgetattr(int fd, termios* tio) {
    KQ_REAL(int (*)(int, termios*), "tcgetattr");
    Call call = MakeCall(Fn::tcgetattr, KQ_CALLER(), fd);
    return static_cast<int>(Through(call, -1, [&]() -> long { return real(fd, tio); }));
}

int KqTcsetattr(int fd, int action, const termios* tio) {
    KQ_REAL(int (*)(int, int, const termios*), "tcsetattr");
    Call call = MakeCall(Fn::tcsetattr, KQ_CALLER(), fd, action);
    call.data = tio;
    return static_cast<int>(Through(call, -1, [&]() -> long { return real(fd, action, tio); }));
}

int KqTcflush(int fd, int queue) {
    KQ_REAL(int (*)(int, int), "tcflush");
    Call call = MakeCall(Fn::tcflush, KQ_CALLER(), fd, queue);
    return static_cast<int>(Through(call, -1, [&]() -> long { return real(fd, queue); }));
}

int KqPoll(pollfd* fds, nfds_t n, int timeoutMs) {
    return Poll(KQ_CALLER(), fds, n, timeoutMs);
}

int KqPollChk(pollfd* fds, nfds_t n, int timeoutMs, size_t size) {
    if (size / sizeof *fds < n) {
        std::abort();
    }
    return Poll(KQ_CALLER(), fds, n, timeoutMs);
}

int KqPpoll(pollfd* fds, nfds_t n, const void* timeout, const sigset_t* mask) {
    KQ_REAL(PpollFn, "ppoll");
    return Ppoll(KQ_CALLER(), real, fds, n, timeout, mask);
}

int KqPpollChk(pollfd* fds, nfds_t n, const void* timeout, const sigset_t* mask, size_t size) {
    KQ_REAL(PpollFn, "ppoll");
    if (size / sizeof *fds < n) {
        std::abort();
    }
    return Ppoll(KQ_CALLER(), real, fds, n, timeout, mask);
}

int KqTcdrain(int fd) {
    KQ_REAL(int (*)(int), "tcdrain");
    Call call = MakeCall(Fn::tcdrain, KQ_CALLER(), fd);
    return static_cast<int>(Through(call, -1, [&]() -> long { return real(fd); }));
}

int KqClockNanosleep(clockid_t clock, int flags, const void* req, void* rem) {
    KQ_REAL(ClockNanosleepFn, "clock_nanosleep");
    return ClockNanosleep(KQ_CALLER(), real, clock, flags, req, rem);
}

int KqUsleep(useconds_t us) {
    KQ_REAL(int (*)(useconds_t), "usleep");
    Call call = MakeCall(Fn::usleep, KQ_CALLER(), -1, static_cast<long>(us));
    return static_cast<int>(Through(call, -1, [&]() -> long { return real(us); }));
}

int KqNanosleep(const void* req, void* rem) {
    KQ_REAL(NanosleepFn, "nanosleep");
    return Nanosleep(KQ_CALLER(), real, req, rem);
}

int KqSocket(int domain, int type, int protocol) {
    KQ_REAL(int (*)(int, int, int), "socket");
    Call call = MakeCall(Fn::socket, KQ_CALLER(), -1, type);
    return static_cast<int>(
        Through(call, -1, [&]() -> long { return real(domain, type, protocol); }));
}

int KqSetsockopt(int fd, int level, int name, const void* value, socklen_t len) {
    KQ_REAL(SetsockoptFn, "setsockopt");
    return Setsockopt(KQ_CALLER(), real, fd, level, name, value, len);
}

int KqGetsockopt(int fd, int level, int name, void* value, socklen_t* len) {
    KQ_REAL(GetsockoptFn, "getsockopt");
    return Getsockopt(KQ_CALLER(), real, fd, level, name, value, len);
}

int KqConnect(int fd, const sockaddr* addr, socklen_t len) {
    Call call = MakeCall(Fn::connect, KQ_CALLER(), fd);
    return static_cast<int>(Through(call, -1, [&]() -> long {
        int result = -1;
        bool answered = false;
        ForEach([&](Handler* h) { return answered = h->Connect(fd, addr, len, &result); });
        return answered ? result : RealConnect(fd, addr, len);
    }));
}

int KqBind(int fd, const sockaddr* addr, socklen_t len) {
    KQ_REAL(int (*)(int, const sockaddr*, socklen_t), "bind");
    Call call = MakeCall(Fn::bind, KQ_CALLER(), fd);
    return static_cast<int>(Through(call, -1, [&]() -> long { return real(fd, addr, len); }));
}

int KqListen(int fd, int backlog) {
    KQ_REAL(int (*)(int, int), "listen");
    Call call = MakeCall(Fn::listen, KQ_CALLER(), fd, backlog);
    return static_cast<int>(Through(call, -1, [&]() -> long { return real(fd, backlog); }));
}

int KqAccept(int fd, sockaddr* addr, socklen_t* len) {
    KQ_REAL(int (*)(int, sockaddr*, socklen_t*), "accept");
    Call call = MakeCall(Fn::accept, KQ_CALLER(), fd);
    return static_cast<int>(Through(call, -1, [&]() -> long { return real(fd, addr, len); }));
}

int KqAccept4(int fd, sockaddr* addr, socklen_t* len, int flags) {
    KQ_REAL(int (*)(int, sockaddr*, socklen_t*, int), "accept4");
    Call call = MakeCall(Fn::accept4, KQ_CALLER(), fd, flags);
    return static_cast<int>(
        Through(call, -1, [&]() -> long { return real(fd, addr, len, flags); }));
}

ssize_t KqSend(int fd, const void* buf, size_t count, int flags) {
    KQ_REAL(ssize_t(*)(int, const void*, size_t, int), "send");
    Call call = MakeCall(Fn::send, KQ_CALLER(), fd, flags);
    call.count = &count;
    return static_cast<ssize_t>(
        Through(call, -1, [&]() -> long { return real(fd, buf, count, flags); }));
}

ssize_t KqSendto(int fd, const void* buf, size_t count, int flags, const sockaddr* to,
                 socklen_t toLen) {
    KQ_REAL(ssize_t(*)(int, const void*, size_t, int, const sockaddr*, socklen_t), "sendto");
    Call call = MakeCall(Fn::sendto, KQ_CALLER(), fd, flags);
    call.count = &count;
    return static_cast<ssize_t>(
        Through(call, -1, [&]() -> long { return real(fd, buf, count, flags, to, toLen); }));
}

ssize_t KqRecv(int fd, void* buf, size_t count, int flags) {
    return Recv(KQ_CALLER(), fd, buf, count, flags);
}

ssize_t KqRecvChk(int fd, void* buf, size_t count, size_t size, int flags) {
    if (count > size) {
        std::abort();
    }
    return Recv(KQ_CALLER(), fd, buf, count, flags);
}

ssize_t KqRecvfrom(int fd, void* buf, size_t count, int flags, sockaddr* from, socklen_t* fromLen) {
    return Recvfrom(KQ_CALLER(), fd, buf, count, flags, from, fromLen);
}

ssize_t KqRecvfromChk(int fd, void* buf, size_t count, size_t size, int flags, sockaddr* from,
                      socklen_t* fromLen) {
    if (count > size) {
        std::abort();
    }
    return Recvfrom(KQ_CALLER(), fd, buf, count, flags, from, fromLen);
}

int KqShutdown(int fd, int how) {
    KQ_REAL(int (*)(int, int), "shutdown");
    Call call = MakeCall(Fn::shutdown, KQ_CALLER(), fd, how);
    return static_cast<int>(Through(call, -1, [&]() -> long { return real(fd, how); }));
}

int KqGetsockname(int fd, sockaddr* addr, socklen_t* len) {
    KQ_REAL(int (*)(int, sockaddr*, socklen_t*), "getsockname");
    Call call = MakeCall(Fn::getsockname, KQ_CALLER(), fd);
    return static_cast<int>(Through(call, -1, [&]() -> long { return real(fd, addr, len); }));
}

int KqGetpeername(int fd, sockaddr* addr, socklen_t* len) {
    KQ_REAL(int (*)(int, sockaddr*, socklen_t*), "getpeername");
    Call call = MakeCall(Fn::getpeername, KQ_CALLER(), fd);
    return static_cast<int>(Through(call, -1, [&]() -> long { return real(fd, addr, len); }));
}

int KqGethostname(char* name, size_t len) {
    return Gethostname(KQ_CALLER(), name, len);
}

int KqGethostnameChk(char* name, size_t len, size_t size) {
    if (len > size) {
        std::abort();
    }
    return Gethostname(KQ_CALLER(), name, len);
}

hostent* KqGethostbyname(const char* name) {
    KQ_REAL(hostent * (*)(const char*), "gethostbyname");
    Call call = MakeCall(Fn::gethostbyname, KQ_CALLER());
    call.path = name;
    int herr = 0;
    bool failed = false;
    ForEach([&](Handler* h) { return failed = h->Fail(call, &herr); });
    hostent* result = nullptr;
    if (failed) {
        h_errno = herr;
    } else {
        result = real(name);
    }
    const int saved = errno;
    ForEach([&](Handler* h) {
        h->Done(call, reinterpret_cast<long>(result), result == nullptr ? h_errno : 0);
        return false;
    });
    errno = saved;
    return result;
}

servent* KqGetservbyname(const char* name, const char* proto) {
    KQ_REAL(servent * (*)(const char*, const char*), "getservbyname");
    Call call = MakeCall(Fn::getservbyname, KQ_CALLER());
    return reinterpret_cast<servent*>(
        Through(call, 0, [&]() -> long { return reinterpret_cast<long>(real(name, proto)); }));
}

int KqStat(const char* path, void* st) {
    KQ_REAL(StatFn, "stat");
    return StatLike(KQ_CALLER(), Fn::stat, real, path, st);
}

int KqStat64(const char* path, void* st) {
    KQ_REAL(StatFn, "stat64");
    return StatLike(KQ_CALLER(), Fn::stat, real, path, st);
}

int KqLstat(const char* path, void* st) {
    KQ_REAL(StatFn, "lstat");
    return StatLike(KQ_CALLER(), Fn::lstat, real, path, st);
}

int KqLstat64(const char* path, void* st) {
    KQ_REAL(StatFn, "lstat64");
    return StatLike(KQ_CALLER(), Fn::lstat, real, path, st);
}

int KqFstat(int fd, void* st) {
    KQ_REAL(FstatFn, "fstat");
    return Fstat(KQ_CALLER(), real, fd, st);
}

int KqFstat64(int fd, void* st) {
    KQ_REAL(FstatFn, "fstat64");
    return Fstat(KQ_CALLER(), real, fd, st);
}

int KqFsync(int fd) {
    KQ_REAL(int (*)(int), "fsync");
    Call call = MakeCall(Fn::fsync, KQ_CALLER(), fd);
    return static_cast<int>(Through(call, -1, [&]() -> long { return real(fd); }));
}

int KqFtruncate(int fd, long length) {
    KQ_REAL(int (*)(int, long), "ftruncate");
    Call call = MakeCall(Fn::ftruncate, KQ_CALLER(), fd);
    return static_cast<int>(Through(call, -1, [&]() -> long { return real(fd, length); }));
}

int KqFtruncate64(int fd, long long length) {
    KQ_REAL(int (*)(int, long long), "ftruncate64");
    Call call = MakeCall(Fn::ftruncate, KQ_CALLER(), fd);
    return static_cast<int>(Through(call, -1, [&]() -> long { return real(fd, length); }));
}

int KqFchmod(int fd, mode_t mode) {
    KQ_REAL(int (*)(int, mode_t), "fchmod");
    Call call = MakeCall(Fn::fchmod, KQ_CALLER(), fd);
    return static_cast<int>(Through(call, -1, [&]() -> long { return real(fd, mode); }));
}

int KqFchown(int fd, uid_t uid, gid_t gid) {
    KQ_REAL(int (*)(int, uid_t, gid_t), "fchown");
    Call call = MakeCall(Fn::fchown, KQ_CALLER(), fd);
    return static_cast<int>(Through(call, -1, [&]() -> long { return real(fd, uid, gid); }));
}

int KqRename(const char* from, const char* to) {
    KQ_REAL(int (*)(const char*, const char*), "rename");
    Call call = MakeCall(Fn::rename, KQ_CALLER());
    call.path = to;
    return static_cast<int>(Through(call, -1, [&]() -> long { return real(from, to); }));
}

int KqRenameat2(int fromDir, const char* from, int toDir, const char* to, unsigned int flags) {
    KQ_REAL(int (*)(int, const char*, int, const char*, unsigned int), "renameat2");
    Call call = MakeCall(Fn::renameat2, KQ_CALLER(), -1, static_cast<long>(flags));
    call.path = to;
    return static_cast<int>(
        Through(call, -1, [&]() -> long { return real(fromDir, from, toDir, to, flags); }));
}

int KqUnlink(const char* path) {
    KQ_REAL(int (*)(const char*), "unlink");
    Call call = MakeCall(Fn::unlink, KQ_CALLER());
    call.path = path;
    return static_cast<int>(Through(call, -1, [&]() -> long { return real(path); }));
}

ssize_t KqReadlink(const char* path, char* buf, size_t size) {
    return Readlink(KQ_CALLER(), path, buf, size);
}

ssize_t KqReadlinkChk(const char* path, char* buf, size_t size, size_t room) {
    if (size > room) {
        std::abort();
    }
    return Readlink(KQ_CALLER(), path, buf, size);
}

char* KqRealpath(const char* path, char* resolved) {
    KQ_REAL(char* (*)(const char*, char*), "realpath");
    Call call = MakeCall(Fn::realpath, KQ_CALLER());
    call.path = path;
    return reinterpret_cast<char*>(
        Through(call, 0, [&]() -> long { return reinterpret_cast<long>(real(path, resolved)); }));
}

void* KqOpendir(const char* path) {
    KQ_REAL(void* (*)(const char*), "opendir");
    Call call = MakeCall(Fn::opendir, KQ_CALLER());
    call.path = path;
    return reinterpret_cast<void*>(
        Through(call, 0, [&]() -> long { return reinterpret_cast<long>(real(path)); }));
}

void* KqReaddir(void* dir) {
    KQ_REAL(ReaddirFn, "readdir");
    return Readdir(KQ_CALLER(), real, dir);
}

void* KqReaddir64(void* dir) {
    KQ_REAL(ReaddirFn, "readdir64");
    return Readdir(KQ_CALLER(), real, dir);
}

int KqClosedir(void* dir) {
    KQ_REAL(int (*)(void*), "closedir");
    Call call = MakeCall(Fn::closedir, KQ_CALLER());
    call.data = dir;
    return static_cast<int>(Through(call, -1, [&]() -> long { return real(dir); }));
}

int KqKill(pid_t pid, int sig) {
    KQ_REAL(int (*)(pid_t, int), "kill");
    Call call = MakeCall(Fn::kill, KQ_CALLER(), -1, sig);
    return static_cast<int>(Through(call, -1, [&]() -> long { return real(pid, sig); }));
}

#if defined(__TIMESIZE) && __TIMESIZE == 32
int KqIoctlTime64(int fd, unsigned long request, ...) {
    KQ_REAL(int (*)(int, unsigned long, ...), "__ioctl_time64");
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    return Ioctl(KQ_CALLER(), real, fd, request, arg);
}

int KqFcntlTime64(int fd, int cmd, ...) {
    KQ_REAL(FcntlFn, "__fcntl_time64");
    va_list ap;
    va_start(ap, cmd);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    return Fcntl(KQ_CALLER(), real, fd, cmd, arg);
}

int KqPpoll64(pollfd* fds, nfds_t n, const void* timeout, const sigset_t* mask) {
    KQ_REAL(PpollFn, "__ppoll64");
    return Ppoll(KQ_CALLER(), real, fds, n, timeout, mask);
}

int KqPpoll64Chk(pollfd* fds, nfds_t n, const void* timeout, const sigset_t* mask, size_t size) {
    KQ_REAL(PpollFn, "__ppoll64");
    if (size / sizeof *fds < n) {
        std::abort();
    }
    return Ppoll(KQ_CALLER(), real, fds, n, timeout, mask);
}

int KqNanosleep64(const void* req, void* rem) {
    KQ_REAL(NanosleepFn, "__nanosleep64");
    return Nanosleep(KQ_CALLER(), real, req, rem);
}

int KqClockNanosleep64(clockid_t clock, int flags, const void* req, void* rem) {
    KQ_REAL(ClockNanosleepFn, "__clock_nanosleep_time64");
    return ClockNanosleep(KQ_CALLER(), real, clock, flags, req, rem);
}

int KqSetsockopt64(int fd, int level, int name, const void* value, socklen_t len) {
    KQ_REAL(SetsockoptFn, "__setsockopt64");
    return Setsockopt(KQ_CALLER(), real, fd, level, name, value, len);
}

int KqGetsockopt64(int fd, int level, int name, void* value, socklen_t* len) {
    KQ_REAL(GetsockoptFn, "__getsockopt64");
    return Getsockopt(KQ_CALLER(), real, fd, level, name, value, len);
}

int KqStatTime64(const char* path, void* st) {
    KQ_REAL(StatFn, "__stat64_time64");
    return StatLike(KQ_CALLER(), Fn::stat, real, path, st);
}

int KqLstatTime64(const char* path, void* st) {
    KQ_REAL(StatFn, "__lstat64_time64");
    return StatLike(KQ_CALLER(), Fn::lstat, real, path, st);
}

int KqFstatTime64(int fd, void* st) {
    KQ_REAL(FstatFn, "__fstat64_time64");
    return Fstat(KQ_CALLER(), real, fd, st);
}
#endif
