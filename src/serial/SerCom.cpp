// Serial port: construction, definition strings, type codes and the note.
#include "SerCom_p.h"

#include <cstdio>
#include <cstring>

#include "Descriptor_p.h"
#include "KqLog_p.h"
#include "SerialDef_p.h"
#include "TextUtil_p.h"

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
    kq::ReleaseDescriptor(&m_nHandle);
}

void CSerCom::InitCom() {
    std::strcpy(m_szDevice, "COM");
    m_nBaud = 9600;
    m_nParity = 0;
    m_nDataBits = 8;
    m_nStopBits = 1;
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
        std::memcpy(m_szDevice, scan.device.text, sizeof m_szDevice);
    }
    if (scan.number.present) {
        m_nNumber = kq::ToInt(scan.number.text);
    }
    if (scan.baud.present) {
        kq::ReadDecimal(scan.baud.text, &m_nBaud);
    }
    if (scan.parity.present) {
        m_nParity = kq::ParityCodeOf(scan.parity.text);
    }
    if (scan.dataBits.present) {
        kq::ReadDecimal(scan.dataBits.text, &m_nDataBits);
    }
    if (scan.stopBits.present) {
        kq::StopBitsCodeOf(scan.stopBits.text, &m_nStopBits);
    }
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
