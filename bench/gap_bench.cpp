// SPDX-License-Identifier: MIT
// Serial replies whose length the host does not know, with kqser.conf's
// frame_gap off, auto and 5 ms, next to a raw poll()-based client that ends
// a reply at the same gap (the floor): exchanges per second, the time from
// the reply's last byte to the return of Read, and the CPU of an idle wait.
//
//   kqser_bench gap OUT.tsv
//
// A device thread on each pty master answers a request with a reply of the
// length the request names, byte by byte at the pace of the line's baud.
#include "gap_bench.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/prctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ISerBase.h"
#include "Library.h"
#include "kqSer.h"

namespace {

int64_t Now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

int64_t ThreadCpu() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

void SleepUntil(int64_t at) {
    const timespec ts{static_cast<time_t>(at / 1000000000), static_cast<long>(at % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "kqser_bench gap: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

constexpr int kBauds[] = {9600, 19200, 115200};
constexpr int kRequestSize = 8;

// 5 to 64 bytes, none of them 0x00.
int ReplyLength(int i) {
    return 5 + (i * 37) % 60;
}

// A pty whose master a device thread plays: each request (8 bytes: the reply
// length, the baud index, then filler) gets its reply paced like the line.
class PacedDevice {
public:
    PacedDevice() {
        char name[64] = {};
        if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) Fail("openpty");
        name_ = std::string(name).substr(5);
        thread_ = std::thread([this] { Run(); });
    }
    ~PacedDevice() {
        // The master reads EIO once no slave descriptor is open.
        if (slave_ >= 0) ::close(slave_);
        thread_.join();
        ::close(master_);
    }
    const std::string& Name() const { return name_; }  // pts/N
    int Slave() const { return slave_; }
    int64_t LastByte() const { return lastByte_.load(); }

private:
    void Run() {
        prctl(PR_SET_TIMERSLACK, 1UL);  // pacing at 87 us a byte needs a fine timer
        unsigned char req[kRequestSize];
        for (;;) {
            int got = 0;
            while (got < kRequestSize) {
                const ssize_t n = ::read(master_, req + got, sizeof req - got);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) return;
                got += static_cast<int>(n);
            }
            const int len = req[0];
            const int64_t charNs = 10 * 1000000000LL / kBauds[req[1] % 3];
            const int64_t start = Now();
            for (int i = 0; i < len; ++i) {
                SleepUntil(start + (i + 1) * charNs);  // a byte is there when its stop bit is
                const unsigned char byte = static_cast<unsigned char>('a' + i % 26);
                if (::write(master_, &byte, 1) != 1) return;
                if (i == len - 1) lastByte_.store(Now());
            }
        }
    }
    int master_ = -1;
    int slave_ = -1;
    std::string name_;
    std::atomic<int64_t> lastByte_{0};
    std::thread thread_;
};

// The floor: the host's own poll() on the line, ending the reply at the gap.
int RawRead(int fd, unsigned char* buf, int len, int64_t gapNs) {
    pollfd pfd = {fd, POLLIN, 0};
    if (::poll(&pfd, 1, 1000) != 1) return 0;
    int got = 0;
    for (;;) {
        const ssize_t n = ::read(fd, buf + got, static_cast<size_t>(len - got));
        if (n <= 0) return got;
        got += static_cast<int>(n);
        if (got == len) return got;
        const timespec gap{0, static_cast<long>(gapNs)};
        if (::ppoll(&pfd, 1, &gap, nullptr) != 1) return got;
    }
}

struct Sample {
    int64_t total, afterLast;
    bool ok;
};

struct Series {
    std::string mode;  // off, auto, 5ms, raw-auto, raw-5ms
    int baud = 0;
    int batch = 0;
    PacedDevice* device = nullptr;
    ISerBase* port = nullptr;  // null: the raw client on the device's slave
    int64_t rawGapNs = 0;
    std::vector<Sample> samples;
    int counter = 0;
};

void RunBatch(Series& s) {
    unsigned char buf[256];
    for (int i = 0; i < s.batch; ++i) {
        const int len = ReplyLength(s.counter++);
        unsigned char req[kRequestSize] = {
            static_cast<unsigned char>(len), 0, 'r', 'e', 'q', 'u', 'e', 's'};
        req[1] = static_cast<unsigned char>(
            std::find(std::begin(kBauds), std::end(kBauds), s.baud) - std::begin(kBauds));
        const int64_t t0 = Now();
        int n;
        if (s.port != nullptr) {
            if (s.port->Write(req, kRequestSize) != kRequestSize) Fail("Write");
            n = s.port->Read(buf, sizeof buf, 1000);
        } else {
            if (::write(s.device->Slave(), req, kRequestSize) != kRequestSize) Fail("write");
            n = RawRead(s.device->Slave(), buf, sizeof buf, s.rawGapNs);
        }
        const int64_t t1 = Now();
        const bool ok = n == len;
        s.samples.push_back({t1 - t0, t1 - s.device->LastByte(), ok});
        if (!ok) {
            // A split reply: let the rest arrive and go.
            usleep(100000);
            tcflush(s.device->Slave(), TCIFLUSH);
            if (s.port != nullptr) s.port->Purge();
        }
    }
}

// The gap auto works out on a pty (no adapter): 3.5 characters of 10 bits,
// 1.75 ms above 19200 bit/s.
int64_t AutoGapNs(int baud) {
    return baud > 19200 ? 1750000 : 35LL * 1000000000 / baud;
}

}  // namespace

int GapMain(const char* outPath) {
    FILE* out = std::fopen(outPath, "w");
    if (out == nullptr) Fail(outPath);

    PacedDevice offDev, autoDev, fixedDev, rawDev;
    // The file the library reads: one section per port under test.
    char dir[] = "/tmp/kqbench.XXXXXX";
    if (mkdtemp(dir) == nullptr) Fail("mkdtemp");
    const std::string conf = std::string(dir) + "/kqser.conf";
    const std::string ini = std::string(dir) + "/kqser.log.ini";
    {
        FILE* f = std::fopen(conf.c_str(), "w");
        if (f == nullptr) Fail("kqser.conf");
        std::fprintf(f, "[serial %s]\nframe_gap = auto\n[serial %s]\nframe_gap = 5\n",
                     autoDev.Name().c_str(), fixedDev.Name().c_str());
        std::fclose(f);
    }
    setenv("KQSER_CONF", conf.c_str(), 1);

    kqtool::KqLibrary lib;
    std::string error;
    if (!kqtool::LoadKqLibrary(KQBENCH_LIB_SILENT, &lib, &error)) {
        std::fprintf(stderr, "kqser_bench gap: %s\n", error.c_str());
        return 1;
    }
    if (lib.logConfigPath != nullptr) *lib.logConfigPath = ini.c_str();
    ISerManager* manager = lib.getSerManager();
    // Built by number, so that two ptys whose numbers end in the same digit
    // still get ports of their own; Open names the line.
    int number = 0x21;
    auto portOf = [&](PacedDevice&) {
        ISerBase* port = manager->GetSer(nullptr, KQ_KIND_SERIAL + number++);
        if (port == nullptr) Fail("GetSer");
        return port;
    };
    ISerBase* offPort = portOf(offDev);
    ISerBase* autoPort = portOf(autoDev);
    ISerBase* fixedPort = portOf(fixedDev);
    {
        // The raw client's line: raw, no read timing of its own.
        termios t;
        if (tcgetattr(rawDev.Slave(), &t) != 0) Fail("tcgetattr");
        cfmakeraw(&t);
        t.c_cc[VMIN] = 0;
        t.c_cc[VTIME] = 0;
        if (tcsetattr(rawDev.Slave(), TCSANOW, &t) != 0) Fail("tcsetattr");
    }

    for (int baud : kBauds) {
        std::fprintf(stderr, "kqser_bench: frame gap at %d bit/s\n", baud);
        for (auto* dev : {&offDev, &autoDev, &fixedDev}) {
            ISerBase* port = dev == &offDev ? offPort : dev == &autoDev ? autoPort : fixedPort;
            port->Close();
            const std::string def = dev->Name() + ":" + std::to_string(baud) + ",N,8,1";
            if (port->Open(def.c_str()) != 1) Fail("Open");
        }
        std::vector<Series> all = {
            {"off", baud, 2, &offDev, offPort, 0, {}, 0},
            {"auto", baud, 20, &autoDev, autoPort, 0, {}, 0},
            {"5ms", baud, 20, &fixedDev, fixedPort, 0, {}, 0},
            {"raw-auto", baud, 20, &rawDev, nullptr, AutoGapNs(baud), {}, 0},
            {"raw-5ms", baud, 20, &rawDev, nullptr, 5000000, {}, 0},
        };
        for (int round = 0; round < 8; ++round) {
            for (Series& s : all) RunBatch(s);
        }
        std::fprintf(out, "gapns\t%d\t%lld\n", baud, static_cast<long long>(AutoGapNs(baud)));
        for (const Series& s : all) {
            std::fprintf(out, "gx\t%s\t%d", s.mode.c_str(), s.baud);
            for (const Sample& x : s.samples) {
                std::fprintf(out, "\t%lld:%lld:%d", static_cast<long long>(x.total),
                             static_cast<long long>(x.afterLast), x.ok ? 1 : 0);
            }
            std::fprintf(out, "\n");
        }
    }

    // Idle waits of about 2 s, side by side on threads of their own: the
    // read loop (time-out 9000: ten reads meet the silence), the gap modes
    // (one ppoll as long), and raw poll.
    std::fprintf(stderr, "kqser_bench: frame gap idle waits\n");
    struct Idle {
        const char* mode;
        std::vector<int64_t> cpu, wall;
    };
    std::vector<Idle> idle = {{"off", {}, {}}, {"auto", {}, {}}, {"5ms", {}, {}}, {"raw", {}, {}}};
    for (int round = 0; round < 5; ++round) {
        std::vector<std::thread> threads;
        for (Idle& i : idle) {
            threads.emplace_back([&i, &offPort, &autoPort, &fixedPort, &rawDev] {
                unsigned char buf[8];
                const int64_t w0 = Now();
                const int64_t c0 = ThreadCpu();
                const std::string mode = i.mode;
                if (mode == "raw") {
                    pollfd pfd = {rawDev.Slave(), POLLIN, 0};
                    ::poll(&pfd, 1, 2000);
                } else {
                    ISerBase* port = mode == "off"    ? offPort
                                     : mode == "auto" ? autoPort
                                                      : fixedPort;
                    port->Read(buf, sizeof buf, 9000);
                }
                i.cpu.push_back(ThreadCpu() - c0);
                i.wall.push_back(Now() - w0);
            });
        }
        for (std::thread& t : threads) t.join();
    }
    for (const Idle& i : idle) {
        std::fprintf(out, "gidle\t%s", i.mode);
        for (size_t k = 0; k < i.cpu.size(); ++k) {
            std::fprintf(out, "\t%lld:%lld", static_cast<long long>(i.cpu[k]),
                         static_cast<long long>(i.wall[k]));
        }
        std::fprintf(out, "\n");
    }

    for (ISerBase* port : {offPort, autoPort, fixedPort}) port->Close();
    lib.freeSerManager();
    std::remove(ini.c_str());
    std::remove(conf.c_str());
    ::rmdir(dir);
    std::fclose(out);
    return 0;
}
