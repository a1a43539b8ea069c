// SPDX-License-Identifier: MIT
// Terminal settings of a serial line, built without touching a device.
// Internal: not exported.
#ifndef KQSER_LINESETTINGS_H
#define KQSER_LINESETTINGS_H

#include <linux/serial.h>
#include <termios.h>

#include <string>

#include "Config_p.h"

namespace kq {

// A read of the line returns what is there, or nothing after this long
// without a byte (VTIME).
constexpr long long kReadTimingNs = 200000000;

// Speed code for a line speed in bit/s; speeds outside the table give B115200.
speed_t LineSpeed(int speed);
// Whether the table lists the speed (else the line falls back to 115200).
bool InSpeedTable(int speed);

// What one character costs on a line: its speed in bit/s and the bits of a
// character (start, data, parity, stop).
struct LineTiming {
    int bps = 115200;
    int charBits = 10;
};

// The timing of a record: its speed code (table speeds only; another code
// reads as 115200), character size, parity and stop bits.
LineTiming LineTimingOf(const termios& tio);
// The timing of a line set up with these arguments (as set_opt sets it).
LineTiming PlannedLineTiming(int speed, int bits, char parity, int stop);

// Applies speed, character size, parity, stop bits, flow control, raw mode
// and the 0.2 s read timing to a record read from the line. Flags that none
// of these name keep the values they had.
void FillLineSettings(termios* tio, int speed, int bits, char parity, int stop, char flow);

// The RS-485 record handed to the driver (TIOCSRS485) for rs485 = on.
void FillRs485(const Rs485Options& options, serial_rs485* record);
// "on, RTS high on send, low after, delays 0 ms before, 0 ms after"
std::string DescribeRs485(const serial_rs485& record);
// The modem-line request (TIOCMBIS or TIOCMBIC) that puts RTS where rs485 =
// rts wants it: sending, or listening.
unsigned long RtsRequest(const Rs485Options& options, bool sending);

}  // namespace kq

#endif
