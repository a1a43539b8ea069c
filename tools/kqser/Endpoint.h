// SPDX-License-Identifier: MIT
// Where the bridge listens, and why a port did not open, as text.
#ifndef KQSER_TOOL_ENDPOINT_H
#define KQSER_TOOL_ENDPOINT_H

#include <string>

namespace kqtool {

// "[ADDR:]PORT": ADDR a dotted IPv4 address or "localhost" (no name look-up),
// 127.0.0.1 when left out; PORT 0 to 65535 (0: the system picks).
bool ParseListenAddress(const std::string& text, std::string* address, int* port,
                        std::string* error);

// Why an Open of a port failed, from the errno the library left and how long
// the attempt took; empty when errno says nothing useful.
std::string DescribeOpenFailure(bool network, int savedErrno, double elapsedMs);

}  // namespace kqtool

#endif
