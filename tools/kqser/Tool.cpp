// SPDX-License-Identifier: MIT
#include "Tool.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>

#include "Endpoint.h"
#include "LibraryLines.h"
#include "kqSer.h"

namespace {

bool g_logShown = false;
FILE* g_logOut = nullptr;
std::string g_logPrefix = "lib| ";
long g_logCalls = 0;
// The last lines the library logged, shown or not, with their call numbers:
// the explanation of a failure that -v would have shown.
const size_t kKeptLines = 8;
std::deque<std::pair<long, std::string>> g_kept;
FILE* g_data = nullptr;
void (*g_emergency)() = nullptr;

void OnSignal(int signo) {
    if (signo == SIGINT && kqtool::g_stop != 0) {
        if (g_emergency != nullptr) g_emergency();
        _exit(130);
    }
    if (kqtool::g_stopSignal == 0) kqtool::g_stopSignal = signo;
    kqtool::g_stop = 1;
}

}  // namespace

// The hook a host uses: with the silent build every log call of the library
// lands here, because the executable exports this symbol.
extern "C" __attribute__((visibility("default"))) int trace_log(const char* /*section*/,
                                                                const char* format, ...) {
    ++g_logCalls;
    if (format == nullptr) return 1;
    // The library logs between a failed call and the host's look at errno.
    const int savedErrno = errno;
    char small[512];
    std::string line;
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (n >= static_cast<int>(sizeof small)) {
        line.resize(static_cast<size_t>(n) + 1);
        std::vsnprintf(&line[0], line.size(), format, again);
        line.resize(static_cast<size_t>(n));
    } else if (n >= 0) {
        line = small;
    }
    va_end(again);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    g_kept.emplace_back(g_logCalls, line);
    if (g_kept.size() > kKeptLines) g_kept.pop_front();
    if (g_logShown) {
        std::fprintf(g_logOut != nullptr ? g_logOut : stderr, "%s%s\n", g_logPrefix.c_str(),
                     line.c_str());
    }
    errno = savedErrno;
    return 1;
}

namespace kqtool {

volatile std::sig_atomic_t g_stop = 0;
volatile std::sig_atomic_t g_stopSignal = 0;

int Complain(const Common& common, const std::string& message, int code) {
    std::fflush(Out());
    std::fflush(stdout);
    if (common.command.empty()) {
        std::fprintf(stderr, "kqser: %s\n", message.c_str());
    } else {
        std::fprintf(stderr, "kqser %s: %s\n", common.command.c_str(), message.c_str());
    }
    return code;
}

void Say(const Common& common, const char* format, ...) {
    if (common.quiet) return;
    std::fflush(stdout);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
}

void Report(const char* format, ...) {
    std::fflush(stdout);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
}

void ShowLibraryLog(bool shown, const std::string& prefix, FILE* out) {
    g_logShown = shown;
    g_logPrefix = prefix;
    g_logOut = out;
}

long LibraryLogCalls() {
    return g_logCalls;
}

std::vector<std::string> LibraryLinesSince(long mark) {
    std::vector<std::string> lines;
    for (const auto& kept : g_kept) {
        if (kept.first > mark) lines.push_back(kept.second);
    }
    return lines;
}

int FailWithCause(const Common& common, const std::string& message, long mark) {
    Complain(common, message, kExitFailed);
    // With -v the lines are on the screen already.
    if (common.verbose) return kExitFailed;
    for (const std::string& line : ExplainingLines(LibraryLinesSince(mark))) {
        std::fprintf(stderr, "kqser %s: library: %s\n", common.command.c_str(), line.c_str());
    }
    return kExitFailed;
}

void WarnRefusals(const Common& common, long mark) {
    for (const std::string& line : LibraryLinesSince(mark)) {
        if (IsOptionRefusal(line)) {
            std::fprintf(stderr, "kqser %s: warning: %s\n", common.command.c_str(), line.c_str());
        }
    }
}

FILE* Out() {
    return g_data != nullptr ? g_data : stdout;
}

bool SeparateData(bool discard) {
    if (g_data != nullptr) return true;
    std::fflush(stdout);
    const int data = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (data < 0) return false;
    FILE* file = fdopen(data, "w");
    const int sink = discard ? open("/dev/null", O_WRONLY | O_CLOEXEC) : STDERR_FILENO;
    const bool moved = sink >= 0 && dup2(sink, STDOUT_FILENO) >= 0;
    if (discard && sink >= 0) close(sink);
    if (file == nullptr || !moved) {
        if (file != nullptr) std::fclose(file);
        return false;
    }
    g_data = file;
    return true;
}

void InstallStopHandlers(void (*emergency)()) {
    g_emergency = emergency;
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a blocking read or select returns at once
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
}

double NowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1e6;
}

void SleepMs(double ms) {
    const double end = NowMs() + ms;
    while (g_stop == 0) {
        const double left = end - NowMs();
        if (left <= 0) break;
        const double slice = std::min(left, 50.0);
        timespec ts;
        ts.tv_sec = static_cast<time_t>(slice / 1000);
        ts.tv_nsec = static_cast<long>((slice - static_cast<double>(ts.tv_sec) * 1000) * 1e6);
        nanosleep(&ts, nullptr);
    }
}

Session::~Session() {
    Finish();
}

bool Session::Load(int* code) {
    if (lib_.handle != nullptr) return true;
    std::string error;
    if (!LoadKqLibrary(common_.libPath, &lib_, &error)) {
        *code = Complain(common_, error, kExitFailed);
        return false;
    }
    return true;
}

bool Session::Start(int* code) {
    if (!Load(code)) return false;
    manager_ = lib_.getSerManager();
    if (manager_ == nullptr) {
        *code = Complain(common_, "GetSerManager returned no manager", kExitFailed);
        return false;
    }
    return true;
}

ISerBase* Session::OpenPort(const std::string& def, int type, int* code, bool network,
                            const std::string& hint) {
    char typeText[16];
    std::snprintf(typeText, sizeof typeText, "0x%X", static_cast<unsigned>(type));
    const long mark = LibraryLogCalls();
    ISerBase* port = manager_->GetSer(def.empty() ? nullptr : def.c_str(), type);
    if (port == nullptr) {
        *code =
            Complain(common_, "the library has no port for '" + def + "' (type " + typeText + ")",
                     kExitFailed);
        return nullptr;
    }
    const double start = NowMs();
    errno = 0;
    const int opened = port->Open(nullptr);
    const int savedErrno = errno;  // what the failed open, socket or connect left
    if (!opened) {
        const std::string why =
            hint.empty() ? DescribeOpenFailure(network, savedErrno, NowMs() - start) : hint;
        const char* note = port->GetNote();
        *code = FailWithCause(common_,
                              "cannot open port " + std::string(note != nullptr ? note : def) +
                                  " (type " + typeText + ")" + (why.empty() ? "" : ": " + why),
                              mark);
        return nullptr;
    }
    WarnRefusals(common_, mark);
    open_.push_back(port);
    return port;
}

void Session::ClosePort(ISerBase* port) {
    auto it = std::find(open_.begin(), open_.end(), port);
    if (it == open_.end()) return;
    port->Close();
    open_.erase(it);
}

void Session::Finish() {
    while (!open_.empty()) ClosePort(open_.back());
    if (manager_ != nullptr) {
        lib_.freeSerManager();
        manager_ = nullptr;
    }
    std::fflush(Out());
    std::fflush(stdout);
}

}  // namespace kqtool
