// SPDX-License-Identifier: MIT
#include "DefString.h"

#include <algorithm>
#include <cstddef>

#include "ISerBase.h"
#include "NetUtil_p.h"

namespace kqtool {

namespace {

// A text the network port takes for a peer: an IPv4 address, u and an
// address, or b alone or with an address (the broadcast port ignores it).
bool IsNetHost(const std::string& host) {
    in_addr addr{};
    switch (kq::NetModeOf(host.c_str())) {
        case kq::NetMode::Broadcast:
            return host.size() == 1 || kq::NetAddressText(host.c_str() + 1, &addr);
        case kq::NetMode::Datagram:
        case kq::NetMode::Stream: return kq::NetHostAddr(host.c_str(), &addr);
    }
    return false;
}

bool Fail(std::string* error, const std::string& message) {
    *error = message;
    return false;
}

}  // namespace

bool ClassifyDef(const std::string& def, DefInfo* info, std::string* error) {
    if (def.empty()) return Fail(error, "empty definition string");
    if (def.find('\0') != std::string::npos) return Fail(error, "definition string holds a NUL");
    DefInfo result;
    // The library's own reading of a network string.
    const kq::NetDefScan net = kq::ScanNetDef(def.c_str());
    if (IsNetHost(net.host)) {
        if (net.host.size() > kq::kNetHostMax) {
            return Fail(error, "network host '" + net.host.substr(0, 40) +
                                   "' is longer than 15 characters");
        }
        if (net.port < 0 || net.port > 65535) {
            return Fail(error,
                        "network port " + std::to_string(net.port) + " is outside 1 to 65535");
        }
        result.portClass = PortClass::kNet;
        result.host = net.host;
        result.netPort = net.port;
        result.typeCode = KQ_KIND_NET + result.netPort;
        *info = result;
        return true;
    }
    // Serial: the library's own scan; the first separator must be the colon
    // right after the port digit.
    const kq::SerialDefScan scan = kq::ScanSerialDef(def.c_str());
    if (!scan.bounded) {
        return Fail(error, "'" + def.substr(0, 40) +
                               "' is neither a network address nor a serial device with its "
                               "port digit and a colon (e.g. ttyUSB0:115200,N,8,1)");
    }
    if (scan.device.length >= kq::kSerialFieldSize) {
        return Fail(error, "serial device name '" +
                               def.substr(0, std::min<size_t>(scan.device.length, 40)) +
                               "' is longer than 15 characters");
    }
    result.portClass = PortClass::kSerial;
    result.device = scan.device.text;
    result.typeCode = kq::SerialTypeOf(def.c_str(), scan);
    *info = result;
    return true;
}

}  // namespace kqtool
