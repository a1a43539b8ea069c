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

// Standard error as the host left it. A pipe or a terminal is written through
// a non-blocking descriptor of its own, so that a full pipe or a stopped
// terminal drops the line instead of holding up the port.
class StderrSink : public Sink {
public:
    StderrSink() {
        struct stat st {};
        if (!sys::Fstat(2, &st).Ok()) {
            return;
        }
        if (S_ISSOCK(st.st_mode)) {
            kind_ = Kind::kSocket;
        } else if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode)) {
            kind_ = Kind::kStream;
            const sys::Result own =
                sys::Open("/proc/self/fd/2", O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
            fd_ = own.Ok() ? static_cast<int>(own.value) : -1;
        }
    }
    ~StderrSink() override {
        if (fd_ >= 0) {
            (void)sys::Close(fd_);
        }
    }
    StderrSink(const StderrSink&) = delete;
    StderrSink& operator=(const StderrSink&) = delete;

    void Put(const MakeLine& make, time_t /*now*/) override {
        const std::string line = make(dropped_);
        sys::Result n;
        switch (kind_) {
            case Kind::kFile:
                n = sys::Write(2, line.data(), line.size(), sys::OnSignal::kRetry);
                break;
            case Kind::kSocket: n = sys::SendNow(2, line.data(), line.size()); break;
            case Kind::kStream:
                // A line is at most PIPE_BUF bytes: a pipe takes it whole or not at all.
                if (fd_ >= 0) {
                    n = sys::WriteNoPipeSignal(fd_, line.data(), line.size());
                } else if (sys::WritableNow(2).value == 1) {
                    n = sys::WriteNoPipeSignal(2, line.data(), line.size());
                }
                break;
        }
        dropped_ = n.Ok() && static_cast<size_t>(n.value) == line.size() ? 0 : dropped_ + 1;
    }

private:
    enum class Kind { kFile, kSocket, kStream };
    Kind kind_ = Kind::kFile;
    int fd_ = -1;
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

}  // namespace

bool LogRouted() {
    return g_logRouted.load(std::memory_order_relaxed);
}

void ApplyLogOptions(const LogOptions& options) {
    g_consoleLinesLogged.store(options.consoleLinesLogged, std::memory_order_relaxed);
    Route& route = TheRoute();
    std::lock_guard<std::mutex> hold(route.lock);
    if (route.sink != nullptr && SameRoute(route.options, options)) {
        return;  // a file keeps its descriptor and its count of dropped lines
    }
    route.options = options;
    route.sink.reset();
    switch (options.to) {
        case LogTo::kNone: break;
        case LogTo::kStderr: route.sink = std::make_unique<StderrSink>(); break;
        case LogTo::kSyslog: route.sink = std::make_unique<SyslogSink>(); break;
        case LogTo::kFile:
            route.sink = std::make_unique<FileSink>(options.file, options.maxKib * 1024LL);
            break;
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
