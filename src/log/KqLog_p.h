// SPDX-License-Identifier: MIT
// The one way library code logs. Internal header: not installed.
//
//   KQ_LOG("CSerCom InitCom: %x  %d\r\n", KQ_ADDR(this), m_nNumber);
//
// Silent build: the call goes to the exported trace_log with the section
// "RtLog", resolved through the dynamic symbol table, so a host that defines
// its own trace_log receives it. The library's own trace_log sends the line
// where [log] to says (LogRoute_p.h); while it is the one in force and sends
// nowhere, the call and the evaluation of its arguments are skipped.
// Console build: the line is printed on standard output exactly as printf
// prints it.
//
// The few lines both builds print on standard output by themselves go
// through KQ_PUTS (a text, as puts prints it) and KQ_PRINTF (as printf): with
// console_lines = log they take the way of every other log line instead.
#ifndef KQSER_KQLOG_H
#define KQSER_KQLOG_H

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>

namespace kq {
// console_lines = log in force (set by ApplyLogOptions).
extern std::atomic<bool> g_consoleLinesLogged;
__attribute__((always_inline)) inline bool ConsoleLinesLogged() {
    return g_consoleLinesLogged.load(std::memory_order_relaxed);
}
}  // namespace kq

#ifndef KQSER_CONSOLE_LOG
#error "KQSER_CONSOLE_LOG must be defined by the build (0 silent, 1 console)"
#endif

#if KQSER_CONSOLE_LOG

#define KQ_LOG_LISTENED() true
#define KQ_LOG(...) ((void)std::printf(__VA_ARGS__))

#else

extern "C" int trace_log(const char* section, const char* format, ...);

namespace kq {
// The library's own trace_log sends lines somewhere ([log] to).
extern std::atomic<bool> g_logRouted;
// Whether anybody takes the lines: kLogUnknown until the first line or
// ApplyLogOptions works it out.
enum : int { kLogUnknown = 0, kLogNobody = 1, kLogListened = 2 };
extern std::atomic<int> g_logState;
// Works g_logState out: whether the trace_log in force is a host's (the
// dynamic linker decided when it loaded the library) or the library's own
// sends its lines somewhere.
bool WorkOutLogState();
// True when the trace_log in force is not the library's own, or when the
// library's own sends its lines somewhere. Without either, a line costs one
// load and a branch.
__attribute__((always_inline)) inline bool LogListened() {
    const int state = g_logState.load(std::memory_order_relaxed);
    return state == kLogNobody ? false : state == kLogListened ? true : WorkOutLogState();
}
}  // namespace kq

#define KQ_LOG_LISTENED() (kq::LogListened())
#define KQ_LOG(...) ((void)(kq::LogListened() && trace_log("RtLog", __VA_ARGS__)))

#endif

namespace kq {
// The code around a console line reads errno after it, as it could after
// puts or printf; a host's trace_log must not change what it reads.
template <typename Fn>
void KeepingErrno(Fn fn) {
    const int saved = errno;
    fn();
    errno = saved;
}
}  // namespace kq

#define KQ_PUTS(text)                                                        \
    (kq::ConsoleLinesLogged() ? kq::KeepingErrno([&] { KQ_LOG(text "\n"); }) \
                              : (void)std::puts(text))
#define KQ_PRINTF(...)                                                         \
    (kq::ConsoleLinesLogged() ? kq::KeepingErrno([&] { KQ_LOG(__VA_ARGS__); }) \
                              : (void)std::printf(__VA_ARGS__))

// Addresses are logged with "%x": pass the low 32 bits as an unsigned int,
// which is the whole address on the 32-bit target.
#define KQ_ADDR(p) (static_cast<unsigned int>(reinterpret_cast<std::uintptr_t>(p)))

#endif
