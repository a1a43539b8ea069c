// SPDX-License-Identifier: MIT
// Checks inside fuzz targets. A failed check aborts, which libFuzzer records
// as a crash with its input and the replay test reports as a failure.
#ifndef KQFUZZ_FUZZCHECK_H
#define KQFUZZ_FUZZCHECK_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#define FUZZ_CHECK(cond)                                                                  \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                 \
        }                                                                                 \
    } while (0)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace kqfuzz {

// Reads fuzz input front to back; past the end every read gives zeros.
class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    size_t left() const { return size_ - pos_; }

    uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }

    uint32_t Word() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            v = (v << 8) | Byte();
        }
        return v;
    }

    // The text up to the next NUL byte (or the end), the NUL consumed.
    std::string Text() {
        std::string s;
        while (pos_ < size_ && data_[pos_] != 0) {
            s += static_cast<char>(data_[pos_++]);
        }
        if (pos_ < size_) {
            ++pos_;
        }
        return s;
    }

    // Everything not read yet.
    std::string Rest() {
        std::string s(reinterpret_cast<const char*>(data_) + pos_, size_ - pos_);
        pos_ = size_;
        return s;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

}  // namespace kqfuzz

#endif
