// SPDX-License-Identifier: MIT
#include "LineOptions_p.h"

#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "Descriptor_p.h"
#include "FrameTiming_p.h"
#include "KqLog_p.h"
#include "LineIo_p.h"
#include "LineSettings_p.h"
#include "LineSpeed_p.h"
#include "SysTty_p.h"

namespace kq {

namespace {

// Where the library reads what the system tells of its lines.
const char kSysRoot[] = "/sys";
const char kDevRoot[] = "/dev";
const char kProcRoot[] = "/proc";
constexpr long long kMsNs = 1000000;

std::string Joined(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items) {
        text += (text.empty() ? "" : ", ") + item;
    }
    return text.empty() ? "none" : text;
}

void LogHolder(const PortTag& tag, const std::string& path, int fd) {
    dev_t dev = 0;
    ino_t ino = 0;
    LockHolder holder;
    if (LineFileId(fd, path.c_str(), &dev, &ino).n == 0) {
        holder = FindLockHolder(kProcRoot, dev, ino);
    }
    KQ_LOG("%s[%x] exclusive: %s is held by %s\r\n", tag.note, tag.type, path.c_str(),
           DescribeHolder(holder).c_str());
}

void SetLowLatency(const PortTag& tag, int fd, const std::string& ttyName) {
    serial_struct serial{};
    LineResult r = LineIoctl(fd, TIOCGSERIAL, &serial);
    if (r.n >= 0) {
        serial.flags |= ASYNC_LOW_LATENCY;
        r = LineIoctl(fd, TIOCSSERIAL, &serial);
    }
    if (r.n < 0) {
        KQ_LOG("%s[%x] low_latency: ASYNC_LOW_LATENCY refused (%s)\r\n", tag.note, tag.type,
               std::strerror(r.err));
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
        const LineResult r = LineIoctl(fd, RtsRequest(options, false), &rts);
        if (r.n < 0) {
            KQ_LOG("%s[%x] rs485: RTS cannot be switched (%s); not opened\r\n", tag.note, tag.type,
                   std::strerror(r.err));
            return false;
        }
        return true;
    }
    serial_rs485 want{};
    FillRs485(options, &want);
    const LineResult set = LineIoctl(fd, TIOCSRS485, &want);
    if (set.n < 0) {
        KQ_LOG("%s[%x] rs485: the driver refuses RS-485 (%s); not opened\r\n", tag.note, tag.type,
               std::strerror(set.err));
        return false;
    }
    serial_rs485 got{};
    const LineResult read = LineIoctl(fd, TIOCGRS485, &got);
    KQ_LOG(
        "%s[%x] rs485: %s\r\n", tag.note, tag.type,
        read.n < 0
            ? ("set; reading it back failed (" + std::string(std::strerror(read.err)) + ")").c_str()
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

bool DevicePath(const PortTag& tag, const DeviceOption& device, const std::string& defaultPath,
                std::string* path) {
    switch (device.kind) {
        case DeviceOption::kName: *path = defaultPath; return true;
        case DeviceOption::kPath: *path = device.path; return true;
        case DeviceOption::kUsb: break;
    }
    const UsbMatch match = MatchUsb(kSysRoot, device.usb);
    if (match.matches.size() == 1) {
        *path = std::string(kDevRoot) + "/" + match.matches.front();
        return true;
    }
    const std::string why =
        match.matches.empty()
            ? "no USB serial line matches; the lines: " + Joined(match.candidates)
            : std::to_string(match.matches.size()) + " lines match (" + Joined(match.matches) +
                  "): add the serial number or the interface";
    KQ_LOG("%s[%x] device %s: %s\r\n", tag.note, tag.type, device.text.c_str(), why.c_str());
    return false;
}

void LogHeldLine(const PortTag& tag, const std::string& path) {
    LogHolder(tag, path, -1);
}

bool TakeExclusive(const PortTag& tag, int fd, const std::string& path) {
    // The lock first: TIOCEXCL is the tty's, and setting or clearing it on a
    // line another process holds would change that process's hold.
    const LineResult lock = LineFlock(fd, LOCK_EX | LOCK_NB);
    if (lock.n < 0) {
        if (lock.err == EWOULDBLOCK) {
            LogHolder(tag, path, fd);
        } else {
            KQ_LOG("%s[%x] exclusive: %s cannot be locked (%s)\r\n", tag.note, tag.type,
                   path.c_str(), std::strerror(lock.err));
        }
        return false;
    }
    // Keeps out opens by other users; root passes it, the lock holds for all.
    LineIoctl(fd, TIOCEXCL, nullptr);
    return true;
}

void ReleaseLine(const void* port, int* fd) {
    if (PortExtras* extras = FindExtras(port)) {
        if (extras->exclusiveHeld && *fd >= 0) {
            LineIoctl(*fd, TIOCNXCL, nullptr);
        }
        extras->exclusiveHeld = false;
    }
    ReleaseDescriptor(fd);
}

std::string TtyNameOf(const std::string& path) {
    return TtyNameOfPath(kDevRoot, path);
}

bool SetUpLine(const PortTag& tag, int fd, PortExtras* extras, const LineTiming& planned, int baud,
               const std::string& ttyName) {
    const SerialOptions& options = extras->serial;
    LineTiming line = planned;
    if (options.customBaud && baud > 0 && !InSpeedTable(baud)) {
        if (!SetCustomSpeed(tag, fd, baud, &line.bps)) {
            return false;
        }
    }
    extras->lineBps = line.bps;
    extras->lineCharBits = line.charBits;
    if (options.rs485.mode != Rs485Options::kOff && !SetRs485(tag, fd, options.rs485)) {
        return false;
    }
    if (options.lowLatency) {
        SetLowLatency(tag, fd, ttyName);
    }
    return true;
}

void WorkOutGap(const PortTag& tag, PortExtras* extras, const std::string& ttyName) {
    const GapChoice gap =
        GapForLine(extras->serial, {extras->lineBps, extras->lineCharBits}, kSysRoot, ttyName);
    extras->frameGapNs = gap.ns;
    if (gap.ns > 0) {
        KQ_LOG("%s[%x] frame gap %.3f ms (%s)\r\n", tag.note, tag.type,
               static_cast<double>(gap.ns) / 1e6, gap.why.c_str());
    }
}

int WriteWithOptions(const PortTag& tag, int fd, const unsigned char* buf, int len,
                     const PortExtras& extras) {
    const SerialOptions& options = extras.serial;
    const bool rts = options.rs485.mode == Rs485Options::kRts;
    int rtsBit = TIOCM_RTS;
    if (rts) {
        LineIoctl(fd, RtsRequest(options.rs485, true), &rtsBit);
        LineSleepNs(options.rs485.delayBeforeMs * kMsNs);
    }
    int written = 0;
    bool timedOut = false;
    const long long boundNs =
        WriteBoundNs(options.writeTimeout, {extras.lineBps, extras.lineCharBits}, len);
    if (boundNs < 0) {
        // One write, as without options; a signal fails it.
        written =
            static_cast<int>(LineWrite(fd, buf, static_cast<size_t>(len), OnSignal::kReport).n);
    } else {
        // Without blocking, so that the bound holds however full the line is.
        const long long deadline = LineClockNs() + boundNs;
        bool failed = false;
        LineNonBlocking(fd, true);
        while (written < len) {
            const LineResult r =
                LineWrite(fd, buf + written, static_cast<size_t>(len - written), OnSignal::kRetry);
            if (r.n > 0) {
                written += static_cast<int>(r.n);
                continue;
            }
            if (r.n < 0 && r.err != EAGAIN) {
                failed = true;
                break;
            }
            const long long left = deadline - LineClockNs();
            if (left <= 0 || LineWait(fd, POLLOUT, left, nullptr, OnSignal::kRetry).n <= 0) {
                break;
            }
        }
        LineNonBlocking(fd, false);
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
            LineDrain(fd);
        }
        LineSleepNs(options.rs485.delayAfterMs * kMsNs);
        LineIoctl(fd, RtsRequest(options.rs485, false), &rtsBit);
    }
    return written;
}

}  // namespace kq
