// Network port: connect, read, write, purge and reconnect.
#include "KqLog.h"
#include "SerNet.h"

int CSerNet::Open(const char* def) {
    UpdParams(def);
    return 0;
}

int CSerNet::Close() {
    return 1;
}

int CSerNet::IsOpened() {
    return m_nSocket >= 0 ? 1 : 0;
}

int CSerNet::Purge() {
    return 0;
}

int CSerNet::Read(unsigned char* /*buf*/, int /*len*/, int /*timeout*/) {
    return -1;
}

int CSerNet::Write(const unsigned char* /*buf*/, int /*len*/) {
    return -1;
}

int CSerNet::IsConnDropped(unsigned long /*code*/) {
    return 0;
}
