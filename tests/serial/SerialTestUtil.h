// Helpers for serial tests that play the device on a pty master.
#ifndef KQTEST_SERIALTESTUTIL_H
#define KQTEST_SERIALTESTUTIL_H

#include <dirent.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>

#include "Pty.h"

namespace kqtest {

// Bytes waiting in the line's input queue (any descriptor of the tty), or -1.
inline int InputQueued(int fd) {
    int n = 0;
    return ::ioctl(fd, TIOCINQ, &n) == 0 ? n : -1;
}

// Polls a condition that no descriptor can signal, for at most limitMs.
inline bool WaitUntil(const std::function<bool()>& done, int limitMs) {
    const double end = NowMs() + limitMs;
    while (!done()) {
        if (NowMs() > end) {
            return false;
        }
        ::usleep(1000);
    }
    return true;
}

// Descriptors open in this process.
inline int OpenFdCount() {
    int n = 0;
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) {
        return -1;
    }
    while (const dirent* e = ::readdir(dir)) {
        if (e->d_name[0] != '.') {
            ++n;
        }
    }
    ::closedir(dir);
    return n - 1;  // the directory's own descriptor
}

inline termios Attr(int fd) {
    termios t{};
    ::tcgetattr(fd, &t);
    return t;
}

// "%s[%x] open ok!\r\n" and its siblings, as the port logs them.
inline std::string NoteLine(const char* format, const std::string& note, int type) {
    char line[256];
    std::snprintf(line, sizeof line, format, note.c_str(), static_cast<unsigned int>(type));
    return line;
}

}  // namespace kqtest

#endif
