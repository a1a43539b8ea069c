// SPDX-License-Identifier: MIT
// The kernel's own record: it cannot share a file with <termios.h>.
#include "LineSpeed_p.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>

#include "Sys_p.h"

namespace kq {

namespace {

int Call(int fd, unsigned long request, termios2* tio) {
    return sys::Ioctl(fd, request, tio).error;
}

}  // namespace

int ReadLineSpeed(int fd, int* bps) {
    termios2 tio{};
    const int err = Call(fd, TCGETS2, &tio);
    if (err == 0) {
        *bps = static_cast<int>(tio.c_ospeed);
    }
    return err;
}

bool SpeedKept(int asked, int set) {
    const long long off = static_cast<long long>(set) - asked;
    return asked > 0 && (off < 0 ? -off : off) * 100 <= 3LL * asked;
}

int SetLineSpeed(int fd, int bps) {
    termios2 tio{};
    int err = Call(fd, TCGETS2, &tio);
    if (err != 0) {
        return err;
    }
    tio.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    tio.c_ispeed = static_cast<speed_t>(bps);
    tio.c_ospeed = static_cast<speed_t>(bps);
    err = Call(fd, TCSETS2, &tio);
    return err;
}

}  // namespace kq
