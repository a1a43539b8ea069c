// SPDX-License-Identifier: MIT
#include "NetUtil_p.h"

#include <arpa/inet.h>

#include <climits>
#include <cstring>

#include "TextUtil_p.h"

namespace kq {

NetDefScan ScanNetDef(const char* def) {
    NetDefScan scan;
    if (def == nullptr) {
        return scan;
    }
    const char* colon = std::strchr(def, ':');
    scan.host.assign(def, colon != nullptr ? static_cast<size_t>(colon - def) : std::strlen(def));
    const int port = colon != nullptr ? ToInt(colon + 1) : 0;
    scan.port = port != 0 ? port : kNetDefaultPort;
    return scan;
}

bool NetAddressText(const char* text, in_addr* addr) {
    return text != nullptr && inet_pton(AF_INET, text, addr) == 1;
}

bool NetHostAddr(const char* host, in_addr* addr) {
    if (host == nullptr || addr == nullptr) {
        return false;
    }
    switch (NetModeOf(host)) {
        case NetMode::Broadcast: return false;
        case NetMode::Datagram: return NetAddressText(host + 1, addr);
        case NetMode::Stream: return NetAddressText(host, addr);
    }
    return false;
}

int ReadWaitMs(int byteTimeout, int baseTimeout, int len, int timeout) {
    if (timeout == -1 || timeout > 0) {
        return timeout;
    }
    const long long wait = static_cast<long long>(byteTimeout) * len + baseTimeout;
    if (wait > INT_MAX) {
        return INT_MAX;
    }
    return wait < INT_MIN ? INT_MIN : static_cast<int>(wait);
}

NetErrorClass ClassifyNetError(unsigned long code) {
    switch (code) {
        case 11: return NetErrorClass::WouldBlock;
        case 88:     // ENOTSOCK
        case 100:    // ENETDOWN
        case 101:    // ENETUNREACH
        case 102:    // ENETRESET
        case 103:    // ECONNABORTED
        case 104:    // ECONNRESET
        case 10058:  // WSAESHUTDOWN
        case 10064:  // WSAEHOSTDOWN
        case 10065:  // WSAEHOSTUNREACH
            return NetErrorClass::Dropped;
        default: return NetErrorClass::Other;
    }
}

}  // namespace kq
