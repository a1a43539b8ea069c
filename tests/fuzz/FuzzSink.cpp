// SPDX-License-Identifier: MIT
// The log sink of the fuzz executables, which compile the library's sources
// in (silent build) instead of its trace_log.cpp. It formats every line, so
// each log argument is read as a host's sink would read it.
#include <cstdarg>
#include <cstdio>

extern "C" int trace_log(const char* /*section*/, const char* format, ...) {
    static char line[4096];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
    return 1;
}

// A function of its own, so the library sees its log as listened to.
extern "C" __attribute__((visibility("hidden"))) int kq_own_trace_log(const char* /*section*/,
                                                                      const char* /*format*/, ...) {
    return 1;
}
