// SPDX-License-Identifier: MIT
// Serial definition strings: the string constructor, SetDef on a port built
// either way, and GetDefType, on any text a host might pass.
#include "SerCom_p.h"

#include <cctype>
#include <cstring>
#include <string>

#include "FuzzCheck.h"
#include "SerialDef_p.h"

namespace {

class Probe : public CSerCom {
public:
    using CSerCom::CSerCom;
    const char* Device() const { return m_szDevice; }
    int Number() const { return m_nNumber; }
    int Kind() const { return m_nKind; }
    int Parity() const { return m_nParity; }
    int StopBits() const { return m_nStopBits; }
};

bool IsSerialKind(int kind) {
    return kind == 0x100000 || kind == 0x110000 || kind == 0x120000;
}

void CheckFields(Probe& port) {
    FUZZ_CHECK(std::strlen(port.Device()) <= 15);
    FUZZ_CHECK(IsSerialKind(port.Kind()));
    FUZZ_CHECK(port.Parity() >= 0 && port.Parity() <= 4);
    FUZZ_CHECK(port.StopBits() >= 0 && port.StopBits() <= 2);
    const unsigned int sum =
        static_cast<unsigned int>(port.Kind()) + static_cast<unsigned int>(port.Number());
    FUZZ_CHECK(port.GetType() == static_cast<int>(sum));
    const char* note = port.GetNote();
    FUZZ_CHECK(note != nullptr);
    // Device, three numbers, a letter, separators and the stop-bit text.
    FUZZ_CHECK(std::strlen(note) <= 15 + 3 * 11 + 5 + 3);
    FUZZ_CHECK(std::strncmp(note, port.Device(), std::strlen(port.Device())) == 0);
}

// What a string must have set, by the library's one scan of it; and what
// that scan must look like, whatever the text.
void CheckApplied(Probe& port, const std::string& def) {
    // The library sees the text up to the first NUL, as a C string.
    const std::string text = def.c_str();
    if (text.empty()) {
        return;
    }
    const kq::SerialDefScan scan = kq::ScanSerialDef(text.c_str());
    FUZZ_CHECK(CSerCom::GetDefType(text.c_str()) == kq::SerialTypeOf(text.c_str(), scan));
    if (!scan.bounded) {
        FUZZ_CHECK(port.Kind() == 0x100000);
        return;
    }
    // The device name ends at the port digit, right before the first
    // separator, which is a colon.
    const size_t p = scan.device.length;
    FUZZ_CHECK(p + 1 < text.size());
    FUZZ_CHECK(std::isdigit(static_cast<unsigned char>(text[p])) && text[p + 1] == ':');
    FUZZ_CHECK(text.find_first_of(":,") == p + 1);
    FUZZ_CHECK(port.Number() == text[p] - '0');
    FUZZ_CHECK(port.Kind() == CSerCom::GetDefKind(text.c_str()));
    FUZZ_CHECK(std::string(port.Device()) == text.substr(0, p < 15 ? p : 15));
    FUZZ_CHECK(CSerCom::GetDefType(text.c_str()) == port.GetType());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kqfuzz::Input in(data, size);
    const int number = static_cast<int>(in.Word());
    const std::string first = in.Text();
    const std::string second = in.Rest();

    FUZZ_CHECK(CSerCom::GetDefType(nullptr) == 0);
    CSerCom::GetDefType(second.c_str());
    CSerCom::GetDefKind(first.c_str());

    Probe byDef(first.c_str());
    CheckFields(byDef);
    CheckApplied(byDef, first);
    FUZZ_CHECK(byDef.SetDef(second.c_str()) == 1);
    CheckFields(byDef);
    CheckApplied(byDef, second);

    Probe byNumber(number);
    FUZZ_CHECK(byNumber.GetType() ==
               static_cast<int>(0x100000u + static_cast<unsigned int>(number)));
    CheckFields(byNumber);
    FUZZ_CHECK(byNumber.SetDef(first.c_str()) == 1);
    CheckFields(byNumber);
    CheckApplied(byNumber, first);
    FUZZ_CHECK(byNumber.SetDef(nullptr) == 1);
    CheckFields(byNumber);
    return 0;
}
