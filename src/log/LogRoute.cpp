// SPDX-License-Identifier: MIT
#include "LogRoute_p.h"

#include "KqLog_p.h"

#if !KQSER_CONSOLE_LOG

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "AppendFile_p.h"
#include "LogLine_p.h"
#include "SysFile_p.h"
#include "SysNet_p.h"

namespace kq {

namespace {

using MakeLine = std::function<std::string(unsigned long long dropped)>;

// Where a line goes; each counts what it had to drop.
class Sink {
public:
    virtual ~Sink() = default;
    virtual void Put(const MakeLine& make, time_t now) = 0;
};

class FileSink : public Sink {
public:
    FileSink(const std::string& path, long long maxBytes) : file_(path, maxBytes, "") {}
    void Put(const MakeLine& make, time_t now) override { (void)file_.Append(make, now); }

private:
    AppendFile file_;
};

// Standard error as the host left it when the route was set up, through a
// duplicate of descriptor 2 taken then: a host that closes 2 (a daemon) and
// opens a serial line, which gets number 2, never receives log lines on it.
// A pipe or a terminal is written through a non-blocking open file of its
// own, so that a full pipe or a stopped terminal drops the line instead of
// holding up the port. A file is written within the process's file size
// limit (one write a line, the limit looked at once a second).
class StderrSink : public Sink {
public:
    StderrSink() {
        struct stat st {};
        if (!sys::Fstat(2, &st).Ok()) {
            return;  // closed: no route
        }
        dev_ = st.st_dev;
        ino_ = st.st_ino;
        if (S_ISSOCK(st.st_mode)) {
            kind_ = Kind::kSocket;
        } else if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode)) {
            kind_ = Kind::kStream;
            const sys::Result own =
                sys::Open("/proc/self/fd/2", O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
            if (own.Ok()) {
                fd_ = static_cast<int>(own.value);
                writable_ = true;
                return;
            }
        }
        const sys::Result dup = sys::Duplicate(2);
        fd_ = dup.Ok() ? static_cast<int>(dup.value) : -1;
    }
    ~StderrSink() override {
        if (fd_ >= 0) {
            (void)sys::Close(fd_);
        }
    }
    StderrSink(const StderrSink&) = delete;
    StderrSink& operator=(const StderrSink&) = delete;

    bool ok() const { return fd_ >= 0; }
    // Whether descriptor 2 is still the file this route writes to.
    bool Current() const {
        struct stat st {};
        return ok() && sys::Fstat(2, &st).Ok() && st.st_dev == dev_ && st.st_ino == ino_;
    }

    void Put(const MakeLine& make, time_t now) override {
        const std::string line = make(dropped_);
        sys::Result n;
        switch (kind_) {
            case Kind::kFile:
                if (Fits(line.size(), now)) {
                    n = sys::WriteNoSizeSignal(fd_, line.data(), line.size());
                    if (n.value > 0 && static_cast<size_t>(n.value) < line.size()) {
                        // End the piece, so the next line starts a line.
                        (void)sys::WriteNoSizeSignal(fd_, "\n", 1);
                    }
                }
                break;
            case Kind::kSocket: n = sys::SendNow(fd_, line.data(), line.size()); break;
            case Kind::kStream:
                // A line is at most PIPE_BUF bytes: a pipe takes it whole or not at all.
                if (writable_ || sys::WritableNow(fd_).value == 1) {
                    n = sys::WriteNoPipeSignal(fd_, line.data(), line.size());
                }
                break;
        }
        dropped_ = n.Ok() && static_cast<size_t>(n.value) == line.size() ? 0 : dropped_ + 1;
    }

private:
    // Whether a line of size bytes stays within the file size limit. Other
    // writers of the file (the host) take no lock of ours: the check leaves
    // a race, which the write with SIGXFSZ held back closes.
    bool Fits(size_t size, time_t now) {
        if (!limitRead_ || now != limitAt_) {
            limitRead_ = true;
            limitAt_ = now;
            sizeLimit_ = sys::FileSizeLimit();
        }
        if (sizeLimit_ < 0) {
            return true;
        }
        struct stat st {};
        return sys::Fstat(fd_, &st).Ok() &&
               (!S_ISREG(st.st_mode) || st.st_size + static_cast<long long>(size) <= sizeLimit_);
    }

    enum class Kind { kFile, kSocket, kStream };
    Kind kind_ = Kind::kFile;
    int fd_ = -1;
    bool writable_ = false;  // fd_ is non-blocking: a write never waits
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    bool limitRead_ = false;
    time_t limitAt_ = 0;
    long long sizeLimit_ = -1;
    unsigned long long dropped_ = 0;
};

// The local syslog daemon's datagram socket; when it is not there (no daemon,
// a daemon restarting) lines are dropped and it is looked for once a second.
class SyslogSink : public Sink {
public:
    ~SyslogSink() override { Disconnect(); }

