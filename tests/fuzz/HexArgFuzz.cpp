// SPDX-License-Identifier: MIT
// The host tool's hex argument parser: any text either parses into bytes that
// format back to text parsing the same, or fails with one short, printable
// error line and leaves the output untouched.
#include "HexArg.h"

#include <string>
#include <vector>

#include "FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kqfuzz::Input in(data, size);
    const size_t keep = in.Byte() % 4;
    const std::string text = in.Rest();

    std::vector<uint8_t> out(keep, 0xA5);
    std::string error;
    if (kqtool::ParseHexBytes(text, &out, &error)) {
        FUZZ_CHECK(out.size() >= keep);
        FUZZ_CHECK(out.size() - keep <= kqtool::kMaxHexBytes);
        FUZZ_CHECK(out.size() - keep <= text.size() / 2);
        std::string again;
        static const char kDigits[] = "0123456789abcdef";
        for (size_t i = keep; i < out.size(); ++i) {
            again += i % 2 == 0 ? "0x" : " ";
            again += kDigits[out[i] >> 4];
            again += kDigits[out[i] & 0x0F];
            again += ' ';
        }
        std::vector<uint8_t> back;
        FUZZ_CHECK(kqtool::ParseHexBytes(again, &back, nullptr));
        FUZZ_CHECK(back == std::vector<uint8_t>(out.begin() + static_cast<long>(keep), out.end()));
    } else {
        FUZZ_CHECK(out == std::vector<uint8_t>(keep, 0xA5));
        FUZZ_CHECK(!error.empty());
        FUZZ_CHECK(error.size() <= 200);
        for (char c : error) {
            FUZZ_CHECK(c >= 0x20 && c < 0x7F);
        }
        std::string unused;
        FUZZ_CHECK(!kqtool::ParseHexBytes(text, nullptr, &unused));
    }
    return 0;
}
