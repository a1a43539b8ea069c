// SPDX-License-Identifier: MIT
// Network port: construction, definition strings, note and port number.
#include "SerNet_p.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <unordered_set>

#include "KqLog_p.h"
#include "NetUtil_p.h"
#include "SerNetHost_p.h"
#include "Sys_p.h"
#include "TextUtil_p.h"

namespace {

// Hosts may use ports on several threads. The set is made on the first cut
// text and never freed, so a port destroyed late in the process still finds it.
std::mutex g_cutLock;
std::unordered_set<const void*>* g_cutPorts = nullptr;

}  // namespace

void kq::SetHostCut(const void* port, bool cut) {
    const std::lock_guard<std::mutex> hold(g_cutLock);
    if (cut) {
        if (g_cutPorts == nullptr) {
            g_cutPorts = new std::unordered_set<const void*>();
        }
        g_cutPorts->insert(port);
    } else if (g_cutPorts != nullptr) {
        g_cutPorts->erase(port);
    }
}

bool kq::HostWasCut(const void* port, const char* host) {
    // A cut text fills the field: shorter ones need no look-up.
    if (std::strlen(host) < kNetHostMax) {
        return false;
    }
    const std::lock_guard<std::mutex> hold(g_cutLock);
    return g_cutPorts != nullptr && g_cutPorts->count(port) != 0;
}

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
    kq::SetHostCut(this, false);
    // A host may free the manager without closing; never leak the socket.
    kq::sys::ReleaseDescriptor(&m_nSocket);
}

void CSerNet::InitParams() {
    std::strcpy(m_szHost, "127.0.0.1");
    kq::SetHostCut(this, false);
    m_nReconnectCount = 0;
    m_nReconnectInterval = 1;
    m_nSocket = -1;
    m_nWouldBlockCount = 0;
    m_nKind = KQ_KIND_NET;
    m_nNumber = kq::kNetDefaultPort;
    m_nByteTimeout = 10;
    m_nBaseTimeout = 1000;
    UpdNote();
}

void CSerNet::UpdParams(const char* def) {
    if (def == nullptr || def[0] == '\0') {
        return;
    }
    const kq::NetDefScan scan = kq::ScanNetDef(def);
    static_assert(sizeof m_szHost == kq::kNetHostMax + 1, "host field size");
    // Longer host texts are cut to what the field holds, and remembered as cut.
    kq::CopyCut(m_szHost, sizeof m_szHost, scan.host.data(), scan.host.size());
    kq::SetHostCut(this, scan.host.size() > kq::kNetHostMax);
    m_nNumber = scan.port;
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
