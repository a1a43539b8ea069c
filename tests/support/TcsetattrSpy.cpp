#include "TcsetattrSpy.h"

#include <dlfcn.h>

#include <cerrno>

namespace {

int g_count = 0;
bool g_failNext = false;
kqtest::TcsetattrCall g_last;

using TcsetattrFn = int (*)(int, int, const termios*);

}  // namespace

// Exported from the test program, so the library binds to it first.
extern "C" __attribute__((visibility("default"))) int tcsetattr(int fd, int action,
                                                                const termios* tio) noexcept {
    static const TcsetattrFn real = reinterpret_cast<TcsetattrFn>(dlsym(RTLD_NEXT, "tcsetattr"));
    ++g_count;
    g_last.fd = fd;
    g_last.action = action;
    if (tio != nullptr) {
        g_last.tio = *tio;
    }
    if (g_failNext) {
        g_failNext = false;
        errno = EINVAL;
        return -1;
    }
    if (real == nullptr) {
        errno = ENOSYS;
        return -1;
    }
    return real(fd, action, tio);
}

namespace kqtest {

void TcsetattrReset() {
    g_count = 0;
    g_failNext = false;
    g_last = TcsetattrCall();
}

int TcsetattrCount() {
    return g_count;
}

TcsetattrCall TcsetattrLast() {
    return g_last;
}

void TcsetattrFailNext() {
    g_failNext = true;
}

}  // namespace kqtest
