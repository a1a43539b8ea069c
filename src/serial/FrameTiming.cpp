// SPDX-License-Identifier: MIT
#include "FrameTiming_p.h"

#include <cmath>
#include <cstdio>

#include "TextUtil_p.h"

namespace kq {

namespace {

constexpr long long kMs = 1000000;
// Above this speed a frame ends after a fixed 1.75 ms, not 3.5 characters.
constexpr int kFixedGapAboveBps = 19200;
constexpr long long kFixedGapNs = 1750000;

double Ms(long long ns) {
    return static_cast<double>(ns) / kMs;
}

}  // namespace

long long FirstByteWaitNs(ReplyTimeout mode, int timeout) {
    if (mode == ReplyTimeout::kHost) {
        return timeout < 0 ? -1 : timeout * kMs;
    }
    const int passes = timeout / 1000;
    if (passes < 0) {
        return -1;
    }
    // The single-byte read, then one read per pass; without passes the loop
    // still makes its one read.
    const int reads = passes > 0 ? passes : 1;
    return kReadTimingNs + reads * kReadTimingNs + passes * kPassPauseNs;
}

AdapterLatency AdapterLatencyOf(const TtyInfo& tty) {
    AdapterLatency latency;
    if (!tty.usb) {
        return latency;
    }
    if (tty.latencyTimerMs >= 0) {
        // The adapter sends what it holds when its timer runs out; the USB
        // frame that carries it adds up to 1 ms.
        latency.ns = (tty.latencyTimerMs + 1) * kMs;
        latency.why =
            Format("%s latency_timer %d ms + 1 ms", tty.driver.c_str(), tty.latencyTimerMs);
        return latency;
    }
    latency.ns = kUsbLatencyFloorNs;
    latency.why =
        Format("USB adapter (%s) floor %.3f ms",
               tty.driver.empty() ? "unknown driver" : tty.driver.c_str(), Ms(kUsbLatencyFloorNs));
    return latency;
}

GapChoice WorkOutFrameGap(const FrameGap& gap, const LineTiming& line,
                          const AdapterLatency& adapter) {
    GapChoice choice;
    switch (gap.mode) {
        case FrameGap::kOff: choice.why = "off"; return choice;
        case FrameGap::kFixed:
            choice.ns = std::llround(gap.ms * kMs);
            choice.why = Format("frame_gap %.3f ms", Ms(choice.ns));
            return choice;
        case FrameGap::kAuto: break;
    }
    if (line.bps > kFixedGapAboveBps || line.bps <= 0) {
        choice.ns = kFixedGapNs;
        choice.why = Format("auto: fixed above %d bit/s", kFixedGapAboveBps);
    } else {
        choice.ns = std::llround(3.5 * line.charBits * 1e9 / line.bps);
        choice.why = Format("auto: 3.5 characters of %d bits at %d bit/s", line.charBits, line.bps);
    }
    if (adapter.ns > choice.ns) {
        choice.ns = adapter.ns;
        choice.why += ", raised to the " + adapter.why;
    }
    return choice;
}

long long WriteBoundNs(const WriteTimeout& bound, const LineTiming& line, int len) {
    switch (bound.mode) {
        case WriteTimeout::kOff: return -1;
        case WriteTimeout::kFixed: return bound.ms * kMs;
        case WriteTimeout::kAuto: break;
    }
    const int bps = line.bps > 0 ? line.bps : 1;
    return std::llround(static_cast<double>(len) * line.charBits * 1e9 / bps) + 1000 * kMs;
}

GapChoice GapForLine(const SerialOptions& options, const LineTiming& line,
                     const std::string& sysRoot, const std::string& ttyName) {
    if (options.frameGap.mode != FrameGap::kAuto) {
        return WorkOutFrameGap(options.frameGap, line, {});  // sysfs only matters to auto
    }
    return GapForLine(options, line, ReadTty(sysRoot, ttyName));
}

GapChoice GapForLine(const SerialOptions& options, const LineTiming& line, const TtyInfo& tty) {
    return WorkOutFrameGap(
        options.frameGap, line,
        options.frameGap.mode == FrameGap::kAuto ? AdapterLatencyOf(tty) : AdapterLatency());
}

}  // namespace kq
