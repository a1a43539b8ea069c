// SPDX-License-Identifier: MIT
// Helpers for serial tests that play the device on a pty master.
#ifndef KQTEST_SERIALTESTUTIL_H
#define KQTEST_SERIALTESTUTIL_H

#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "Pty.h"

namespace kqtest {

// Bytes waiting in the line's input queue (any descriptor of the tty), or -1.
inline int InputQueued(int fd) {
    int n = 0;
    return ::ioctl(fd, TIOCINQ, &n) == 0 ? n : -1;
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
