#include "DefString.h"

#include <algorithm>
#include <cstddef>

namespace kqtool {

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Dotted decimal text: digits and dots, at least one dot, no empty part.
bool IsDottedDecimal(const std::string& text) {
    if (text.empty() || text.front() == '.' || text.back() == '.') return false;
    bool dot = false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '.') {
            if (text[i - 1] == '.') return false;
            dot = true;
        } else if (!IsDigit(text[i])) {
            return false;
        }
    }
    return dot;
}

bool IsNetHost(const std::string& host) {
    if (host.empty()) return false;
    const char first = host[0];
    if (first == 'b' || first == 'B') {
        // The broadcast port ignores the rest of the host text.
        return host.size() == 1 || IsDottedDecimal(host.substr(1));
    }
    if (first == 'u' || first == 'U') return IsDottedDecimal(host.substr(1));
    return IsDottedDecimal(host);
}

// atoi as the library reads the port: blanks, a sign, then digits.
long long LeadingNumber(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    long long value = 0;
    while (i < text.size() && IsDigit(text[i]) && value < 1000000000LL) {
        value = value * 10 + (text[i++] - '0');
    }
    return negative ? -value : value;
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
    const size_t colon = def.find(':');
    const std::string head = def.substr(0, colon);
    if (IsNetHost(head)) {
        if (head.size() > 15) {
            return Fail(error,
                        "network host '" + head.substr(0, 40) + "' is longer than 15 characters");
        }
        long long port = colon == std::string::npos ? 0 : LeadingNumber(def.substr(colon + 1));
        if (port < 0 || port > 65535) {
            return Fail(error, "network port " + std::to_string(port) + " is outside 1 to 65535");
        }
        if (port == 0) port = kNetDefaultPort;
        result.portClass = PortClass::kNet;
        result.host = head;
        result.netPort = static_cast<int>(port);
        result.typeCode = 0x200000 + result.netPort;
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
