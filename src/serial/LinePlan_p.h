// SPDX-License-Identifier: MIT
// What a serial port's Open does for the options of kqser.conf, decided
// before it opens anything: which line, whether it takes the line for this
// process, a speed outside the table, RS-485, low latency, then the frame gap
// and the write bound, in that order. Pure but for reading sysfs and /dev
// (no line is opened); part of the core, so `kqser config` shows the plan
// the library carries out. Internal.
#ifndef KQSER_LINEPLAN_P_H
#define KQSER_LINEPLAN_P_H

#include <string>

#include "Config_p.h"
#include "FrameTiming_p.h"
#include "LineSettings_p.h"
#include "SysTty_p.h"

namespace kq {

struct LinePlan {
    std::string path;         // what Open opens; "" when the device option names no single line
    std::string ttyName;      // the tty under /dev the path leads to ("" when none)
    std::string why;          // why path is "": the log line's text
    bool exclusive = false;   // flock, then TIOCEXCL, before the line settings
    int customBps = 0;        // > 0: this speed, set with termios2 after the settings
    bool rs485 = false;       // direction control (rs485) set up after the speed
    bool lowLatency = false;  // ASYNC_LOW_LATENCY and latency timer 1, after RS-485
    LineTiming line;          // the line's timing with the speed planned
};

// The plan for a port whose definition string gives these settings (baud in
// bit/s, line its timing at the table speed) and the default path
// ("/dev/NAME"). sysRoot and devRoot: "/sys" and "/dev" in the library.
LinePlan PlanLine(const SerialOptions& options, int baud, const LineTiming& line,
                  const std::string& defaultPath, const std::string& sysRoot,
                  const std::string& devRoot);

// The frame gap the plan leads to on the line's tty as it is now, with the
// latency timer as low_latency leaves it (what kqser shows before an Open).
GapChoice PlannedGap(const SerialOptions& options, const LinePlan& plan, TtyInfo tty);

}  // namespace kq

#endif
