// SPDX-License-Identifier: MIT
// What the subcommands share: exit codes, the library session, the log hook
// and the stop flag.
#ifndef KQSER_TOOL_TOOL_H
#define KQSER_TOOL_TOOL_H

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "ISerBase.h"
#include "Library.h"
#include "Options.h"

namespace kqtool {

enum ExitCode {
    kExitOk = 0,
    kExitFailed = 1,   // the library or a port failed
    kExitUsage = 2,    // bad command line
    kExitNoReply = 3,  // send, modbus: an exchange got no reply; listen: fewer frames than --count
    kExitException = 4,  // modbus: the unit answered with an exception
};

struct Common {
    std::string command;  // "send", for messages
    std::string libPath;
    bool verbose = false;
    bool quiet = false;  // -q: no banners or progress lines
};

// Prints "kqser <command>: <message>" on standard error and returns code.
int Complain(const Common& common, const std::string& message, int code);
// A banner or progress line: printf-style on standard error, nothing with
// -q. Data goes to standard output instead.
void Say(const Common& common, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Figures and summaries: on standard error, -q or not.
void Report(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The library's log lines that reach this tool's trace_log (silent build):
// shown on out (standard error unless given) with the prefix when shown is
// true, else dropped.
void ShowLibraryLog(bool shown, const std::string& prefix = "lib| ", FILE* out = nullptr);
// How many log calls arrived so far: the mark before a library call.
long LibraryLogCalls();
// The last few lines the library logged after the mark (silent build).
std::vector<std::string> LibraryLinesSince(long mark);
// Complain, then (without -v) the library's lines since mark that explain
// it; returns kExitFailed.
int FailWithCause(const Common& common, const std::string& message, long mark);
// The library's refusals of options since mark (the port opened all the
// same), as warnings on standard error.
void WarnRefusals(const Common& common, long mark);

// Where data goes: standard output, unless SeparateData moved the tool's
// standard output to standard error (or, discard, to /dev/null: -q), so
// that whatever the library prints there (the console build's log lines,
// its direct console lines) stays out of the data.
FILE* Out();
bool SeparateData(bool discard);

// Set by SIGINT, SIGTERM and SIGHUP; a second SIGINT ends the process at once
// (after the emergency hook, which must be async-signal-safe).
extern volatile std::sig_atomic_t g_stop;
// The signal that set g_stop first, 0 while none came.
extern volatile std::sig_atomic_t g_stopSignal;
void InstallStopHandlers(void (*emergency)() = nullptr);

// Milliseconds on the monotonic clock.
double NowMs();
// Sleeps up to ms, waking early when g_stop is set.
void SleepMs(double ms);

// The library, its manager and the ports this run opened. The destructor
// closes those ports, then frees the manager, as a host must.
class Session {
public:
    explicit Session(const Common& common) : common_(common) {}
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Loads the library; false after complaining (exit code in *code).
    bool Load(int* code);
    // Load, then GetSerManager.
    bool Start(int* code);
    // GetSer and Open; null after complaining. The complaint about a failed
    // Open ends with the hint, when given, else with the reason errno gives.
    ISerBase* OpenPort(const std::string& def, int type, int* code, bool network = false,
                       const std::string& hint = "");
    void ClosePort(ISerBase* port);
    // Closes what is open and frees the manager; the destructor does it too.
    void Finish();

    const KqLibrary& lib() const { return lib_; }
    ISerManager* manager() const { return manager_; }

private:
    const Common& common_;
    KqLibrary lib_;
    ISerManager* manager_ = nullptr;
    std::vector<ISerBase*> open_;
};

}  // namespace kqtool

#endif
