// SPDX-License-Identifier: MIT
// What kind of port a definition string names, and the type code the tool
// asks the manager for by default.
#ifndef KQSER_TOOL_DEFSTRING_H
#define KQSER_TOOL_DEFSTRING_H

#include <string>

#include "GpioLine_p.h"
#include "SerialDef_p.h"

namespace kqtool {

enum class PortClass { kSerial, kNet };

struct DefInfo {
    PortClass portClass = PortClass::kSerial;
    int typeCode = 0;
    std::string device;  // serial: the device name before the port digit
    std::string host;    // network: the host text, mode letter included
    int netPort = 0;     // network: the TCP/UDP port the library will use
};

constexpr int kGpioTypeCode = kq::kGpioTypeCode;

// Serial port kind from the device name's prefix ("ttyUSB" gives 0x120000):
// the library's own table.
inline int SerialKindOfDevice(const std::string& device) {
    return kq::SerialKindOf(device.c_str());
}

// Network strings are an IPv4 address (192.168.1.50:502), u plus an address
// (u10.0.0.7:4000) or b (b:3000); everything else is a serial string, which
// must name a device and its port digit before a colon (ttyUSB0:115200,N,8,1).
// Rejects what the library would quietly misread: an empty string, an
// overlong host or device name, a serial string without "digit:".
bool ClassifyDef(const std::string& def, DefInfo* info, std::string* error);

// The GPIO line that a write command's selector drives: the library's rule.
using kq::GpioLineOfSelector;

}  // namespace kqtool

#endif
