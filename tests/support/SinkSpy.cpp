// SPDX-License-Identifier: MIT
// A host-side trace_log: takes over the silent build's log sink through the
// dynamic symbol table and records every call.
#include "Capture.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace {

std::mutex g_mutex;
std::vector<kqtest::SinkCall>& Calls() {
    static std::vector<kqtest::SinkCall> calls;
    return calls;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int trace_log(const char* section,
                                                                const char* format, ...) {
    kqtest::SinkCall call;
    call.section = section != nullptr ? section : "";
    call.format = format != nullptr ? format : "";
    if (format != nullptr) {
        va_list ap;
        va_start(ap, format);
        va_list again;
        va_copy(again, ap);
        const int n = std::vsnprintf(nullptr, 0, format, ap);
        if (n > 0) {
            call.text.resize(static_cast<size_t>(n) + 1);
            std::vsnprintf(&call.text[0], call.text.size(), format, again);
            call.text.resize(static_cast<size_t>(n));
        }
        va_end(again);
        va_end(ap);
    }
    std::lock_guard<std::mutex> lock(g_mutex);
    Calls().push_back(std::move(call));
    return 1;
}

namespace kqtest {

bool SpyLinked() {
    return true;
}

std::vector<SinkCall> TakeSinkCalls() {
    std::lock_guard<std::mutex> lock(g_mutex);
    std::vector<SinkCall> taken;
    taken.swap(Calls());
    return taken;
}

}  // namespace kqtest
