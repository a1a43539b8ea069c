// SPDX-License-Identifier: MIT
// A log line as the library writes it to a file, standard error or syslog
// (the [log] keys): what a call's text becomes, and the syslog datagram that
// carries it. Pure; part of the core. Internal.
#ifndef KQSER_LOGLINE_P_H
#define KQSER_LOGLINE_P_H

#include <time.h>

#include <cstddef>
#include <string>

namespace kq {

// The longest routed line, its end included. The library's own lines are far
// shorter (a hex dump is at most 1020 characters); a longer text (a note of
// any length) is cut and ends in "...".
constexpr size_t kMaxLogLine = 4096;

// Local date and time of a line: "2026-12-08 14:03:07.123456 ".
constexpr size_t kStampLength = 27;
std::string FormatStamp(const tm& local, long micros);

// A call's rendered text as one line: the format's own line end (every CR
// and LF at the end) dropped; a CR or LF inside written as \r or \n, so that
// a line stays one line; then the stamp (empty: none) and, when lines were
// dropped before it, "[N lines dropped] " in front, and exactly one "\n" at
// the end. At most kMaxLogLine bytes.
std::string FormatLogLine(const std::string& stamp, unsigned long long dropped, const char* text,
                          size_t length);

// The datagram that hands a line to the local syslog daemon: priority
// user.info, the tag kqSer and the process id, the line without its "\n".
std::string FormatSyslog(long pid, const std::string& line);

}  // namespace kq

#endif
