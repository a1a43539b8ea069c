// SPDX-License-Identifier: MIT
// The steps a serial port's Open, Write and Close take for the options of
// kqser.conf: the device to open, the exclusive hold, low latency, RS-485
// direction control, a custom speed, a bounded write. Each step that must
// refuse logs its one line ("%s[%x] <key>: ...") and says so. Internal.
#ifndef KQSER_LINEOPTIONS_P_H
#define KQSER_LINEOPTIONS_P_H

#include <string>

#include "Config_p.h"
#include "FrameRead_p.h"
#include "LinePlan_p.h"
#include "LineSettings_p.h"
#include "PortExtras_p.h"

namespace kq {

// What a serial port keeps of kqser.conf between its calls.
struct SerialExtras : PortExtras {
    SerialOptions serial;
    // The frame gap Open worked out, in nanoseconds; 0 when none is in force.
    long long frameGapNs = 0;
    // The line as Open set it up: bit/s and bits per character.
    int lineBps = 0;
    int lineCharBits = 0;
    // frame = modbus_rtu: the frame a Read is in between Reads.
    FrameHold frameHold;
    // Open took the line for this process (exclusive): TIOCEXCL is set.
    bool exclusiveHeld = false;
};
using SerialExtrasOf = ExtrasOf<SerialExtras>;

// What a port's log lines begin with: its note and type code.
struct PortTag {
    const char* note;
    unsigned int type;
};

// The plan of this port's Open (LinePlan_p.h), from the machine's sysfs and
// /dev. False after the log line when the device option names no single
// line.
bool PlanOpen(const PortTag& tag, const SerialOptions& options, int baud, const LineTiming& line,
              const std::string& defaultPath, LinePlan* plan);

// After an open that failed with EBUSY (a line another process holds with
// TIOCEXCL): the log line that names the holder.
void LogHeldLine(const PortTag& tag, const std::string& path);
// Takes the line for this process: flock, then TIOCEXCL. False after the log
// line that names the holder; the caller closes the descriptor.
bool TakeExclusive(const PortTag& tag, int fd, const std::string& path);
// Closes a port's line (*fd, left -1), letting go of an exclusive hold
// first; without options exactly sys::ReleaseDescriptor.
void ReleaseLine(const CSerBase* port, int* fd);

// The plan's steps after the line settings, in order: a custom speed,
// RS-485, low latency; the line's timing kept in extras for the gap and the
// write bound. False when a step refused and Open must fail.
bool SetUpLine(const PortTag& tag, int fd, SerialExtras* extras, const LinePlan& plan);
// Works out the frame gap (after low latency, which changes an adapter's
// latency) and logs it when there is one.
void WorkOutGap(const PortTag& tag, SerialExtras* extras, const LinePlan& plan);

// Write with RTS switched around it (rs485 = rts) and within the bound of
// write_timeout: the count written, -1 when nothing was. A bound that runs
// out is logged.
int WriteWithOptions(const PortTag& tag, int fd, const unsigned char* buf, int len,
                     const SerialExtras& extras);

}  // namespace kq

#endif
