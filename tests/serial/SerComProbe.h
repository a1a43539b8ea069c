// SPDX-License-Identifier: MIT
// A serial port with its fields in view.
#ifndef KQTEST_SERCOMPROBE_H
#define KQTEST_SERCOMPROBE_H

#include <string>

#include "SerCom_p.h"

class SerComProbe : public CSerCom {
public:
    using CSerCom::CSerCom;
    std::string Device() const { return m_szDevice; }
    int Number() const { return m_nNumber; }
    int Kind() const { return m_nKind; }
    int Baud() const { return m_nBaud; }
    int Parity() const { return m_nParity; }
    int DataBits() const { return m_nDataBits; }
    int StopBits() const { return m_nStopBits; }
    int WaitValue() const { return m_nWaitValue; }
    bool WaitFlag() const { return m_bWait; }
    int ByteTimeout() const { return m_nByteTimeout; }
    int BaseTimeout() const { return m_nBaseTimeout; }
};

#endif
