// SPDX-License-Identifier: MIT
// The terminal calls of the layer (Sys_p.h), on a serial line's descriptor.
// Internal.
#ifndef KQSER_SYSLINE_P_H
#define KQSER_SYSLINE_P_H

#include <termios.h>

#include "Sys_p.h"

namespace kq {
namespace sys {

// Opens a serial line: read and write, never the controlling terminal,
// without waiting for carrier, close-on-exec. Made once: a signal fails it.
Result OpenLine(const char* path);
Result GetAttr(int fd, termios* tio);
// Applies tio now (TCSANOW).
Result SetAttr(int fd, const termios* tio);
// Drops what either queue holds (TCIOFLUSH).
Result Flush(int fd);
// Waits until the output queue has gone out on the wire.
Result Drain(int fd);
// True when the other end of the line is gone: a tty whose adapter was
// unplugged or whose pty master was closed reads as end of file at once.
bool HungUp(int fd);

}  // namespace sys
}  // namespace kq

#endif
