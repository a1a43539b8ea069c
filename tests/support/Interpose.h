// SPDX-License-Identifier: MIT
// The test executables' one interposition layer over the C library: it
// defines every system and C library call the library makes (and the
// fortified, 64-bit and _time64 names a build reaches instead), offers each
// call to the handlers registered here (the GPIO stand-in, the tcsetattr spy,
// fault injection), and passes what none of them answers to the real
// function. Linked into a test executable, or built into an LD_PRELOAD
// module. Never part of the library.
#ifndef KQTEST_INTERPOSE_H
#define KQTEST_INTERPOSE_H

#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace kqtest {
namespace interpose {

// The functions the layer stands in front of, one row each. A call that the
// library starts to make becomes a row here and its definitions in
// Interpose.cpp (with the other names a build may reach it by).
#define KQTEST_INTERPOSED(X) \
    X(open)                  \
    X(close)                 \
    X(read)                  \
    X(write)                 \
    X(ioctl)                 \
    X(fcntl)                 \
    X(flock)                 \
    X(tcgetattr)             \
    X(tcsetattr)             \
    X(tcflush)               \
    X(tcdrain)               \
    X(poll)                  \
    X(ppoll)                 \
    X(usleep)                \
    X(nanosleep)             \
    X(clock_nanosleep)       \
    X(socket)                \
    X(setsockopt)            \
    X(getsockopt)            \
    X(connect)               \
    X(bind)                  \
    X(listen)                \
    X(accept)                \
    X(accept4)               \
    X(send)                  \
    X(sendto)                \
    X(recv)                  \
    X(recvfrom)              \
    X(shutdown)              \
    X(getsockname)           \
    X(getpeername)           \
    X(gethostname)           \
    X(gethostbyname)         \
    X(getservbyname)         \
    X(stat)                  \
    X(lstat)                 \
    X(fstat)                 \
    X(fsync)                 \
    X(ftruncate)             \
    X(fchmod)                \
    X(fchown)                \
    X(rename)                \
    X(renameat2)             \
    X(unlink)                \
    X(readlink)              \
    X(realpath)              \
    X(opendir)               \
    X(readdir)               \
    X(closedir)              \
    X(kill)

#define KQTEST_FN_ENUM(name) name,
enum class Fn : int { KQTEST_INTERPOSED(KQTEST_FN_ENUM) kCount };
#undef KQTEST_FN_ENUM

constexpr int kFnCount = static_cast<int>(Fn::kCount);

// The C name of a function ("read"), and the function of a name.
const char* FnName(Fn fn);
bool FnByName(const char* name, Fn* fn);
// The function a symbol the layer defines stands for: "read", but also
// "__read_chk" or "open64".
bool FnBySymbol(const char* symbol, Fn* fn);

// One call as the handlers see it.
struct Call {
    Fn fn = Fn::kCount;
    uintptr_t caller = 0;  // where it was made: the address the call returns to
    int fd = -1;           // the descriptor it works on; -1 when none
    long op = 0;  // ioctl request, fcntl command, tcsetattr action, tcflush queue, option name
    const void* data = nullptr;  // tcsetattr: the record handed over
    // The path of a call that takes one (open, stat, rename...), the name
    // gethostbyname looks up.
    const char* path = nullptr;
    // read, write, recv, send and their kin: the byte count, which a handler
    // may cut to make the call short; null for every other call.
    size_t* count = nullptr;
};

// A handler answers a call by returning true with *result set (and errno,
// for a failure); false passes the call on. Calls come from any thread.
class Handler {
public:
    virtual ~Handler() = default;
    // Asked first, for every call and before any stand-in: true fails the
    // call with *err (h_errno for gethostbyname) without making it. A failed
    // close still frees its descriptor, as Linux's does.
    virtual bool Fail(Call& /*call*/, int* /*err*/) { return false; }
    virtual bool Open(const char* /*path*/, int /*flags*/, int* /*result*/) { return false; }
    virtual bool Read(int /*fd*/, void* /*buf*/, size_t /*count*/, ssize_t* /*result*/) {
        return false;
    }
    virtual bool Ioctl(int /*fd*/, unsigned long /*request*/, void* /*arg*/, int* /*result*/) {
        return false;
    }
    virtual bool Connect(int /*fd*/, const sockaddr* /*addr*/, socklen_t /*length*/,
                         int* /*result*/) {
        return false;
    }
    // Told of every close before the real one runs.
    virtual void Closing(int /*fd*/) {}
    // Told of every call's outcome, made or failed: its result (a pointer
    // result as an integer) and errno after a failure, else 0.
    virtual void Done(const Call& /*call*/, long /*result*/, int /*err*/) {}
};

// Handlers are asked in the order they were added.
void Add(Handler* handler);
void Remove(Handler* handler);

// The C library's own functions.
int RealOpen(const char* path, int flags, mode_t mode);
ssize_t RealRead(int fd, void* buf, size_t count);
int RealIoctl(int fd, unsigned long request, void* arg);
int RealClose(int fd);
int RealConnect(int fd, const sockaddr* addr, socklen_t length);

// The machine has no syslog daemon: while added, a connect to /dev/log goes
// to the datagram socket at path, which the test binds and reads.
class SyslogAt : public Handler {
public:
    explicit SyslogAt(std::string path);
    bool Connect(int fd, const sockaddr* addr, socklen_t length, int* result) override;

private:
    std::string path_;
};

}  // namespace interpose
}  // namespace kqtest

#endif
