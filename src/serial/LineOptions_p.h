// SPDX-License-Identifier: MIT
// The steps a serial port's Open, Write and Close take for the options of
// kqser.conf: the device to open, the exclusive hold, low latency, RS-485
// direction control, a custom speed, a bounded write. Each step that must
// refuse logs its one line ("%s[%x] <key>: ...") and says so. Internal.
#ifndef KQSER_LINEOPTIONS_P_H
#define KQSER_LINEOPTIONS_P_H

#include <string>

#include "Config_p.h"
#include "LineSettings_p.h"
#include "PortExtras_p.h"

namespace kq {

// What a port's log lines begin with: its note and type code.
struct PortTag {
    const char* note;
    unsigned int type;
};

// The path Open opens: the device option's path, the tty a usb: identity
// names now, or defaultPath. False after the log line when no single tty
// matches.
bool DevicePath(const PortTag& tag, const DeviceOption& device, const std::string& defaultPath,
                std::string* path);

// After an open that failed with EBUSY (a line another process holds with
// TIOCEXCL): the log line that names the holder.
void LogHeldLine(const PortTag& tag, const std::string& path);
// Takes the line for this process: flock, then TIOCEXCL. False after the log
// line that names the holder; the caller closes the descriptor.
bool TakeExclusive(const PortTag& tag, int fd, const std::string& path);
// Closes a port's line (*fd, left -1), letting go of an exclusive hold
// first; without options exactly sys::ReleaseDescriptor.
void ReleaseLine(const void* port, int* fd);

// The steps after the line settings, in order: a custom speed, RS-485, low
// latency; the line's timing kept in extras for the gap and the write bound.
// False when a step refused and Open must fail.
bool SetUpLine(const PortTag& tag, int fd, PortExtras* extras, const LineTiming& planned, int baud,
               const std::string& ttyName);
// Works out the frame gap (after low latency, which changes an adapter's
// latency) and logs it when there is one.
void WorkOutGap(const PortTag& tag, PortExtras* extras, const std::string& ttyName);
// The name under /dev of the line a path opens.
std::string TtyNameOf(const std::string& path);

// Write with RTS switched around it (rs485 = rts) and within the bound of
// write_timeout: the count written, -1 when nothing was. A bound that runs
// out is logged.
int WriteWithOptions(const PortTag& tag, int fd, const unsigned char* buf, int len,
                     const PortExtras& extras);

}  // namespace kq

#endif
