// SPDX-License-Identifier: MIT
// How long a serial Read waits and when it ends, once kqser.conf sets a
// frame gap or the host's reply time-out. Pure; part of the core, so
// `kqser config` shows the gap the library works out. Internal.
#ifndef KQSER_FRAMETIMING_P_H
#define KQSER_FRAMETIMING_P_H

#include <string>

#include "Config_p.h"
#include "LineSettings_p.h"
#include "SysTty_p.h"

namespace kq {

// The read loop's pause before each of its extra passes (one per whole
// second of the time-out).
constexpr long long kPassPauseNs = 1000000;

// The wait for a reply's first byte in nanoseconds, -1 for no limit.
// kLoop: as long as the 0.2 s read loop waits in silence (0.4 s up to a
// time-out of 1999, then 0.2 s and 1 ms more per whole second; a time-out of
// -1000 or less waits for ever). kHost: the time-out in ms (negative: for ever).
long long FirstByteWaitNs(ReplyTimeout mode, int timeout);

// How long an adapter may hold received bytes before it hands them over:
// a frame gap shorter than that splits frames it delivers in bursts.
struct AdapterLatency {
    long long ns = 0;
    std::string why;  // "" when the line is no USB adapter
};
AdapterLatency AdapterLatencyOf(const TtyInfo& tty);
// The floor for USB adapters whose driver shows no latency timer.
constexpr long long kUsbLatencyFloorNs = 10000000;

struct GapChoice {
    long long ns = 0;  // 0: no gap, the 0.2 s read timing
    std::string why;   // for the log line and `kqser config`
};
// The frame gap of a line: off, a fixed gap, or auto: 3.5 characters at the
// line's timing (1.75 ms above 19200 bit/s), never less than the adapter's
// latency.
GapChoice WorkOutFrameGap(const FrameGap& gap, const LineTiming& line,
                          const AdapterLatency& adapter);

// How long a Write of len bytes may block (write_timeout), in ns; -1 for
// no bound. auto: the bytes' wire time at the line's timing + 1 s.
long long WriteBoundNs(const WriteTimeout& bound, const LineTiming& line, int len);

// The frame gap Open works out for a port with these options on this line,
// the adapter read from sysRoot ("/sys") under the tty's name ("ttyUSB0").
GapChoice GapForLine(const SerialOptions& options, const LineTiming& line,
                     const std::string& sysRoot, const std::string& ttyName);
// The same for a tty already read (kqser: as low_latency would leave it).
GapChoice GapForLine(const SerialOptions& options, const LineTiming& line, const TtyInfo& tty);

}  // namespace kq

#endif
