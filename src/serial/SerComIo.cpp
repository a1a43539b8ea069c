// SPDX-License-Identifier: MIT
// Serial port: line configuration, open, read, write, purge and close.
#include <poll.h>
#include <termios.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "FrameRead_p.h"
#include "FrameTiming_p.h"
#include "HexDump.h"
#include "KqLog_p.h"
#include "LineOptions_p.h"
#include "LineSettings_p.h"
#include "PortCapture_p.h"
#include "PortExtras_p.h"
#include "SerCom_p.h"
#include "SerialDef_p.h"
#include "Settings_p.h"
#include "SysLine_p.h"

namespace {

// The options kqser.conf gives the port on /dev/NAME, kept beside the port;
// null when no section applies to it, and then the port does exactly what it
// does without the file.
kq::SerialExtras* OptionsFor(const CSerBase* port, const char* device, int number) {
    const kq::Config& config = kq::ActiveConfig();
    if (!config.empty()) {
        const std::string name = device + std::to_string(number);
        if (config.AppliesToSerial(name)) {
            // A capture file already open stays open if the port keeps it.
            kq::SerialExtras& extras = kq::SerialExtrasOf::Renew(port);
            extras.serial = config.Serial(name);
            kq::UseCapture(&extras, extras.serial.capture);
            return &extras;
        }
    }
    kq::DropExtras(port);
    return nullptr;
}

// Read with a frame gap or the host's reply time-out: waits for the first
// byte, then ends at gapNs of silence, a full buffer, a failure or a
// hang-up. Waits with ppoll, so the gap holds to well below a millisecond.
int ReadFramed(int fd, unsigned char* buf, int len, long long firstWaitNs, long long gapNs) {
    // A signal ends a read as any failure does; a wait goes on after one.
    const kq::sys::OnSignal onRead = kq::sys::OnSignal::kReport;
    const kq::sys::OnSignal onWait = kq::sys::OnSignal::kRetry;
    int stored = 0;
    bool first = true;
    // The first byte: one wait, however long, costs what one poll costs.
    const long long deadline = firstWaitNs < 0 ? -1 : kq::sys::MonotonicNs() + firstWaitNs;
    while (stored == 0) {
        long long left = -1;
        if (deadline >= 0) {
            left = deadline - kq::sys::MonotonicNs();
            left = left < 0 ? 0 : left;
        }
        if (kq::sys::Wait(fd, POLLIN, left, onWait).value <= 0) {
            return 0;
        }
        const ssize_t n = kq::sys::Read(fd, buf, static_cast<size_t>(len), onRead).value;
        if (n <= 0) {
            return 0;  // ready, yet nothing to read: the line hung up
        }
        stored = static_cast<int>(n);
        // A 0x00 in front of a reply is line noise, as in the read loop.
        if (first && buf[0] == 0x00) {
            --stored;
            std::memmove(buf, buf + 1, static_cast<size_t>(stored));
        }
        first = false;
    }
    while (stored < len) {
        if (kq::sys::Wait(fd, POLLIN, gapNs, onWait).value <= 0) {
            break;
        }
        const ssize_t n =
            kq::sys::Read(fd, buf + stored, static_cast<size_t>(len - stored), onRead).value;
        if (n <= 0) {
            break;
        }
        stored += static_cast<int>(n);
    }
    return stored;
}

// Write with the options of kqser.conf: a bound, or RTS switched around it.
// Apart from the plain Write, so that what only options need (the port's tag)
// costs nothing without them.
__attribute__((noinline)) int WriteOptioned(CSerCom* port, int fd, const unsigned char* buf,
                                            int len, const kq::SerialExtras& extras) {
    return kq::WriteWithOptions({port->GetNote(), static_cast<unsigned int>(port->GetType())}, fd,
                                buf, len, extras);
}

}  // namespace

