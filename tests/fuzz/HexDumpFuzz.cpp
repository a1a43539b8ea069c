// SPDX-License-Identifier: MIT
// Both forms of the hex dump against a plain reference, with lengths, gaps
// and output sizes taken from the input; the output buffer has exactly the
// size the caller claims, so a write past it is caught.
#include "HexDump.h"

#include <cstring>
#include <string>
#include <vector>

#include "FuzzCheck.h"

namespace {

std::string Reference(const uint8_t* data, int len, int gap) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (int i = 0; i < len; ++i) {
        text += kDigits[data[i] >> 4];
        text += kDigits[data[i] & 0x0F];
        text.append(static_cast<size_t>(gap), ' ');
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kqfuzz::Input in(data, size);
    const uint8_t mode = in.Byte();
    // Gaps from -1 to 6, or any int; lengths up to the bytes given, or any int.
    const int gap = (mode & 0x80) != 0 ? static_cast<int>(in.Word()) : (in.Byte() % 8) - 1;
    const uint32_t rawLen = in.Word();
    const int outSize = static_cast<int>(in.Word() % 5000) - 2;
    const std::string rest = in.Rest();
    const auto* bytes = reinterpret_cast<const uint8_t*>(rest.data());
    const int avail = static_cast<int>(rest.size());
    int len = static_cast<int>(rawLen % (static_cast<uint32_t>(avail) + 1));
    if ((mode & 0x40) != 0) {
        len = -len - static_cast<int>(rawLen & 0xFF);  // zero or negative
    }

    const long long need =
        static_cast<long long>(len > 0 ? len : 0) * (static_cast<long long>(gap) + 2) + 1;
    // Only texts a buffer of the sizes tried here can hold are ever compared.
    const bool small = gap >= 0 && need <= 8192;
    const std::string ref = small ? Reference(bytes, len, gap) : std::string();

    // Five-argument form into a buffer of exactly outSize bytes.
    std::vector<char> out(outSize > 0 ? static_cast<size_t>(outSize) : 0, '#');
    char* outPtr = out.empty() ? nullptr : out.data();
    const int n = BufToHexStr(bytes, len, outPtr, outSize, gap);
    if (outPtr == nullptr || gap < 0 || outSize < need) {
        FUZZ_CHECK(n == -1);
        for (char c : out) {
            FUZZ_CHECK(c == '#');
        }
    } else {
        FUZZ_CHECK(n == static_cast<int>(ref.size()));
        FUZZ_CHECK(std::memcmp(outPtr, ref.c_str(), ref.size() + 1) == 0);
    }
    FUZZ_CHECK(BufToHexStr(nullptr, len, outPtr, outSize, gap) == -1);

    // Three-argument form: the shared text, never longer than its array.
    const char* text = BufToHexStr(bytes, len, gap);
    FUZZ_CHECK(text != nullptr);
    const size_t textLen = std::strlen(text);
    FUZZ_CHECK(textLen < 1024);
    if (gap >= 0 && need >= 1024) {
        FUZZ_CHECK(std::strcmp(text, "msg.len > 1024") == 0);
    } else if (gap >= 0) {
        FUZZ_CHECK(text == ref);
    } else {
        FUZZ_CHECK(textLen == 0);
    }
    FUZZ_CHECK(BufToHexStr(nullptr, len, gap) != nullptr);

    for (int v = 0; v < 16; ++v) {
        FUZZ_CHECK(_TOHEX(static_cast<unsigned char>(v | (mode & 0xF0))) == "0123456789ABCDEF"[v]);
    }
    return 0;
}
