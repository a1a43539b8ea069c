// SPDX-License-Identifier: MIT
// Byte buffers as text for the terminal.
#ifndef KQSER_TOOL_FORMAT_H
#define KQSER_TOOL_FORMAT_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace kqtool {

// "01 03 0A"
std::string HexString(const uint8_t* data, size_t n);

// Lines of 16 bytes: offset, hex, and the printable ASCII ('.' for the rest),
// each line starting with indent and ending in '\n'.
std::string HexAsciiDump(const uint8_t* data, size_t n, const std::string& indent);

}  // namespace kqtool

#endif
