// SPDX-License-Identifier: MIT
// A line's exact speed, beyond the standard table (the kernel's termios2
// record with BOTHER): set by Open for custom_baud, read back by Open and by
// kqser. Each call wrapped once, errno saved. Part of the core. Internal.
#ifndef KQSER_LINESPEED_P_H
#define KQSER_LINESPEED_P_H

namespace kq {

// The output speed in bit/s the driver keeps; 0 or the errno of a refusal.
int ReadLineSpeed(int fd, int* bps);
// Sets both speeds to bps exactly, the rest of the record as it is; 0 or the
// errno of a refusal.
int SetLineSpeed(int fd, int bps);
// Whether a speed a driver reads back after a set still serves a line asked
// for at asked bit/s: within 3 %, what a UART link tolerates. Drivers that
// cannot make a rate do not always fail the set: ftdi_sio puts 9600 in the
// record, the 8250 driver the old speed or its fastest.
bool SpeedKept(int asked, int set);

}  // namespace kq

#endif
