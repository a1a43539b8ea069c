// SPDX-License-Identifier: MIT
// Shared parts of the soak and fault tests: process figures, the exchange
// payloads, and a host's view of the library (manager and interface).
#ifndef KQSOAK_SOAKUTIL_H
#define KQSOAK_SOAKUTIL_H

#include <cstdint>
#include <string>

#include "Capture.h"
#include "Exchange.h"
#include "ISerBase.h"
#include "Process.h"

namespace kqsoak {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizers keep freed memory aside, so resident memory grows by design.
constexpr bool kRssMeaningful = false;
#else
// Under user-mode emulation the figures are the emulator's.
constexpr bool kRssMeaningful = !kqtest::kEmulated;
#endif
// Resident memory may move by a few pages (stdio, the loader); a leak of even
// a few bytes per exchange shows far above this over 10 000 exchanges.
constexpr long kRssSlackKb = 64;
inline const char* const kVariant = kqtest::kConsole ? "console" : "silent";

// Exchanges per soak run: KQSER_SOAK_EXCHANGES, or a few thousand so that the
// ordinary suite stays fast.
int Exchanges();

// Reads exactly n bytes through the port, read after read, for at most
// deadlineMs in all. Returns what came.
std::string ReadFull(ISerBase* port, int n, int timeoutMs, int deadlineMs);

// Writes all of bytes through the port with Write(buf, len) calls.
bool WriteFull(ISerBase* port, const std::string& bytes);

// Standard output goes to /dev/null while it lives: the console build logs
// every transfer, and the network port prints two lines per read.
class QuietStdout {
public:
    QuietStdout();
    ~QuietStdout();
    QuietStdout(const QuietStdout&) = delete;
    QuietStdout& operator=(const QuietStdout&) = delete;

private:
    int saved_ = -1;
};

// Runs fn with standard output quiet and returns its result.
template <typename Fn>
auto QuietCall(Fn fn) -> decltype(fn()) {
    QuietStdout quiet;
    return fn();
}

// Figures sampled over a soak run: after the first window of exchanges and
// after the last.
// Resident memory counts the library code pages the run first touches late;
// anonymous resident memory (heap, stacks) is what a leak makes grow.
struct Figures {
    int fdsFirst = 0;
    int fdsLast = 0;
    long rssFirstKb = 0;
    long rssLastKb = 0;
    long anonFirstKb = 0;
    long anonLastKb = 0;
    void SampleFirst();
    void SampleLast();
    std::string Text() const;
};

// One soak run through a port: exchanges done, the first fault (empty when
// none), and the figures after the first window and at the end.
struct SoakRun {
    int done = 0;
    int window = 0;
    std::string fault;
    Figures figures;
    double seconds = 0;
};

// Opens the port, runs total request/response exchanges through it with
// Read time-outs of timeoutMs, stopping at the first lost, short or reordered
// reply, and closes it. Standard output is quiet meanwhile.
SoakRun RunExchanges(ISerBase* port, int total, int timeoutMs);

// A run's descriptors and memory stayed where the first window left them;
// prints its figures as "soak: <variant> <what> ...".
void ExpectSteady(const SoakRun& run, const char* what);

}  // namespace kqsoak

#endif
