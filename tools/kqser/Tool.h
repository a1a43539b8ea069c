// What the subcommands share: exit codes, the library session, the log hook
// and the stop flag.
#ifndef KQSER_TOOL_TOOL_H
#define KQSER_TOOL_TOOL_H

#include <csignal>
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
    kExitNoReply = 3,  // send: an exchange got no reply; listen: fewer frames than --count
};

struct Common {
    std::string command;  // "send", for messages
    std::string libPath;
    bool verbose = false;
};

// Prints "kqser <command>: <message>" on standard error and returns code.
int Complain(const Common& common, const std::string& message, int code);

// The library's log lines that reach this tool's trace_log (silent build):
// shown on standard output with the prefix when shown is true, else dropped.
void ShowLibraryLog(bool shown, const std::string& prefix = "lib| ");
// How many log calls arrived so far.
long LibraryLogCalls();

// Set by SIGINT, SIGTERM and SIGHUP; a second SIGINT ends the process at once
// (after the emergency hook, which must be async-signal-safe).
extern volatile std::sig_atomic_t g_stop;
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
    // GetSer and Open; null after complaining. The hint, when given, ends
    // the complaint about a failed Open.
    ISerBase* OpenPort(const std::string& def, int type, int* code, const std::string& hint = "");
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
