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

bool LogListened() {
    // volatile: the compiler must not assume two differently named functions
    // have different addresses; here they are the same one unless a host's
    // trace_log took over the dynamic symbol.
    static int (*volatile const own)(const char*, const char*, ...) = &kq_own_trace_log;
    return &trace_log != own || LogRouted();
}

}  // namespace kq

#endif
