// Pure rules of the network port: mode letters, address texts, read waits and
// error codes. Internal.
#ifndef KQSER_NETUTIL_H
#define KQSER_NETUTIL_H

#include <netinet/in.h>

namespace kq {

enum class NetMode { Stream, Datagram, Broadcast };

// The mode named by the first character of a host text.
NetMode NetModeOf(const char* host);

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
