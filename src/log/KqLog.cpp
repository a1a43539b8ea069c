// SPDX-License-Identifier: MIT
#include "KqLog_p.h"

#include "LogRoute_p.h"

namespace kq {
std::atomic<bool> g_consoleLinesLogged{false};
}  // namespace kq

#if !KQSER_CONSOLE_LOG

extern "C" __attribute__((visibility("hidden"))) int kq_own_trace_log(const char* section,
                                                                      const char* format, ...);

namespace kq {

std::atomic<bool> g_logRouted{false};
std::atomic<int> g_logState{kLogUnknown};

bool WorkOutLogState() {
    // volatile: the compiler must not assume two differently named functions
    // have different addresses; here they are the same one unless a host's
    // trace_log took over the dynamic symbol.
    static int (*volatile const own)(const char*, const char*, ...) = &kq_own_trace_log;
    const bool listened = &trace_log != own || g_logRouted.load(std::memory_order_relaxed);
    g_logState.store(listened ? kLogListened : kLogNobody, std::memory_order_relaxed);
    return listened;
}

}  // namespace kq

#endif
