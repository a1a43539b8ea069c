// SPDX-License-Identifier: MIT
// What the library prints and logs while a piece of test code runs.
#ifndef KQTEST_CAPTURE_H
#define KQTEST_CAPTURE_H

#include <functional>
#include <string>
#include <vector>

namespace kqtest {

// True in test binaries linked with the console-log build (Variant.cpp).
extern const bool kConsole;
// The path of that build's kqSer.so, for tests that load it as a host does.
extern const char* const kLibrary;

// True in cross builds, whose tests run under user-mode emulation (qemu-user):
// a few socket options are not translated there.
constexpr bool kEmulated = KQTEST_EMULATED != 0;

// One call of the host-side trace_log (test binaries built with SPY).
struct SinkCall {
    std::string section;
    std::string format;
    std::string text;  // the format rendered with its arguments
};

struct Captured {
    std::string out;              // everything printed on standard output
    std::string log;              // log lines: sink calls (silent) or stdout (console)
    std::vector<SinkCall> calls;  // silent build with the spy: the sink calls
};

// Runs fn with standard output redirected to a temporary file.
std::string CaptureStdout(const std::function<void()>& fn);

// Runs fn and collects its standard output and the log lines of this
// binary's variant.
Captured Capture(const std::function<void()>& fn);

// Sink calls recorded by the spy; false when the spy is not linked in.
bool SpyLinked();
std::vector<SinkCall> TakeSinkCalls();

// Whole lines of text (each line keeps its end).
std::vector<std::string> Lines(const std::string& text);

}  // namespace kqtest

#endif
