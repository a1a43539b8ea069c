// The one way library code logs. Internal header: not installed.
//
//   KQ_LOG("CSerCom InitCom: %x  %d\r\n", KQ_ADDR(this), m_nNumber);
//
// Silent build: the call goes to the exported trace_log with the section
// "RtLog", resolved through the dynamic symbol table, so a host that defines
// its own trace_log receives it. While the library's own (empty) trace_log is
// the one in force, the call and the evaluation of its arguments are skipped;
// nothing a host can observe changes.
// Console build: the line is printed on standard output exactly as printf
// prints it.
#ifndef KQSER_KQLOG_H
#define KQSER_KQLOG_H

#include <cstdint>
#include <cstdio>

#ifndef KQSER_CONSOLE_LOG
#error "KQSER_CONSOLE_LOG must be defined by the build (0 silent, 1 console)"
#endif

#if KQSER_CONSOLE_LOG

#define KQ_LOG_LISTENED() true
#define KQ_LOG(...) ((void)std::printf(__VA_ARGS__))

#else

extern "C" int trace_log(const char* section, const char* format, ...);

namespace kq {
// True when the trace_log in force is not the library's own.
bool LogListened();
}  // namespace kq

#define KQ_LOG_LISTENED() (kq::LogListened())
#define KQ_LOG(...) ((void)(kq::LogListened() && trace_log("RtLog", __VA_ARGS__)))

#endif

// Addresses are logged with "%x": pass the low 32 bits as an unsigned int,
// which is the whole address on the 32-bit target.
#define KQ_ADDR(p) (static_cast<unsigned int>(reinterpret_cast<std::uintptr_t>(p)))

#endif
