// SPDX-License-Identifier: MIT
// Serial port: construction, definition strings, type codes and the note.
#include "SerCom_p.h"

#include <cstdio>
#include <cstring>

#include "KqLog_p.h"
#include "LineOptions_p.h"
#include "SerialDef_p.h"

CSerCom::CSerCom(int number) : CSerBase(number) {
    InitCom();
}

CSerCom::CSerCom(const char* def) : CSerBase(def) {
    InitCom();
    UpdParams(def);
}

CSerCom::CSerCom(const char* def, const kq::SerialDefScan& scan) : CSerBase(def) {
    InitCom();
    if (def != nullptr && def[0] != '\0') {
        ApplyDef(def, scan);
    }
}

CSerCom::~CSerCom() {
    // A host may free the manager without closing; never leak the line.
    kq::ReleaseLine(this, &m_nHandle);
}

void CSerCom::InitCom() {
    const kq::SerialFields defaults;
    std::memcpy(m_szDevice, defaults.device, sizeof m_szDevice);
    m_nBaud = defaults.baud;
    m_nParity = defaults.parity;
    m_nDataBits = defaults.dataBits;
    m_nStopBits = defaults.stopBits;
    m_nHandle = -1;
    m_nWaitValue = 1000;
    m_bWait = false;
    m_nKind = KQ_KIND_SERIAL;
    UpdNote();
    KQ_LOG("CSerCom InitCom: %x  %d\r\n", KQ_ADDR(this), m_nNumber);
}

void CSerCom::UpdParams(const char* def) {
    if (def == nullptr || def[0] == '\0') {
        return;
    }
    ApplyDef(def, kq::ScanSerialDef(def));
}

void CSerCom::ApplyDef(const char* def, const kq::SerialDefScan& scan) {
    m_nKind = KQ_KIND_SERIAL;
    if (scan.bounded) {
        m_nKind = kq::SerialKindOf(def);
    }
    kq::SerialFields fields;
    std::memcpy(fields.device, m_szDevice, sizeof fields.device);
    fields.number = m_nNumber;
    fields.baud = m_nBaud;
    fields.parity = m_nParity;
    fields.dataBits = m_nDataBits;
    fields.stopBits = m_nStopBits;
    kq::ApplySerialDef(scan, &fields);
    std::memcpy(m_szDevice, fields.device, sizeof m_szDevice);
    m_nNumber = fields.number;
    m_nBaud = fields.baud;
    m_nParity = fields.parity;
    m_nDataBits = fields.dataBits;
    m_nStopBits = fields.stopBits;
    KQ_LOG("CSerCom UpdParams: ComPort: %s%d, %d, %d\r\n", m_szDevice, m_nNumber, m_nParity,
           m_nStopBits);
    UpdNote();
}

void CSerCom::UpdNote() {
    char text[64] = {};
    std::snprintf(text, sizeof text, "%s%d:%d,%c,%d,", m_szDevice, m_nNumber, m_nBaud,
                  kq::NoteParityLetter(m_nParity), m_nDataBits);
    m_strNote = text;
    m_strNote += kq::StopBitsText(m_nStopBits);
}

int CSerCom::GetDefKind(const char* def) {
    return kq::SerialKindOf(def);
}

int CSerCom::GetDefType(const char* def) {
    return kq::SerialTypeOf(def);
}

int CSerCom::Wait() {
    m_bWait = false;
    m_bWait = true;
    return 0;
}

int CSerCom::WaitProc(void* port) {
    if (port == nullptr) {
        return 0;
    }
    return static_cast<CSerCom*>(port)->Wait();
}
