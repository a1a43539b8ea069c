// SPDX-License-Identifier: MIT
// Network definition strings: the string constructor, SetDef (UpdParams)
// and SetPort, on any text and any port value a host might pass.
#include "SerNet_p.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "FuzzCheck.h"

namespace {

constexpr int kDefaultPort = 20600;

class Probe : public CSerNet {
public:
    using CSerNet::CSerNet;
    const char* Host() const { return m_szHost; }
    int Number() const { return m_nNumber; }
    int Port() const { return m_nPort; }
    int Kind() const { return m_nKind; }
    int Socket() const { return m_nSocket; }
};

// The port value the text after the first ':' names, read as atoi reads it
// but clamped to the int range; the default when it gives 0 or is missing.
int ExpectedNumber(const std::string& text) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos) {
        return kDefaultPort;
    }
    errno = 0;
    long long v = std::strtoll(text.c_str() + colon + 1, nullptr, 10);
    if (v > INT_MAX) {
        v = INT_MAX;
    } else if (v < INT_MIN) {
        v = INT_MIN;
    }
    return v != 0 ? static_cast<int>(v) : kDefaultPort;
}

void CheckFields(Probe& port) {
    FUZZ_CHECK(std::strlen(port.Host()) <= 15);
    FUZZ_CHECK(port.Kind() == 0x200000);
    FUZZ_CHECK(port.Socket() == -1);
    const unsigned int sum =
        static_cast<unsigned int>(port.Kind()) + static_cast<unsigned int>(port.Number());
    FUZZ_CHECK(port.GetType() == static_cast<int>(sum));
    const char* note = port.GetNote();
    FUZZ_CHECK(note != nullptr);
    FUZZ_CHECK(std::strlen(note) <= 31);
    FUZZ_CHECK(std::strncmp(note, "NET ", 4) == 0);
}

void CheckApplied(Probe& port, const std::string& def) {
    const std::string text = def.c_str();
    if (text.empty()) {
        return;
    }
    const std::string host = text.substr(0, text.find(':'));
    FUZZ_CHECK(std::string(port.Host()) == host.substr(0, 15));
    FUZZ_CHECK(port.Number() == ExpectedNumber(text));
    FUZZ_CHECK(port.Port() == port.Number());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kqfuzz::Input in(data, size);
    const int number = static_cast<int>(in.Word());
    const int portValue = static_cast<int>(in.Word());
    const std::string first = in.Text();
    const std::string second = in.Rest();

    Probe byDef(first.c_str());
    CheckFields(byDef);
    CheckApplied(byDef, first);
    FUZZ_CHECK(byDef.SetDef(second.c_str()) == 1);
    CheckFields(byDef);
    CheckApplied(byDef, second);

    FUZZ_CHECK(byDef.SetPort(portValue) == 1);
    CheckFields(byDef);
    if (portValue >= 0x10000) {
        FUZZ_CHECK(byDef.Number() == (portValue & 0xFFFF));
    } else {
        FUZZ_CHECK(byDef.Port() == (portValue & 0xFFFF));
    }

    Probe byNumber(number);
    FUZZ_CHECK(std::strcmp(byNumber.Host(), "127.0.0.1") == 0);
    FUZZ_CHECK(byNumber.Number() == number);
    CheckFields(byNumber);
    FUZZ_CHECK(byNumber.SetDef(first.c_str()) == 1);
    CheckFields(byNumber);
    CheckApplied(byNumber, first);
    return 0;
}
