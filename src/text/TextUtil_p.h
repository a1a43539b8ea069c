// SPDX-License-Identifier: MIT
// Small text helpers shared by the definition-string parsers. Internal.
#ifndef KQSER_TEXTUTIL_H
#define KQSER_TEXTUTIL_H

#include <cstddef>
#include <string>

namespace kq {

// Reads a decimal integer the way atoi and "%d" do: leading white space, an
// optional sign, then digits up to the first non-digit. Values beyond the int
// range are clamped. Returns false (and leaves *value alone) when no digit
// follows.
bool ReadDecimal(const char* text, int* value);

// atoi without its undefined overflow: 0 when there is no number.
int ToInt(const char* text);

// Copies at most n characters of src, cut to what dst (of dstSize bytes)
// holds with its terminator; dst is always terminated.
void CopyCut(char* dst, size_t dstSize, const char* src, size_t n);

// printf into a string: one call where a chain of appends would cost code
// at every place that builds a message.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Type codes are plain sums of kind and number; a number from a hostile
// definition string must not make that sum undefined.
inline int WrapAdd(int a, int b) {
    return static_cast<int>(static_cast<unsigned int>(a) + static_cast<unsigned int>(b));
}

}  // namespace kq

#endif
