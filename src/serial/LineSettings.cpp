// SPDX-License-Identifier: MIT
#include "LineSettings_p.h"

#include <sys/ioctl.h>

#include <cstring>

#include "TextUtil_p.h"

namespace kq {

namespace {

struct SpeedEntry {
    int bps;
    speed_t code;
};

// The speeds a line is set to as asked; every other one gives 115200.
constexpr SpeedEntry kSpeeds[] = {
    {600, B600},     {1200, B1200},   {2400, B2400},   {4800, B4800},     {9600, B9600},
    {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}, {230400, B230400},
};
constexpr SpeedEntry kFallback = {115200, B115200};

const SpeedEntry& EntryFor(int speed) {
    for (const SpeedEntry& entry : kSpeeds) {
        if (entry.bps == speed) {
            return entry;
        }
    }
    return kFallback;
}

}  // namespace

speed_t LineSpeed(int speed) {
    return EntryFor(speed).code;
}

bool InSpeedTable(int speed) {
    return &EntryFor(speed) != &kFallback;
}

LineTiming LineTimingOf(const termios& tio) {
    LineTiming timing;
    const speed_t code = cfgetospeed(&tio);
    for (const SpeedEntry& entry : kSpeeds) {
        if (entry.code == code) {
            timing.bps = entry.bps;
        }
    }
    switch (tio.c_cflag & CSIZE) {
        case CS5: timing.charBits = 5; break;
        case CS6: timing.charBits = 6; break;
        case CS7: timing.charBits = 7; break;
        default: timing.charBits = 8; break;
    }
    timing.charBits += 1;  // the start bit
    timing.charBits += (tio.c_cflag & PARENB) != 0 ? 1 : 0;
    timing.charBits += (tio.c_cflag & CSTOPB) != 0 ? 2 : 1;
    return timing;
}

LineTiming PlannedLineTiming(int speed, int bits, char parity, int stop) {
    termios tio{};
    FillLineSettings(&tio, speed, bits, parity, stop, 'N');
    return LineTimingOf(tio);
}

void FillLineSettings(termios* tio, int speed, int bits, char parity, int stop, char flow) {
    tio->c_cflag |= CLOCAL | CREAD;

    const speed_t code = LineSpeed(speed);
    cfsetispeed(tio, code);
    cfsetospeed(tio, code);

    tio->c_cflag &= ~CSIZE;
    switch (bits) {
        case 5: tio->c_cflag |= CS5; break;
        case 6: tio->c_cflag |= CS6; break;
        case 7: tio->c_cflag |= CS7; break;
        default: tio->c_cflag |= CS8; break;
    }

    switch (parity) {
        case 'O':
        case 'o':
            tio->c_cflag |= PARENB | PARODD;
            tio->c_iflag |= INPCK;
            break;
        case 'E':
        case 'e':
            tio->c_cflag |= PARENB;
            tio->c_cflag &= ~PARODD;
            tio->c_iflag |= INPCK;
            break;
        case 'S':
        case 's':
            tio->c_cflag &= ~(PARENB | CSTOPB);
            tio->c_iflag |= INPCK;
            break;
        default:
            tio->c_cflag &= ~PARENB;
            tio->c_iflag &= ~INPCK;
            break;
    }

    // After parity: the stop-bit value has the last word on CSTOPB, also for 'S'.
    if (stop == 2) {
        tio->c_cflag |= CSTOPB;
    } else {
        tio->c_cflag &= ~CSTOPB;
    }

    switch (flow) {
        case 'H':
        case 'h':
            tio->c_cflag |= CRTSCTS;
            tio->c_iflag &= ~(IXON | IXOFF | IXANY);
            break;
        case 'S':
        case 's':
            tio->c_cflag &= ~CRTSCTS;
            tio->c_iflag |= IXON | IXOFF | IXANY;
            break;
        default:
            // Raw: the read loop expects every byte as sent, at once.
            tio->c_cflag &= ~CRTSCTS;
            tio->c_iflag &= ~(IXON | IXOFF | IXANY);
            tio->c_lflag &= ~(ICANON | ECHO | ECHOE | ISIG);
            tio->c_iflag &= ~(INLCR | IGNCR | ICRNL);
            tio->c_oflag &= ~(ONLCR | OCRNL);
            break;
    }

    tio->c_oflag &= ~OPOST;
    // A read returns what is there, or nothing after 0.2 s of silence.
    tio->c_cc[VTIME] = static_cast<cc_t>(kReadTimingNs / 100000000);  // tenths of a second
    tio->c_cc[VMIN] = 0;
}

void FillRs485(const Rs485Options& options, serial_rs485* record) {
    std::memset(record, 0, sizeof *record);
    record->flags = SER_RS485_ENABLED;
    record->flags |= options.rtsHighOnSend ? SER_RS485_RTS_ON_SEND : SER_RS485_RTS_AFTER_SEND;
    record->delay_rts_before_send = static_cast<__u32>(options.delayBeforeMs);
    record->delay_rts_after_send = static_cast<__u32>(options.delayAfterMs);
}

std::string DescribeRs485(const serial_rs485& record) {
    if ((record.flags & SER_RS485_ENABLED) == 0) {
        return "off";
    }
    const bool onSend = (record.flags & SER_RS485_RTS_ON_SEND) != 0;
    const bool after = (record.flags & SER_RS485_RTS_AFTER_SEND) != 0;
    return Format("on, RTS %s on send, %s after, delays %u ms before, %u ms after",
                  onSend ? "high" : "low", after ? "high" : "low", record.delay_rts_before_send,
                  record.delay_rts_after_send);
}

unsigned long RtsRequest(const Rs485Options& options, bool sending) {
    return sending == options.rtsHighOnSend ? TIOCMBIS : TIOCMBIC;
}

}  // namespace kq
