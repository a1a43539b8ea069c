// SPDX-License-Identifier: MIT
// Pure rules of the network port: mode letters, address texts, read waits and
// error codes. Internal.
#ifndef KQSER_NETUTIL_H
#define KQSER_NETUTIL_H

#include <netinet/in.h>

#include <cstddef>
#include <string>

namespace kq {

// The host text holds at most this many characters (the port's 16-byte field).
constexpr size_t kNetHostMax = 15;
// The TCP/UDP port a definition string without a usable port gets.
constexpr int kNetDefaultPort = 20600;

// A network definition string (192.168.1.50:502, u10.0.0.7:4000, b:3000):
// the host text before the first ':' (the whole string without one), and
// the port after it read as atoi reads it; 0, no digits or no ':' give the
// default port.
struct NetDefScan {
    std::string host;
    int port = kNetDefaultPort;
};
NetDefScan ScanNetDef(const char* def);

// A dotted-decimal IPv4 address, and nothing else.
bool NetAddressText(const char* text, in_addr* addr);

enum class NetMode { Stream, Datagram, Broadcast };

// A stream port's Open waits for its connection this many times this long:
// a peer that never answers fails it after kConnectBoundMs.
constexpr int kConnectWaits = 3;
constexpr int kConnectWaitMs = 5000;
constexpr int kConnectBoundMs = kConnectWaits * kConnectWaitMs;

// The mode named by the first character of a host text.
__attribute__((always_inline)) inline NetMode NetModeOf(const char* host) {
    if (host == nullptr) {
        return NetMode::Stream;
    }
    switch (host[0]) {
        case 'b':
        case 'B': return NetMode::Broadcast;
        case 'u':
        case 'U': return NetMode::Datagram;
        default: return NetMode::Stream;
    }
}

// Converts the address part of a host text (after the mode letter of a
// datagram port, the whole text of a stream port) from dotted-decimal form.
// False for a broadcast host text, which names no address, and for any text
// that is not a dotted-decimal IPv4 address.
bool NetHostAddr(const char* host, in_addr* addr);

// Milliseconds a read waits for data: byteTimeout * len + baseTimeout, or the
// time-out argument when it is -1 or positive. A value <= 0 means no wait at
// all (the receive blocks). Sums beyond the int range are held at INT_MAX.
int ReadWaitMs(int byteTimeout, int baseTimeout, int len, int timeout);

enum class NetErrorClass { WouldBlock, Dropped, Other };

// What a platform error code says about a connection.
NetErrorClass ClassifyNetError(unsigned long code);

}  // namespace kq

#endif
