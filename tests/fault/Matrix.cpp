// SPDX-License-Identifier: MIT
#include "Matrix.h"

#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "Process.h"

namespace kqtest {

namespace {

using interpose::Fn;

// Room over an operation's bound for a machine shared with other work.
constexpr double kSlackMs = 750;
// A child still running after this is hung: the longest scenario step
// (a connect) is bounded at 15 s.
constexpr double kChildBoundMs = 90000;

std::string MakeDir() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/kqfault.XXXXXX";
    return mkdtemp(&pattern[0]) != nullptr ? pattern : "";
}

int RemoveEntry(const char* path, const struct stat*, int, FTW*) {
    return std::remove(path);
}

void RemoveTree(const std::string& dir) {
    if (!dir.empty()) {
        nftw(dir.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
    }
}

void WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        done += static_cast<size_t>(n);
    }
}

// The child's report: one line per fact.
std::string Report(const FaultInjector& injector, const Context& ctx) {
    std::ostringstream out;
    out << "landed " << (injector.Landed() ? 1 : 0) << " " << injector.LandedSite() << "\n";
    out << "growth " << ctx.growth().heap << " " << ctx.growth().fds << " " << ctx.growth().held
        << "\n";
    for (int i = 0; i < interpose::kFnCount; ++i) {
        const int n = injector.Calls(static_cast<Fn>(i));
        if (n > 0) {
            out << "calls " << interpose::FnName(static_cast<Fn>(i)) << " " << n << "\n";
        }
    }
    if (ctx.findings.empty()) {
        out << "pass\n";
    } else {
        std::string why = ctx.findings.text();
        std::replace(why.begin(), why.end(), '\n', ' ');
        out << "fail " << why << "\n";
    }
    return out.str();
}

[[noreturn]] void ChildMain(int out, const Scenario& s, FaultInjector& injector, const Fault& fault,
                            const Growth* allowance) {
    // The library's own console lines would bury the test's output.
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
        dup2(null, STDOUT_FILENO);
        close(null);
    }
    const std::string dir = MakeDir();
    std::string report;
    {
        Context ctx(injector, fault, dir, allowance);
        if (dir.empty()) {
            ctx.findings.Add("no folder for the run: %s", std::strerror(errno));
        } else {
            s.run(ctx);
        }
        report = Report(injector, ctx);
    }
    WriteAll(out, report);
    RemoveTree(dir);
    _exit(0);
}

void Parse(const std::string& text, Outcome* o) {
    std::istringstream in(text);
    std::string line;
    bool verdict = false;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string key;
        words >> key;
        if (key == "landed") {
            int landed = 0;
            words >> landed >> o->site;
            o->landed = landed != 0;
        } else if (key == "growth") {
            words >> o->growth.heap >> o->growth.fds >> o->growth.held;
        } else if (key == "calls") {
            std::string name;
            int n = 0;
            words >> name >> n;
            Fn fn;
            if (interpose::FnByName(name.c_str(), &fn)) {
                o->calls[static_cast<int>(fn)] = n;
            }
        } else if (key == "pass") {
            o->pass = verdict = true;
        } else if (key == "fail") {
            verdict = true;
            o->pass = false;
            o->why = line.size() > 5 ? line.substr(5) : "";
        }
    }
    if (!verdict) {
        o->pass = false;
        o->why = "no report from the run";
    }
}

struct Running {
    pid_t pid;
    int fd;
    size_t index;
    double startMs;
    bool killed;
    std::string text;
};

}  // namespace

long long HeapSlack() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return 0;
#else
    // The C library's count takes what a thread's cache holds for in use (a
    // block freed there still counts), and even without that cache it moves
    // by a few dozen bytes between runs that keep the same blocks.
    const char* tunables = std::getenv("GLIBC_TUNABLES");
    const bool noCache =
        tunables != nullptr && std::strstr(tunables, "glibc.malloc.tcache_count=0") != nullptr;
    return noCache ? 256 : -1;
#endif
}

void Findings::Add(const char* format, ...) {
    if (count_++ > 0 && length_ + 2 < sizeof text_) {
        text_[length_++] = ';';
        text_[length_++] = ' ';
    }
    if (length_ + 1 < sizeof text_) {
        va_list args;
        va_start(args, format);
        const int n = std::vsnprintf(text_ + length_, sizeof text_ - length_, format, args);
        va_end(args);
        if (n > 0) {
            length_ = std::min(sizeof text_ - 1, length_ + static_cast<size_t>(n));
        }
    }
}

void ByteLog::Append(const void* bytes, size_t n) {
    const size_t room = kRoom - size_;
    const size_t take = n < room ? n : room;
    std::memcpy(bytes_ + size_, bytes, take);
    size_ += take;
}

std::string ByteLog::str() const {
    return std::string(reinterpret_cast<const char*>(bytes_), size_);
}

Context::Context(FaultInjector& injector, const Fault& fault, std::string dir,
                 const Growth* allowance)
    : injector_(injector), fault_(fault), dir_(std::move(dir)), allowance_(allowance) {}

void Context::Watch() {
    fdsAtWatch_ = OpenFdCount();
    heldAtWatch_ = injector_.Held();
    heapAtWatch_ = HeapInUse();
    injector_.Start(fault_);
}

