// SPDX-License-Identifier: MIT
// A handler on the interposition layer (Interpose.h), in every test program
// that links kqtest_interpose: records the record the library hands to
// tcsetattr (a pty forces CS8 and clears PARENB, so only here can character
// size and parity be seen) and can make the next call fail.
#ifndef KQTEST_TCSETATTRSPY_H
#define KQTEST_TCSETATTRSPY_H

#include <termios.h>

namespace kqtest {

struct TcsetattrCall {
    int fd = -1;
    int action = -1;
    termios tio{};
};

// Forgets earlier calls and any pending failure.
void TcsetattrReset();
// Calls since the last reset.
int TcsetattrCount();
TcsetattrCall TcsetattrLast();
// The next call fails with EINVAL without reaching the tty.
void TcsetattrFailNext();

}  // namespace kqtest

#endif
