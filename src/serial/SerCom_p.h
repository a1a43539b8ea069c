// SPDX-License-Identifier: MIT
// Serial (tty) port.
#ifndef KQSER_SERCOM_H
#define KQSER_SERCOM_H

#include "SerBase_p.h"

namespace kq {
struct SerialDefScan;
}

class KQ_API CSerCom : public CSerBase {
public:
    explicit CSerCom(int number);
    explicit CSerCom(const char* def);
    // The same, from a scan of def already made (the manager scans once).
    KQ_LOCAL CSerCom(const char* def, const kq::SerialDefScan& scan);

    int Open(const char* def) override;
    int Close() override;
    int IsOpened() override;
    int GetHandle() override;
    int SetBaud(int baud) override;
    int Purge() override;
    int Read(unsigned char* buf, int len, int timeout) override;
    int Write(const unsigned char* buf, int len) override;
    using CSerBase::Write;

    ~CSerCom() override;
    void UpdParams(const char* def) override;

    virtual void InitCom();
    virtual void UpdNote();
    virtual int Wait();

    // Port kind named by the device-name prefix of a definition string.
    static int GetDefKind(const char* def);
    // Type code that a port built from the definition string reports.
    static int GetDefType(const char* def);
    // Thread-entry shaped wrapper around Wait(); the library never starts it.
    static int WaitProc(void* port);

    // Configures the open tty fd; 0 on success, -1 when the settings cannot
    // be read or applied.
    int set_opt(int fd, int speed, int bits, char parity, int stop, char flow);

protected:
    // UpdParams with the scan of a non-empty def.
    KQ_LOCAL void ApplyDef(const char* def, const kq::SerialDefScan& scan);

    char m_szDevice[16];
    int m_nBaud;
    int m_nParity;
    int m_nDataBits;
    int m_nStopBits;
    int m_nHandle;
    int m_nWaitValue;
    bool m_bWait;
};

#endif
