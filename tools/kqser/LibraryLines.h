// SPDX-License-Identifier: MIT
// Which of the library's log lines explain a failure or warn of a refused
// option: the library says why; kqser shows it without -v.
#ifndef KQSER_TOOL_LIBRARYLINES_H
#define KQSER_TOOL_LIBRARYLINES_H

#include <string>
#include <vector>

namespace kqtool {

// At most this many lines explain a failure.
constexpr size_t kExplainingLines = 4;

// The lines worth showing after a failed call: the last few, without the
// bookkeeping lines of port creation (InitCom, UpdParams, SerManager).
std::vector<std::string> ExplainingLines(const std::vector<std::string>& lines);

// A line of an option of kqser.conf that the line or driver refused while
// the port still opened: "NOTE[TYPE] low_latency: ASYNC_LOW_LATENCY refused
// (...)". A refusal that keeps the port shut ("; not opened") is no warning
// but the cause of the failure.
bool IsOptionRefusal(const std::string& line);

}  // namespace kqtool

#endif
