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
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "ISerBase.h"
#include "bench_support.h"
#include "kqSer.h"

namespace {

using kqbench::NowNs;
using kqbench::PacedPty;

[[noreturn]] void Fail(const char* what) {
    kqbench::Fail("gap", what);
}

constexpr int kBauds[] = {9600, 19200, 115200};
constexpr int kRequestSize = 8;

// 5 to 64 bytes, none of them 0x00.
int ReplyLength(int i) {
    return 5 + (i * 37) % 60;
}

// A device on a pty: each request (8 bytes: the reply length, then filler)
// gets that many bytes, paced like the line.
std::vector<unsigned char> Reply(const unsigned char* req) {
    std::vector<unsigned char> reply(req[0]);
    for (size_t i = 0; i < reply.size(); ++i) reply[i] = static_cast<unsigned char>('a' + i % 26);
    return reply;
}

struct PacedDevice : PacedPty {
    PacedDevice() : PacedPty("gap", kRequestSize, Reply, false) {}
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
        const unsigned char req[kRequestSize] = {
            static_cast<unsigned char>(len), 0, 'r', 'e', 'q', 'u', 'e', 's'};
        const int64_t t0 = NowNs();
        int n;
        if (s.port != nullptr) {
            if (s.port->Write(req, kRequestSize) != kRequestSize) Fail("Write");
            n = s.port->Read(buf, sizeof buf, 1000);
        } else {
            if (::write(s.device->Slave(), req, kRequestSize) != kRequestSize) Fail("write");
            n = RawRead(s.device->Slave(), buf, sizeof buf, s.rawGapNs);
        }
        const int64_t t1 = NowNs();
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

}  // namespace

int GapMain(const char* outPath) {
    FILE* out = std::fopen(outPath, "w");
    if (out == nullptr) Fail(outPath);

    PacedDevice offDev, autoDev, fixedDev, rawDev;
    kqbench::ConfiguredLibrary lib(
        "gap", {{autoDev.Name(), "frame_gap = auto"}, {fixedDev.Name(), "frame_gap = 5"}}, 0x21);
    ISerBase* offPort = lib.NewPort();
    ISerBase* autoPort = lib.NewPort();
    ISerBase* fixedPort = lib.NewPort();
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
        for (auto* dev : {&offDev, &autoDev, &fixedDev, &rawDev}) dev->SetBaud(baud);
        lib.Reopen(offPort, offDev.Name(), baud);
        lib.Reopen(autoPort, autoDev.Name(), baud);
        lib.Reopen(fixedPort, fixedDev.Name(), baud);
        std::vector<Series> all = {
            {"off", baud, 2, &offDev, offPort, 0, {}, 0},
            {"auto", baud, 20, &autoDev, autoPort, 0, {}, 0},
            {"5ms", baud, 20, &fixedDev, fixedPort, 0, {}, 0},
            {"raw-auto", baud, 20, &rawDev, nullptr, kqbench::T35Ns(baud), {}, 0},
            {"raw-5ms", baud, 20, &rawDev, nullptr, 5000000, {}, 0},
        };
        for (int round = 0; round < 8; ++round) {
            for (Series& s : all) RunBatch(s);
        }
        std::fprintf(out, "gapns\t%d\t%lld\n", baud, static_cast<long long>(kqbench::T35Ns(baud)));
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
                const int64_t w0 = NowNs();
                const int64_t c0 = kqbench::ThreadCpuNs();
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
                i.cpu.push_back(kqbench::ThreadCpuNs() - c0);
                i.wall.push_back(NowNs() - w0);
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
    std::fclose(out);
    return 0;
}