int CSerCom::Open(const char* def) {
    UpdParams(def);

    // Re-opening must not leak the descriptor held so far.
    kq::ReleaseLine(this, &m_nHandle);

    char path[64];
    std::snprintf(path, sizeof path, m_nNumber > 9 ? "\\\\.\\%s%d" : "/dev/%s%d", m_szDevice,
                  m_nNumber);
    const char parity = kq::LineParityLetter(m_nParity);
    kq::SerialExtras* extras = OptionsFor(this, m_szDevice, m_nNumber);
    const kq::PortTag tag{GetNote(), static_cast<unsigned int>(GetType())};
    const kq::LineTiming planned = kq::PlannedLineTiming(m_nBaud, m_nDataBits, parity, m_nStopBits);
    kq::LinePlan plan;
    if (extras != nullptr && !kq::PlanOpen(tag, extras->serial, m_nBaud, planned, path, &plan)) {
        return 0;
    }
    const std::string opened = extras != nullptr ? plan.path : std::string(path);
    KQ_LOG("CSerCom::Open: %s,%d,%d,%c,%d\r\n", opened.c_str(), m_nBaud, m_nDataBits, parity,
           m_nStopBits);

    const kq::sys::Result line = kq::sys::OpenLine(opened.c_str());
    m_nHandle = static_cast<int>(line.value);
    if (m_nHandle < 0) {
        const int err = line.error;
        m_nHandle = -1;
        if (extras != nullptr && plan.exclusive && err == EBUSY) {
            kq::LogHeldLine(tag, opened);
        }
        KQ_LOG("%s[%x] open error!\r\n", GetNote(), static_cast<unsigned int>(GetType()));
        return 0;
    }
    // Blocking from here on: reads are paced by the line's read timing. A
    // line left non-blocking would end every read at once, data or not.
    if (!kq::sys::ClearStatusFlags(m_nHandle).Ok()) {
        kq::sys::ReleaseDescriptor(&m_nHandle);
        KQ_LOG("%s[%x] open error!\r\n", GetNote(), static_cast<unsigned int>(GetType()));
        return 0;
    }

    // Before the settings: a line another process holds is left as it is.
    if (extras != nullptr && plan.exclusive) {
        if (!kq::TakeExclusive(tag, m_nHandle, opened)) {
            kq::sys::ReleaseDescriptor(&m_nHandle);
            return 0;
        }
        extras->exclusiveHeld = true;
    }

    if (set_opt(m_nHandle, m_nBaud, m_nDataBits, parity, m_nStopBits, 'N') < 0) {
        kq::ReleaseLine(this, &m_nHandle);
        KQ_LOG("%s[%x] set_op error!\r\n", GetNote(), static_cast<unsigned int>(GetType()));
        return 0;
    }
    if (extras != nullptr && !kq::SetUpLine(tag, m_nHandle, extras, plan)) {
        kq::ReleaseLine(this, &m_nHandle);
        return 0;
    }
    KQ_LOG("%s[%x] open ok!\r\n", GetNote(), static_cast<unsigned int>(GetType()));
    if (extras != nullptr) {
        kq::WorkOutGap(tag, extras, plan);
    }
    return 1;
}

int CSerCom::Close() {
    if (IsOpened()) {
        kq::ReleaseLine(this, &m_nHandle);
    }
    return 1;
}

int CSerCom::IsOpened() {
    return m_nHandle != -1 ? 1 : 0;
}

int CSerCom::GetHandle() {
    return m_nHandle;
}

int CSerCom::SetBaud(int baud) {
    m_nBaud = baud;
    return 1;
}

int CSerCom::Purge() {
    if (!IsOpened()) {
        return 0;
    }
    if (kq::SerialExtras* extras = kq::SerialExtrasOf::Find(this)) {
        extras->frameHold = kq::FrameHold();  // what the line held is gone too
    }
    return kq::sys::Flush(m_nHandle).Ok() ? 1 : 0;
}

