// SPDX-License-Identifier: MIT
// The base port: identity, note, time-outs, host lock and observers, with a
// fixed failure answer for every device operation.
#ifndef KQSER_SERBASE_H
#define KQSER_SERBASE_H

#include <pthread.h>

#include <string>
#include <vector>

#include "ISerBase.h"

class KQ_API CSerBase : public ISerBase {
public:
    explicit CSerBase(int number);
    explicit CSerBase(const char* def);

    void Lock() override;
    void Unlock() override;
    int IsBusy() override;
    int GetType() override;
    const char* GetNote() override;
    int Open(const char* def) override;
    int Close() override;
    int IsOpened() override;
    int GetHandle() override;
    int SetDef(const char* def) override;
    int SetPort(int port) override;
    int SetBaud(int baud) override;
    int SetTimeout(int byteTimeout, int baseTimeout) override;
    int Purge() override;
    int Read(unsigned char* buf, int len, int timeout) override;
    int Write(const unsigned char* buf, int len) override;
    int Write(const unsigned char* text) override;
    int InsertObserver(ISerObserver* observer) override;
    int RemoveObserver(ISerObserver* observer) override;

    virtual ~CSerBase();
    virtual void UpdParams(const char* def);

    void Init();
    void Free();

    CSerBase(const CSerBase&) = delete;
    CSerBase& operator=(const CSerBase&) = delete;

protected:
    bool m_bBusy;
    int m_nKind;
    int m_nNumber;
    int m_nByteTimeout;
    int m_nBaseTimeout;
    pthread_spinlock_t m_spinLock;
    std::string m_strNote;
    std::vector<ISerObserver*> m_vecObserver;
};

#endif
