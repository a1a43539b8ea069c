// SPDX-License-Identifier: MIT
// Where the library's own log lines go ([log] in kqser.conf). Internal.
//
// Silent build: the library's own trace_log sends each line to standard
// error, syslog or a file (to), stamped with the local time (timestamps),
// one "\n" at its end (LogLine_p.h); a file rotates at max_kib
// (AppendFile_p.h). A host's trace_log still takes every call, and then none
// of this runs. The console build ignores to: its lines are printf's.
// Both builds: console_lines says where the direct console lines go.
//
// Nothing here blocks or fails the caller: a line that cannot be written is
// dropped and counted, and the next line that gets through says how many.
// errno is what it was before the line.
#ifndef KQSER_LOGROUTE_P_H
#define KQSER_LOGROUTE_P_H

#include <cstdarg>

#include "Config_p.h"

namespace kq {

// Puts the [log] keys in force. GetSerManager calls it (
// once it has read kqser.conf) before the lines about the file are logged.
void ApplyLogOptions(const LogOptions& options);

// True while the library's own trace_log sends lines somewhere.
bool LogRouted();

// The library's own trace_log: sends one call's line where to says.
void RouteLogLine(const char* format, va_list args);

}  // namespace kq

#endif
