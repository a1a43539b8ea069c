// SPDX-License-Identifier: MIT
#include "SerDio_p.h"

#include <fcntl.h>

#include <cstdint>

#include "GpioLine_p.h"
#include "KqLog_p.h"
#include "SysFile_p.h"

namespace {

const char kDevice[] = "/dev/gpio";

// What the driver reads: the line to sample, and its level on return.
struct LineRecord {
    uint16_t line;
    uint16_t level;
};
static_assert(sizeof(LineRecord) == 4, "the driver reads 4-byte line records");

unsigned char SampleLine(int fd, uint16_t line) {
    LineRecord record = {line, 0};
    // A failed or short read leaves the level 0.
    (void)kq::sys::Read(fd, &record, sizeof record, kq::sys::OnSignal::kReport);
    return static_cast<unsigned char>(record.level & 0xFF);
}

}  // namespace

CSerDio::CSerDio(const char* def) : CSerBase(def) {
    m_nKind = KQ_KIND_DIO;
    m_nNumber = kq::kGpioTypeCode - KQ_KIND_DIO;
    m_strNote = def != nullptr ? def : "KQI1:";
    m_nHandle = -1;
    KQ_LOG("CSerDio::CSerDio: Dio Init\n");
}

CSerDio::~CSerDio() {
    kq::sys::ReleaseDescriptor(&m_nHandle);
}

int CSerDio::Open(const char* def) {
    if (def != nullptr) {
        m_strNote = def;
    }
    // Re-opening must not leak the descriptor already held.
    kq::sys::ReleaseDescriptor(&m_nHandle);
    const kq::sys::Result fd = kq::sys::OpenDevice(kDevice, O_RDONLY);
    m_nHandle = fd.Ok() ? static_cast<int>(fd.value) : -1;
    if (m_nHandle != -1) {
        KQ_LOG("%s[%x] open ok!\r\n", m_strNote.c_str(), static_cast<unsigned int>(GetType()));
    }
    return IsOpened();
}

int CSerDio::Close() {
    if (IsOpened()) {
        kq::sys::ReleaseDescriptor(&m_nHandle);
    }
    return 1;
}

int CSerDio::IsOpened() {
    return m_nHandle != -1 ? 1 : 0;
}

int CSerDio::GetHandle() {
    return m_nHandle;
}

int CSerDio::Read(unsigned char* buf, int len, int /*timeout*/) {
    if (!IsOpened() || buf == nullptr || len < 1) {
        return -1;
    }
    buf[0] = SampleLine(m_nHandle, kq::kGpioFirstSampledLine);
    if (len > 1) {
        buf[1] = SampleLine(m_nHandle, kq::kGpioSecondSampledLine);
    }
    return 1;
}

int CSerDio::Write(const unsigned char* buf, int len) {
    if (!IsOpened() || buf == nullptr || len < 1) {
        return -1;
    }
    const int line = kq::GpioLineOfSelector(buf[0]);
    // A one-byte command (the text form with one character) has level 0.
    const unsigned long request = (len >= 2 && buf[1] != 0) ? 1 : 0;
    (void)kq::sys::IoctlInt(m_nHandle, request, line);
    return 0;
}
