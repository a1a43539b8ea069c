// Serial port: line configuration, open, read, write, purge and close.
#include <unistd.h>

#include "KqLog.h"
#include "SerCom.h"

int CSerCom::Open(const char* def) {
    UpdParams(def);
    return 0;
}

int CSerCom::Close() {
    if (IsOpened()) {
        ::close(m_nHandle);
        m_nHandle = -1;
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
    return 0;
}

int CSerCom::Read(unsigned char* /*buf*/, int /*len*/, int /*timeout*/) {
    return -1;
}

int CSerCom::Write(const unsigned char* /*buf*/, int /*len*/) {
    return -1;
}

int CSerCom::set_opt(int /*fd*/, int /*speed*/, int /*bits*/, char /*parity*/, int /*stop*/,
                     char /*flow*/) {
    return -1;
}
