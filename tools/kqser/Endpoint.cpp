// SPDX-License-Identifier: MIT
#include "Endpoint.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "NetUtil_p.h"
#include "Options.h"

namespace kqtool {

bool ParseListenAddress(const std::string& text, std::string* address, int* port,
                        std::string* error) {
    const size_t colon = text.rfind(':');
    std::string host = colon == std::string::npos ? "127.0.0.1" : text.substr(0, colon);
    const std::string portText = colon == std::string::npos ? text : text.substr(colon + 1);
    if (host == "localhost") host = "127.0.0.1";
    in_addr parsed;
    if (inet_pton(AF_INET, host.c_str(), &parsed) != 1) {
        *error = "'" + host.substr(0, 40) + "' is not an IPv4 address (such as 127.0.0.1)";
        return false;
    }
    long long value = 0;
    std::string why;
    if (!ParseNumber(portText, 0, 65535, &value, &why)) {
        *error = "port " + why;
        return false;
    }
    *address = host;
    *port = static_cast<int>(value);
    return true;
}

std::string DescribeOpenFailure(bool network, int savedErrno, double elapsedMs) {
    // errno stays "in progress" when no answer came at all.
    if (network && elapsedMs >= kq::kConnectBoundMs - 1000 &&
        (savedErrno == EINPROGRESS || savedErrno == 0)) {
        return "connect timed out: no answer within " + std::to_string(kq::kConnectBoundMs / 1000) +
               " s";
    }
    switch (savedErrno) {
        case 0:
        case EINPROGRESS:
        case EAGAIN: return "";
        case ECONNREFUSED: return "connection refused: nothing listens there";
        case ETIMEDOUT: return "connect timed out";
        case ENETUNREACH: return "network is unreachable: no route to that network";
        case EHOSTUNREACH: return "no route to the host";
        case ENOENT: return "no such device";
        case EACCES:
        case EPERM: return std::string("permission denied (") + std::strerror(savedErrno) + ")";
        case EBUSY: return "the device is busy";
        default: return std::strerror(savedErrno);
    }
}

}  // namespace kqtool
