// Terminal settings of a serial line, built without touching a device.
// Internal: not exported.
#ifndef KQSER_LINESETTINGS_H
#define KQSER_LINESETTINGS_H

#include <termios.h>

namespace kq {

// Speed code for a line speed in bit/s; speeds outside the table give B115200.
speed_t LineSpeed(int speed);

// Applies speed, character size, parity, stop bits, flow control, raw mode
// and the 0.2 s read timing to a record read from the line. Flags that none
// of these name keep the values they had.
void FillLineSettings(termios* tio, int speed, int bits, char parity, int stop, char flow);

}  // namespace kq

#endif
