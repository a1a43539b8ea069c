// SPDX-License-Identifier: MIT
#include "SysLine_p.h"

#include <fcntl.h>
#include <poll.h>

#include "SysCall_p.h"
#include "SysFile_p.h"

namespace kq {
namespace sys {

Result OpenLine(const char* path) {
    return OpenDevice(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
}

Result GetAttr(int fd, termios* tio) {
    return From(::tcgetattr(fd, tio));
}

Result SetAttr(int fd, const termios* tio) {
    return From(::tcsetattr(fd, TCSANOW, tio));
}

Result Flush(int fd) {
    return From(::tcflush(fd, TCIOFLUSH));
}

Result Drain(int fd) {
    return Retried([&] { return ::tcdrain(fd); });
}

bool HungUp(int fd) {
    const Result r = Wait(fd, POLLIN, 0, OnSignal::kReport);
    return r.value > 0 ? (r.value & (POLLHUP | POLLERR)) != 0 : r.error == EBADF;
}

}  // namespace sys
}  // namespace kq