int CSerCom::Read(unsigned char* buf, int len, int timeout) {
    if (m_nHandle == -1) {
        return -1;
    }
    if (len < 1) {
        return 0;
    }
    if (buf == nullptr) {
        return -1;
    }
    if (kq::SerialExtras* extras = kq::SerialExtrasOf::Find(this)) {
        const kq::SerialOptions& options = extras->serial;
        if (options.frame != kq::FrameRule::kOff) {
            const long long firstNs = kq::FirstByteWaitNs(options.replyTimeout, timeout);
            const kq::FrameWaits waits{
                firstNs, extras->frameGapNs > 0 ? extras->frameGapNs : kq::kReadTimingNs,
                kq::FrameReadBoundNs(firstNs, timeout),
                extras->lineBps > 0 ? extras->lineCharBits * 1000000000LL / extras->lineBps : 0};
            const int stored = kq::ReadByFrame(m_nHandle, &extras->frameHold, buf, len, waits);
            KQ_LOG("RECV: %s\r\n", BufToHexStr(buf, stored, 1));
            kq::CaptureRead(this, buf, stored);
            return stored;
        }
        if (extras->frameGapNs > 0 || options.replyTimeout != kq::ReplyTimeout::kLoop) {
            // Without a gap the reply ends as the line's read timing ends it.
            const long long gapNs = extras->frameGapNs > 0 ? extras->frameGapNs : kq::kReadTimingNs;
            const int stored = ReadFramed(
                m_nHandle, buf, len, kq::FirstByteWaitNs(options.replyTimeout, timeout), gapNs);
            KQ_LOG("RECV: %s\r\n", BufToHexStr(buf, stored, 1));
            kq::CaptureRead(this, buf, stored);
            return stored;
        }
    }

    int stored = 0;
    int passes = timeout / 1000;
    // A signal ends a read as any failure does: the loop stops.
    const kq::sys::OnSignal onSignal = kq::sys::OnSignal::kReport;
    if (passes != 0) {
        // A 0x00 in front of a reply is line noise (e.g. a transceiver
        // switching direction); the next read overwrites it.
        if (kq::sys::Read(m_nHandle, buf, 1, onSignal).value == 1 && buf[0] != 0x00) {
            stored = 1;
        }
    } else {
        // No pause follows the single-byte read, so it and the first read of
        // the loop take what the line holds in one call: the same bytes and
        // waits with one system call per reply instead of two.
        const ssize_t n = kq::sys::Read(m_nHandle, buf, static_cast<size_t>(len), onSignal).value;
        if (n > 0) {
            stored = static_cast<int>(n);
            if (buf[0] == 0x00) {
                --stored;
                std::memmove(buf, buf + 1, static_cast<size_t>(stored));
            }
        }
    }

    // A reply that filled the buffer in that one call needs no loop.
    for (bool more = stored < len || passes != 0; more;) {
        if (passes != 0) {
            // A negative count never runs out: such a read ends only when the
            // buffer is full or the line fails.
            if (passes > 0) {
                --passes;
            }
            kq::sys::SleepNs(kq::kPassPauseNs, onSignal);
        }
        const ssize_t n =
            kq::sys::Read(m_nHandle, buf + stored, static_cast<size_t>(len - stored), onSignal)
                .value;
        if (n > 0) {
            stored += static_cast<int>(n);
        }
        more = stored != len && n >= 0 && !(n == 0 && (passes == 0 || kq::sys::HungUp(m_nHandle)));
    }

    KQ_LOG("RECV: %s\r\n", BufToHexStr(buf, stored, 1));
    kq::CaptureRead(this, buf, stored);
    return stored;
}

int CSerCom::Write(const unsigned char* buf, int len) {
    if (m_nHandle == -1) {
        return -1;
    }
    if (buf == nullptr || len < 0) {
        return -1;
    }
    int n;
    const kq::SerialExtras* extras = kq::SerialExtrasOf::Find(this);
    if (extras != nullptr && len > 0 &&
        (extras->serial.writeTimeout.mode != kq::WriteTimeout::kOff ||
         extras->serial.rs485.mode == kq::Rs485Options::kRts)) {
        n = WriteOptioned(this, m_nHandle, buf, len, *extras);
    } else {
        // One write, as the caller asked; a signal fails it (a short count
        // is the caller's to see).
        n = static_cast<int>(
            kq::sys::Write(m_nHandle, buf, static_cast<size_t>(len), kq::sys::OnSignal::kReport)
                .value);
    }
    if (n != 0) {
        KQ_LOG("SEND: %s\r\n", BufToHexStr(buf, n, 1));
    }
    kq::CaptureWrite(this, buf, n);
    return n;
}

int CSerCom::set_opt(int fd, int speed, int bits, char parity, int stop, char flow) {
    termios tio;
    if (!kq::sys::GetAttr(fd, &tio).Ok()) {
        KQ_PUTS("tcgetattr error");
        return -1;
    }
    (void)kq::sys::Flush(fd);
    kq::FillLineSettings(&tio, speed, bits, parity, stop, flow);
    (void)kq::sys::Flush(fd);
    if (!kq::sys::SetAttr(fd, &tio).Ok()) {
        KQ_LOG("serial setup error\n");
        KQ_PUTS("serial setup error");
        return -1;
    }
    KQ_LOG("set serial done+!\n");
    return 0;
}
