// Network port: construction, definition strings, note and port number.
#include "SerNet_p.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "KqLog_p.h"
#include "TextUtil_p.h"

namespace {

constexpr int kDefaultPort = 20600;

}  // namespace

CSerNet::CSerNet(int number) : CSerBase(number) {
    InitParams();
    if (m_nNumber != number) {
        m_nNumber = number;
        UpdNote();
    }
    KQ_LOG("SerNet new: %x  %d\r\n", KQ_ADDR(this), number);
}

CSerNet::CSerNet(const char* def) : CSerBase(def) {
    InitParams();
    UpdParams(def);
    KQ_LOG("SerNet new: %x  %s\r\n", KQ_ADDR(this), def != nullptr ? def : "(null)");
}

CSerNet::~CSerNet() {
    // A host may free the manager without closing; never leak the socket.
    if (m_nSocket >= 0) {
        ::close(m_nSocket);
        m_nSocket = -1;
    }
}

void CSerNet::InitParams() {
    std::strcpy(m_szHost, "127.0.0.1");
    m_nReconnectCount = 0;
    m_nReconnectInterval = 1;
    m_nSocket = -1;
    m_nWouldBlockCount = 0;
    m_nKind = KQ_KIND_NET;
    m_nNumber = kDefaultPort;
    m_nByteTimeout = 10;
    m_nBaseTimeout = 1000;
    UpdNote();
}

void CSerNet::UpdParams(const char* def) {
    if (def == nullptr || def[0] == '\0') {
        return;
    }
    const char* colon = std::strchr(def, ':');
    const size_t hostLen = colon != nullptr ? static_cast<size_t>(colon - def) : std::strlen(def);
    // Longer host texts are cut to what the field holds.
    kq::CopyCut(m_szHost, sizeof m_szHost, def, hostLen);
    const int port = colon != nullptr ? kq::ToInt(colon + 1) : 0;
    m_nNumber = port != 0 ? port : kDefaultPort;
    UpdNote();
}

void CSerNet::UpdNote() {
    m_nPort = m_nNumber;
    // Port values beyond 0..65535 may not fit; the note is cut, never overrun.
    char text[32];
    std::snprintf(text, sizeof text, "NET %d %s:%d", m_nNumber, m_szHost, m_nPort);
    m_strNote = text;
}

int CSerNet::SetPort(int port) {
    if (port >= 0x10000) {
        m_nNumber = port & 0xFFFF;
    } else {
        m_nPort = port & 0xFFFF;
    }
    return 1;
}