void Context::Unwatch() {
    injector_.Stop();
    const int fds = OpenFdCount();
    const int held = injector_.Held();
    growth_.heap = HeapInUse() - heapAtWatch_;
    growth_.fds = fds - fdsAtWatch_;
    growth_.held = held - heldAtWatch_;
    if (allowance_ == nullptr) {
        return;
    }
    // Fewer is no fault: what a manager closes may have been open before it.
    if (growth_.fds > allowance_->fds) {
        findings.Add("%d descriptors open after FreeSerManager, %d before (without a fault: %+d)",
                     fds, fdsAtWatch_, allowance_->fds);
    }
    if (growth_.held > allowance_->held) {
        findings.Add(
            "the library holds %d descriptors or folders more than it opened "
            "(without a fault: %+d)",
            growth_.held, allowance_->held);
    }
    const long long slack = HeapSlack();
    if (slack >= 0 && growth_.heap > allowance_->heap + slack) {
        findings.Add("heap grew by %lld bytes (without a fault: %lld)", growth_.heap,
                     allowance_->heap);
    }
}

Step::Step(Context& ctx, const char* what, double boundMs)
    : ctx_(ctx), what_(what), boundMs_(boundMs), startMs_(NowMs()), clean_(!ctx.Landed()) {}

bool Step::End() {
    if (!ended_) {
        ended_ = true;
        const double took = NowMs() - startMs_;
        if (took > boundMs_ + kSlackMs) {
            ctx_.findings.Add("%s took %.0f ms (bound %.0f ms)", what_, took, boundMs_);
        }
        faulted_ = clean_ && ctx_.Landed();
    }
    return faulted_;
}

void Runner::WarmUp(const Scenario& s) {
    const std::string dir = MakeDir();
    {
        Context ctx(injector_, Fault(), dir, nullptr);
        s.run(ctx);
    }
    RemoveTree(dir);
}

Outcome Runner::Count(const Scenario& s) {
    return RunAllMeasured(s, {Injection{Fn::kCount, 0, FaultKind{}}}, nullptr).at(0);
}

std::vector<Outcome> Runner::RunAll(const Scenario& s, const std::vector<Injection>& plan,
                                    const Growth& allowance) {
    return RunAllMeasured(s, plan, &allowance);
}

std::vector<Outcome> Runner::RunAllMeasured(const Scenario& s, const std::vector<Injection>& plan,
                                            const Growth* allowance) {
    std::vector<Outcome> outcomes(plan.size());
    std::vector<Running> running;
    size_t next = 0;
    std::fflush(nullptr);  // nothing buffered may be written twice
    while (next < plan.size() || !running.empty()) {
        while (running.size() < static_cast<size_t>(std::max(1, jobs_)) && next < plan.size()) {
            const Injection& in = plan[next];
            outcomes[next].injection = in;
            int fds[2];
            if (pipe2(fds, O_CLOEXEC) != 0) {
                outcomes[next++].why = std::string("pipe: ") + std::strerror(errno);
                continue;
            }
            const pid_t pid = fork();
            if (pid == 0) {
                close(fds[0]);
                for (const Running& r : running) {
                    close(r.fd);
                }
                ChildMain(fds[1], s, injector_, MakeFault(in.fn, in.nth, in.kind), allowance);
            }
            close(fds[1]);
            if (pid < 0) {
                close(fds[0]);
                outcomes[next++].why = std::string("fork: ") + std::strerror(errno);
                continue;
            }
            running.push_back({pid, fds[0], next++, NowMs(), false, ""});
        }
        std::vector<pollfd> polls;
        for (const Running& r : running) {
            polls.push_back({r.fd, POLLIN, 0});
        }
        if (poll(polls.data(), polls.size(), 100) < 0 && errno != EINTR) {
            break;
        }
        for (size_t i = running.size(); i-- > 0;) {
            Running& r = running[i];
            if (!r.killed && NowMs() - r.startMs > kChildBoundMs) {
                kill(r.pid, SIGKILL);
                r.killed = true;
            }
            if (polls[i].revents == 0) {
                continue;
            }
            char buf[4096];
            const ssize_t n = read(r.fd, buf, sizeof buf);
            if (n > 0) {
                r.text.append(buf, static_cast<size_t>(n));
                continue;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            close(r.fd);
            int status = 0;
            while (waitpid(r.pid, &status, 0) < 0 && errno == EINTR) {
            }
            Outcome& o = outcomes[r.index];
            o.ms = NowMs() - r.startMs;
            Parse(r.text, &o);
            if (r.killed) {
                o.pass = false;
                o.why = "hung: still running after " + std::to_string(int(kChildBoundMs)) + " ms";
            } else if (WIFSIGNALED(status)) {
                o.pass = false;
                o.why = std::string("crashed: ") + strsignal(WTERMSIG(status));
            } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
                o.pass = false;
                o.why = "exit status " + std::to_string(WEXITSTATUS(status));
            }
            running.erase(running.begin() + static_cast<long>(i));
        }
    }
    return outcomes;
}

}  // namespace kqtest
