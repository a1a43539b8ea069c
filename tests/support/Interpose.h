// The test executables' one interposition layer over the C library: it
// defines open, read, ioctl, close, connect and their aliases, offers each call to
// the handlers registered here (the GPIO stand-in, fault injection), and
// passes what none of them answers to the real function. Linked into a test
// executable, or built into an LD_PRELOAD module. Never part of the library.
#ifndef KQTEST_INTERPOSE_H
#define KQTEST_INTERPOSE_H

#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>

namespace kqtest {
namespace interpose {

// A handler answers a call by returning true with *result set (and errno,
// for a failure); false passes the call on. Calls come from any thread.
class Handler {
public:
    virtual ~Handler() = default;
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

}  // namespace interpose
}  // namespace kqtest

#endif