    void Put(const MakeLine& make, time_t now) override {
        if (fd_ < 0 && (!tried_ || now != triedAt_)) {
            tried_ = true;
            triedAt_ = now;
            const sys::Result fd = sys::ConnectLocalDatagram("/dev/log");
            fd_ = fd.Ok() ? static_cast<int>(fd.value) : -1;
        }
        bool sent = false;
        if (fd_ >= 0) {
            const std::string datagram = FormatSyslog(sys::ProcessId(), make(dropped_));
            const sys::Result n = sys::SendNow(fd_, datagram.data(), datagram.size());
            sent = n.Ok();
            if (!sent && n.error != EAGAIN && n.error != ENOBUFS) {
                Disconnect();  // the daemon went away: find it again later
            }
        }
        dropped_ = sent ? 0 : dropped_ + 1;
    }

private:
    void Disconnect() {
        if (fd_ >= 0) {
            (void)sys::Close(fd_);
            fd_ = -1;
        }
    }

    int fd_ = -1;
    bool tried_ = false;
    time_t triedAt_ = 0;
    unsigned long long dropped_ = 0;
};

struct Route {
    std::mutex lock;
    LogOptions options;
    std::unique_ptr<Sink> sink;
    // The local time of the last second a line was stamped in: lines come
    // many a second, and the conversion is the dearest part of a stamp.
    bool stamped = false;
    time_t stampSecond = 0;
    tm stampLocal{};
};

// Never destroyed: ports may log while the process exits.
Route& TheRoute() {
    static Route* const route = new Route();
    return *route;
}

bool SameRoute(const LogOptions& a, const LogOptions& b) {
    return a.to == b.to && a.file == b.file && a.timestamps == b.timestamps && a.maxKib == b.maxKib;
}

// A route that cannot be set up (standard error closed, a file path that
// is refused): the one line that says so goes to the local syslog daemon,
// the one place left (if it is there).
void SayUnrouted(const std::string& text) {
    SyslogSink syslog;
    syslog.Put(
        [&](unsigned long long /*dropped*/) {
            return FormatLogLine("", 0, text.data(), text.size());
        },
        sys::Now().tv_sec);
}

}  // namespace

bool LogRouted() {
    return g_logRouted.load(std::memory_order_relaxed);
}

void ApplyLogOptions(const LogOptions& options) {
    g_consoleLinesLogged.store(options.consoleLinesLogged, std::memory_order_relaxed);
    Route& route = TheRoute();
    std::lock_guard<std::mutex> hold(route.lock);
    // Standard error is taken again when descriptor 2 is another file now.
    if (route.sink != nullptr && SameRoute(route.options, options) &&
        (options.to != LogTo::kStderr || static_cast<StderrSink&>(*route.sink).Current())) {
        return;  // a file keeps its descriptor and its count of dropped lines
    }
    route.options = options;
    route.sink.reset();
    switch (options.to) {
        case LogTo::kNone: break;
        case LogTo::kStderr: {
            auto sink = std::make_unique<StderrSink>();
            if (sink->ok()) {
                route.sink = std::move(sink);
            } else {
                SayUnrouted("log to = stderr: descriptor 2 is closed; no lines routed");
            }
            break;
        }
        case LogTo::kSyslog: route.sink = std::make_unique<SyslogSink>(); break;
        case LogTo::kFile: {
            const std::string refusal = PathRefusal(options.file);
            if (refusal.empty()) {
                route.sink = std::make_unique<FileSink>(options.file, options.maxKib * 1024LL);
            } else {
                SayUnrouted("log to = " + options.file + ": " + refusal + "; no lines routed");
            }
            break;
        }
    }
    g_logRouted.store(route.sink != nullptr, std::memory_order_relaxed);
    WorkOutLogState();
}

void RouteLogLine(const char* format, va_list args) {
    if (!LogRouted() || format == nullptr) {
        return;
    }
    const int saved = errno;
    char text[kMaxLogLine];
    const int n = std::vsnprintf(text, sizeof text, format, args);
    const size_t length = n < 0 ? 0 : static_cast<size_t>(n) < sizeof text ? n : sizeof text - 1;
    const timespec now = sys::Now();
    Route& route = TheRoute();
    {
        std::lock_guard<std::mutex> hold(route.lock);
        if (route.sink != nullptr) {
            std::string stamp;
            if (route.options.timestamps) {
                if (!route.stamped || route.stampSecond != now.tv_sec) {
                    route.stamped = localtime_r(&now.tv_sec, &route.stampLocal) != nullptr;
                    route.stampSecond = now.tv_sec;
                }
                if (route.stamped) {
                    stamp = FormatStamp(route.stampLocal, now.tv_nsec / 1000);
                }
            }
            route.sink->Put(
                [&](unsigned long long dropped) {
                    return FormatLogLine(stamp, dropped, text, length);
                },
                now.tv_sec);
        }
    }
    errno = saved;
}

}  // namespace kq

#else

namespace kq {

bool LogRouted() {
    return false;
}

void ApplyLogOptions(const LogOptions& options) {
    g_consoleLinesLogged.store(options.consoleLinesLogged, std::memory_order_relaxed);
}

void RouteLogLine(const char* /*format*/, va_list /*args*/) {}

}  // namespace kq

#endif
