// SPDX-License-Identifier: MIT
// Network port: a TCP client connection, a connected UDP socket or UDP
// broadcast, chosen by the mode letter of the host text ("u", "b", none).
#ifndef KQSER_SERNET_H
#define KQSER_SERNET_H

#include "SerBase_p.h"

class KQ_API CSerNet : public CSerBase {
public:
    explicit CSerNet(int number);
    explicit CSerNet(const char* def);

    int Open(const char* def) override;
    int Close() override;
    // Reconnects a closed port every m_nReconnectInterval-th call.
    int IsOpened() override;
    // A whole type code (>= 0x10000) re-keys the port number; a smaller value
    // sets only the TCP/UDP port.
    int SetPort(int port) override;
    // Discards what the socket had queued to read when it began; returns
    // within 200 ms however fast the peer keeps sending.
    int Purge() override;
    int Read(unsigned char* buf, int len, int timeout) override;
    int Write(const unsigned char* buf, int len) override;
    using CSerBase::Write;

    ~CSerNet() override;
    void UpdParams(const char* def) override;

    virtual void InitParams();
    virtual void UpdNote();

    // 1 when the platform error code means the connection is gone.
    int IsConnDropped(unsigned long code);

protected:
    char m_szHost[16];
    unsigned int m_nReconnectCount;
    unsigned int m_nReconnectInterval;
    int m_nPort;
    int m_nSocket;
    int m_nWouldBlockCount;
};

#endif
