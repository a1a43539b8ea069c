// SPDX-License-Identifier: MIT
// The silent build's log sink. Kept alone in this file so that no caller is
// compiled beside the definition (a compiler may bind such calls locally).
#include "KqApi.h"

#if !KQSER_CONSOLE_LOG

#include <cstdarg>

#include "LogRoute_p.h"

// Sends the line where [log] to says; with to = none it writes nothing.
extern "C" KQ_API int trace_log(const char* /*section*/, const char* format, ...) {
    va_list args;
    va_start(args, format);
    kq::RouteLogLine(format, args);
    va_end(args);
    return 1;
}

// The same function under a local name: lets the library tell whether the
// trace_log that calls resolve to is still its own.
extern "C" __attribute__((visibility("hidden"))) int kq_own_trace_log(const char* section,
                                                                      const char* format, ...)
    __attribute__((alias("trace_log")));

#endif
