// SPDX-License-Identifier: MIT
#include "bench_support.h"

#include <pty.h>
#include <sched.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "kqSer.h"

namespace kqbench {

int64_t NowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

int64_t ThreadCpuNs() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

void SleepUntil(int64_t atNs) {
    const timespec ts{static_cast<time_t>(atNs / 1000000000), static_cast<long>(atNs % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

void Fail(const char* who, const char* what) {
    std::fprintf(stderr, "kqser_bench %s: %s: %s\n", who, what, std::strerror(errno));
    std::exit(1);
}

int64_t T35Ns(int baud) {
    return baud > 19200 ? 1750000 : 35LL * 1000000000 / baud;
}

namespace {

std::string TryRealTime() {
    sched_param param{};
    param.sched_priority = sched_get_priority_min(SCHED_FIFO) + 10;
    if (sched_setscheduler(0, SCHED_FIFO, &param) == 0) {
        return "SCHED_FIFO";
    }
    return std::string("SCHED_OTHER (") + std::strerror(errno) + ")";
}

}  // namespace

PacedPty::PacedPty(const char* who, int requestSize, Answer answer, bool realTime)
    : requestSize_(requestSize), realTime_(realTime), answer_(std::move(answer)) {
    char name[64] = {};
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) Fail(who, "openpty");
    name_ = std::string(name).substr(5);
    thread_ = std::thread([this] { Run(); });
}

PacedPty::~PacedPty() {
    if (slave_ >= 0) ::close(slave_);  // the master then reads EIO
    thread_.join();
    ::close(master_);
}

std::string PacedPty::Scheduling() {
    while (scheduling_.load() == 0) usleep(1000);
    return schedulingText_;
}

void PacedPty::Run() {
    prctl(PR_SET_TIMERSLACK, 1UL);  // pacing at 87 us a byte needs a fine timer
    schedulingText_ = realTime_ ? TryRealTime() : "SCHED_OTHER";
    scheduling_.store(1);
    std::vector<unsigned char> req(static_cast<size_t>(requestSize_));
    for (;;) {
        int got = 0;
        while (got < requestSize_) {
            const ssize_t n = ::read(master_, req.data() + got, req.size() - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;
            got += static_cast<int>(n);
        }
        const int64_t start = NowNs();
        const std::vector<unsigned char> reply = answer_(req.data());
        const int64_t charNs = 10 * 1000000000LL / baud_.load();
        int64_t late = 0;
        for (size_t i = 0; i < reply.size(); ++i) {
            const int64_t due = start + static_cast<int64_t>(i + 1) * charNs;
            SleepUntil(due);  // a byte is there when its stop bit is
            if (::write(master_, &reply[i], 1) != 1) return;
            const int64_t at = NowNs();
            late = std::max(late, at - due);
            if (i + 1 == reply.size()) {
                lateness_.store(late);
                lastLateness_.store(at - due);
                lastByte_.store(at);
            }
        }
    }
}

ConfiguredLibrary::ConfiguredLibrary(const char* who, const std::vector<SerialSection>& sections,
                                     int firstPortNumber)
    : who_(who), number_(firstPortNumber) {
    if (mkdtemp(dir_) == nullptr) Fail(who, "mkdtemp");
    conf_ = std::string(dir_) + "/kqser.conf";
    ini_ = std::string(dir_) + "/kqser.log.ini";
    FILE* f = std::fopen(conf_.c_str(), "w");
    if (f == nullptr) Fail(who, "kqser.conf");
    for (const SerialSection& s : sections) {
        std::fprintf(f, "[serial %s]\n%s\n", s.line.c_str(), s.setting.c_str());
    }
    std::fclose(f);
    setenv("KQSER_CONF", conf_.c_str(), 1);

    std::string error;
    if (!kqtool::LoadKqLibrary(KQBENCH_LIB_SILENT, &lib_, &error)) {
        std::fprintf(stderr, "kqser_bench %s: %s\n", who, error.c_str());
        std::exit(1);
    }
    if (lib_.logConfigPath != nullptr) *lib_.logConfigPath = ini_.c_str();
    manager_ = lib_.getSerManager();
}

ConfiguredLibrary::~ConfiguredLibrary() {
    lib_.freeSerManager();
    std::remove(ini_.c_str());
    std::remove(conf_.c_str());
    ::rmdir(dir_);
}

ISerBase* ConfiguredLibrary::NewPort() {
    ISerBase* port = manager_->GetSer(nullptr, KQ_KIND_SERIAL + number_++);
    if (port == nullptr) Fail(who_, "GetSer");
    return port;
}

void ConfiguredLibrary::Reopen(ISerBase* port, const std::string& line, int baud) {
    port->Close();
    const std::string def = line + ":" + std::to_string(baud) + ",N,8,1";
    if (port->Open(def.c_str()) != 1) Fail(who_, "Open");
}

}  // namespace kqbench
