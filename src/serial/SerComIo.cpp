// Serial port: line configuration, open, read, write, purge and close.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "Descriptor_p.h"
#include "HexDump.h"
#include "KqLog_p.h"
#include "LineIo_p.h"
#include "LineSettings_p.h"
#include "PortCapture_p.h"
#include "SerCom_p.h"
#include "SerialDef_p.h"

int CSerCom::Open(const char* def) {
    UpdParams(def);
    kq::CaptureFromSerialConfig(this, m_szDevice, m_nNumber);

    // Re-opening must not leak the descriptor held so far.
    kq::ReleaseDescriptor(&m_nHandle);

    char path[64];
    std::snprintf(path, sizeof path, m_nNumber > 9 ? "\\\\.\\%s%d" : "/dev/%s%d", m_szDevice,
                  m_nNumber);
    const char parity = kq::LineParityLetter(m_nParity);
    KQ_LOG("CSerCom::Open: %s,%d,%d,%c,%d\r\n", path, m_nBaud, m_nDataBits, parity, m_nStopBits);

    m_nHandle = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (m_nHandle < 0) {
        m_nHandle = -1;
        KQ_LOG("%s[%x] open error!\r\n", GetNote(), static_cast<unsigned int>(GetType()));
        return 0;
    }
    // Blocking from here on: reads are paced by the line's read timing. A
    // line left non-blocking would end every read at once, data or not.
    if (::fcntl(m_nHandle, F_SETFL, 0) != 0) {
        kq::ReleaseDescriptor(&m_nHandle);
        KQ_LOG("%s[%x] open error!\r\n", GetNote(), static_cast<unsigned int>(GetType()));
        return 0;
    }

    if (set_opt(m_nHandle, m_nBaud, m_nDataBits, parity, m_nStopBits, 'N') < 0) {
        kq::ReleaseDescriptor(&m_nHandle);
        KQ_LOG("%s[%x] set_op error!\r\n", GetNote(), static_cast<unsigned int>(GetType()));
        return 0;
    }
    KQ_LOG("%s[%x] open ok!\r\n", GetNote(), static_cast<unsigned int>(GetType()));
    return 1;
}

int CSerCom::Close() {
    if (IsOpened()) {
        kq::ReleaseDescriptor(&m_nHandle);
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
    return ::tcflush(m_nHandle, TCIOFLUSH) >= 0 ? 1 : 0;
}

int CSerCom::Read(unsigned char* buf, int len, int timeout) {
    if (!IsOpened()) {
        return -1;
    }
    if (len < 1) {
        return 0;
    }
    if (buf == nullptr) {
        return -1;
    }

    int stored = 0;
    int passes = timeout / 1000;
    // A signal ends a read as any failure does: the loop stops.
    const kq::OnSignal onSignal = kq::OnSignal::kReport;
    if (passes != 0) {
        // A 0x00 in front of a reply is line noise (e.g. a transceiver
        // switching direction); the next read overwrites it.
        if (kq::LineRead(m_nHandle, buf, 1, onSignal).n == 1 && buf[0] != 0x00) {
            stored = 1;
        }
    } else {
        // No pause follows the single-byte read, so it and the first read of
        // the loop take what the line holds in one call: the same bytes and
        // waits with one system call per reply instead of two.
        const ssize_t n = kq::LineRead(m_nHandle, buf, static_cast<size_t>(len), onSignal).n;
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
            ::usleep(1000);
        }
        const ssize_t n =
            kq::LineRead(m_nHandle, buf + stored, static_cast<size_t>(len - stored), onSignal).n;
        if (n > 0) {
            stored += static_cast<int>(n);
        }
        more = stored != len && n >= 0 && !(n == 0 && (passes == 0 || kq::LineHungUp(m_nHandle)));
    }

    KQ_LOG("RECV: %s\r\n", BufToHexStr(buf, stored, 1));
    kq::CaptureRead(this, buf, stored);
    return stored;
}

int CSerCom::Write(const unsigned char* buf, int len) {
    if (!IsOpened()) {
        return -1;
    }
    if (buf == nullptr || len < 0) {
        return -1;
    }
    // One write, as the caller asked; a signal fails it (a short count is
    // the caller's to see).
    const int n = static_cast<int>(
        kq::LineWrite(m_nHandle, buf, static_cast<size_t>(len), kq::OnSignal::kReport).n);
    if (n != 0) {
        KQ_LOG("SEND: %s\r\n", BufToHexStr(buf, n, 1));
    }
    kq::CaptureWrite(this, buf, n);
    return n;
}

int CSerCom::set_opt(int fd, int speed, int bits, char parity, int stop, char flow) {
    termios tio;
    if (::tcgetattr(fd, &tio) != 0) {
        KQ_PUTS("tcgetattr error");
        return -1;
    }
    ::tcflush(fd, TCIOFLUSH);
    kq::FillLineSettings(&tio, speed, bits, parity, stop, flow);
    ::tcflush(fd, TCIOFLUSH);
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) {
        KQ_LOG("serial setup error\n");
        KQ_PUTS("serial setup error");
        return -1;
    }
    KQ_LOG("set serial done+!\n");
    return 0;
}
