// SPDX-License-Identifier: MIT
#include "LineOptions_p.h"

#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "FrameTiming_p.h"
#include "KqLog_p.h"
#include "LineSettings_p.h"
#include "LineSpeed_p.h"
#include "SysFile_p.h"
#include "SysLine_p.h"
#include "SysTty_p.h"

namespace kq {

namespace {

// Where the library reads what the system tells of its lines.
const char kSysRoot[] = "/sys";
const char kDevRoot[] = "/dev";
const char kProcRoot[] = "/proc";
constexpr long long kMsNs = 1000000;

void LogHolder(const PortTag& tag, const std::string& path, int fd) {
    LockHolder holder;
    struct stat st {};
    if ((fd >= 0 ? sys::Fstat(fd, &st) : sys::Stat(path.c_str(), &st)).Ok()) {
        holder = FindLockHolder(kProcRoot, st.st_dev, st.st_ino);
    }
    KQ_LOG("%s[%x] exclusive: %s is held by %s\r\n", tag.note, tag.type, path.c_str(),
           DescribeHolder(holder).c_str());
}

void SetLowLatency(const PortTag& tag, int fd, const std::string& ttyName) {
    serial_struct serial{};
    sys::Result r = sys::Ioctl(fd, TIOCGSERIAL, &serial);
    if (r.value >= 0) {
        serial.flags |= ASYNC_LOW_LATENCY;
        r = sys::Ioctl(fd, TIOCSSERIAL, &serial);
    }
    if (r.value < 0) {
        KQ_LOG("%s[%x] low_latency: ASYNC_LOW_LATENCY refused (%s)\r\n", tag.note, tag.type,
               std::strerror(r.error));
    }
    const TtyInfo tty = ReadTty(kSysRoot, ttyName);
    if (tty.latencyTimerMs > 1) {
        const int err = WriteLatencyTimer(kSysRoot, ttyName, 1);
        if (err != 0) {
            KQ_LOG("%s[%x] low_latency: latency_timer of %s stays %d ms (%s)\r\n", tag.note,
                   tag.type, ttyName.c_str(), tty.latencyTimerMs, std::strerror(err));
        }
    }
}

bool SetRs485(const PortTag& tag, int fd, const Rs485Options& options) {
    if (options.mode == Rs485Options::kRts) {
        int rts = TIOCM_RTS;
        const sys::Result r = sys::Ioctl(fd, RtsRequest(options, false), &rts);
        if (r.value < 0) {
            KQ_LOG("%s[%x] rs485: RTS cannot be switched (%s); not opened\r\n", tag.note, tag.type,
                   std::strerror(r.error));
            return false;
        }
        return true;
    }
    serial_rs485 want{};
    FillRs485(options, &want);
    const sys::Result set = sys::Ioctl(fd, TIOCSRS485, &want);
    if (set.value < 0) {
        KQ_LOG("%s[%x] rs485: the driver refuses RS-485 (%s); not opened\r\n", tag.note, tag.type,
               std::strerror(set.error));
        return false;
    }
    serial_rs485 got{};
    const sys::Result read = sys::Ioctl(fd, TIOCGRS485, &got);
    KQ_LOG("%s[%x] rs485: %s\r\n", tag.note, tag.type,
           read.value < 0
               ? ("set; reading it back failed (" + std::string(std::strerror(read.error)) + ")")
                     .c_str()
               : DescribeRs485(got).c_str());
    return true;
}

bool SetCustomSpeed(const PortTag& tag, int fd, int bps, int* actual) {
    int err = SetLineSpeed(fd, bps);
    if (err == 0) {
        err = ReadLineSpeed(fd, actual);
    }
    if (err != 0) {
        KQ_LOG("%s[%x] custom_baud: %d bit/s refused (%s); not opened\r\n", tag.note, tag.type, bps,
               std::strerror(err));
        return false;
    }
    if (!SpeedKept(bps, *actual)) {
        // The driver took the set but put a rate of its own in the record.
        KQ_LOG("%s[%x] custom_baud: %d bit/s refused (the driver set %d); not opened\r\n", tag.note,
               tag.type, bps, *actual);
        return false;
    }
    KQ_LOG("%s[%x] custom_baud: %d bit/s asked, %d set\r\n", tag.note, tag.type, bps, *actual);
    return true;
}

}  // namespace

bool PlanOpen(const PortTag& tag, const SerialOptions& options, int baud, const LineTiming& line,
              const std::string& defaultPath, LinePlan* plan) {
    *plan = PlanLine(options, baud, line, defaultPath, kSysRoot, kDevRoot);
    if (plan->path.empty()) {
        KQ_LOG("%s[%x] device %s: %s\r\n", tag.note, tag.type, options.device.text.c_str(),
               plan->why.c_str());
        return false;
    }
    return true;
}

void LogHeldLine(const PortTag& tag, const std::string& path) {
    LogHolder(tag, path, -1);
}

bool TakeExclusive(const PortTag& tag, int fd, const std::string& path) {
    // The lock first: TIOCEXCL is the tty's, and setting or clearing it on a
    // line another process holds would change that process's hold.
    const sys::Result lock = sys::Flock(fd, LOCK_EX | LOCK_NB);
    if (lock.value < 0) {
        if (lock.error == EWOULDBLOCK) {
            LogHolder(tag, path, fd);
        } else {
            KQ_LOG("%s[%x] exclusive: %s cannot be locked (%s)\r\n", tag.note, tag.type,
                   path.c_str(), std::strerror(lock.error));
        }
        return false;
    }
    // Keeps out opens by other users; root passes it, the lock holds for all.
    sys::Ioctl(fd, TIOCEXCL, nullptr);
    return true;
}

void ReleaseLine(const CSerBase* port, int* fd) {
    if (SerialExtras* extras = SerialExtrasOf::Find(port)) {
        // Both before the close: a child that inherited the descriptor (a
        // host's helper started without close-on-exec of its own) would
        // otherwise keep the line held after Close.
        if (extras->exclusiveHeld && *fd >= 0) {
            sys::Ioctl(*fd, TIOCNXCL, nullptr);
            sys::Flock(*fd, LOCK_UN);
        }
        extras->exclusiveHeld = false;
    }
    sys::ReleaseDescriptor(fd);
}

bool SetUpLine(const PortTag& tag, int fd, SerialExtras* extras, const LinePlan& plan) {
    LineTiming line = plan.line;
    if (plan.customBps > 0 && !SetCustomSpeed(tag, fd, plan.customBps, &line.bps)) {
        return false;
    }
    extras->lineBps = line.bps;
    extras->lineCharBits = line.charBits;
    if (plan.rs485 && !SetRs485(tag, fd, extras->serial.rs485)) {
        return false;
    }
    if (plan.lowLatency) {
        SetLowLatency(tag, fd, plan.ttyName);
    }
    return true;
}

void WorkOutGap(const PortTag& tag, SerialExtras* extras, const LinePlan& plan) {
    // The line as set up (the speed read back) and the adapter as low
    // latency left it.
    const GapChoice gap =
        GapForLine(extras->serial, {extras->lineBps, extras->lineCharBits}, kSysRoot, plan.ttyName);
    extras->frameGapNs = gap.ns;
    if (extras->serial.frame == FrameRule::kModbusRtu) {
        KQ_LOG("%s[%x] frame modbus_rtu: a Read ends with a whole reply\r\n", tag.note, tag.type);
    }
    if (gap.ns > 0) {
        KQ_LOG("%s[%x] frame gap %.3f ms (%s)\r\n", tag.note, tag.type,
               static_cast<double>(gap.ns) / 1e6, gap.why.c_str());
    }
}

int WriteWithOptions(const PortTag& tag, int fd, const unsigned char* buf, int len,
                     const SerialExtras& extras) {
    const SerialOptions& options = extras.serial;
    const bool rts = options.rs485.mode == Rs485Options::kRts;
    int rtsBit = TIOCM_RTS;
    if (rts) {
        sys::Ioctl(fd, RtsRequest(options.rs485, true), &rtsBit);
        sys::SleepNs(options.rs485.delayBeforeMs * kMsNs, sys::OnSignal::kRetry);
    }
    int written = 0;
    bool timedOut = false;
    const long long boundNs =
        WriteBoundNs(options.writeTimeout, {extras.lineBps, extras.lineCharBits}, len);
    if (boundNs < 0) {
        // One write, as without options; a signal fails it.
        written = static_cast<int>(
            sys::Write(fd, buf, static_cast<size_t>(len), sys::OnSignal::kReport).value);
    } else {
        // Without blocking, so that the bound holds however full the line is.
        const long long deadline = sys::MonotonicNs() + boundNs;
        bool failed = false;
        sys::SetNonBlocking(fd, true, sys::OnSignal::kRetry);
        while (written < len) {
            const sys::Result r = sys::Write(fd, buf + written, static_cast<size_t>(len - written),
                                             sys::OnSignal::kRetry);
            if (r.value > 0) {
                written += static_cast<int>(r.value);
                continue;
            }
            if (r.value < 0 && r.error != EAGAIN) {
                failed = true;
                break;
            }
            const long long left = deadline - sys::MonotonicNs();
            if (left <= 0 || sys::Wait(fd, POLLOUT, left, sys::OnSignal::kRetry).value <= 0) {
                break;
            }
        }
        sys::SetNonBlocking(fd, false, sys::OnSignal::kRetry);
        timedOut = written < len && !failed;
        if (timedOut) {
            KQ_LOG("%s[%x] write_timeout: %d of %d bytes written in %lld ms\r\n", tag.note,
                   tag.type, written, len, boundNs / kMsNs);
        }
        if (written == 0 && len > 0) {
            written = -1;
        }
    }
    if (rts) {
        // Released once the last stop bit is on the wire; a line that took
        // no more bytes would not drain, and the bus is given back at once.
        if (!timedOut) {
            sys::Drain(fd);
        }
        sys::SleepNs(options.rs485.delayAfterMs * kMsNs, sys::OnSignal::kRetry);
        sys::Ioctl(fd, RtsRequest(options.rs485, false), &rtsBit);
    }
    return written;
}

}  // namespace kq
