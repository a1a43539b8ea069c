// SPDX-License-Identifier: MIT
// Modbus RTU polls on a paced line: kqSer without kqser.conf, with
// frame_gap = auto, with frame = modbus_rtu, and libmodbus's
// modbus_read_registers (when built with it), each on a pty of its own
// whose peer answers read-holding requests byte by byte at the line's pace.
//
//   kqser_bench frame OUT.tsv
//
// Per poll: the time from the request to the reply in the host's hands, the
// time from the peer's write of the reply's last byte to that moment, the
// host thread's CPU time, and how late the peer wrote its bytes.
#include "frame_bench.h"

#include <fcntl.h>
#include <pty.h>
#include <sched.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#ifdef KQBENCH_HAVE_LIBMODBUS
#include <modbus.h>
#endif

#include "ISerBase.h"
#include "Library.h"
#include "ModbusFrame_p.h"
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
    std::fprintf(stderr, "kqser_bench frame: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

constexpr int kBauds[] = {9600, 19200, 115200};
constexpr int kUnit = 1;
constexpr int kRequestSize = 8;

// 1 to 30 registers: replies of 7 to 65 bytes, varying poll by poll.
int RegisterCount(int i) {
    return 1 + (i * 7) % 30;
}

void PutCrc(std::vector<unsigned char>* frame) {
    const uint16_t crc = kq::ModbusCrc16(frame->data(), frame->size());
    frame->push_back(static_cast<unsigned char>(crc & 0xFF));
    frame->push_back(static_cast<unsigned char>(crc >> 8));
}

std::vector<unsigned char> Request(int count) {
    std::vector<unsigned char> req = {kUnit, 0x03, 0, 0, 0, static_cast<unsigned char>(count)};
    PutCrc(&req);
    return req;
}

// Real-time scheduling for the peer's pacing thread where the system
// permits it; "SCHED_FIFO" or why not.
std::string TryRealTime() {
    sched_param param{};
    param.sched_priority = sched_get_priority_min(SCHED_FIFO) + 10;
    if (sched_setscheduler(0, SCHED_FIFO, &param) == 0) {
        return "SCHED_FIFO";
    }
    return std::string("SCHED_OTHER (") + std::strerror(errno) + ")";
}

// A Modbus unit on a pty master: each read-holding request gets its reply,
// each byte written when its stop bit would be on the wire.
class PacedPeer {
public:
    PacedPeer() {
        char name[64] = {};
        if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) Fail("openpty");
        name_ = std::string(name).substr(5);
        thread_ = std::thread([this] { Run(); });
    }
    ~PacedPeer() {
        if (slave_ >= 0) ::close(slave_);  // the master then reads EIO
        thread_.join();
        ::close(master_);
    }
    const std::string& Name() const { return name_; }
    void SetBaud(int baud) { baud_.store(baud); }
    int64_t LastByte() const { return lastByte_.load(); }
    int64_t Lateness() const { return lateness_.load(); }  // of the last reply, its worst byte
    int64_t LastLateness() const { return lastLateness_.load(); }  // and its last byte
    std::string Scheduling() {
        while (scheduling_.load() == 0) usleep(1000);
        return schedulingText_;
    }

private:
    void Run() {
        prctl(PR_SET_TIMERSLACK, 1UL);
        schedulingText_ = TryRealTime();
        scheduling_.store(1);
        unsigned char req[kRequestSize];
        for (;;) {
            int got = 0;
            while (got < kRequestSize) {
                const ssize_t n = ::read(master_, req + got, sizeof req - got);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) return;
                got += static_cast<int>(n);
            }
            const int64_t start = Now();
            const int count = req[5];
            std::vector<unsigned char> reply = {kUnit, 0x03, static_cast<unsigned char>(2 * count)};
            for (int i = 0; i < count; ++i) {
                reply.push_back(static_cast<unsigned char>(0x10 + i));
                reply.push_back(static_cast<unsigned char>(0x80 | i));
            }
            PutCrc(&reply);
            const int64_t charNs = 10 * 1000000000LL / baud_.load();
            int64_t late = 0;
            for (size_t i = 0; i < reply.size(); ++i) {
                const int64_t due = start + static_cast<int64_t>(i + 1) * charNs;
                SleepUntil(due);
                if (::write(master_, &reply[i], 1) != 1) return;
                const int64_t at = Now();
                late = std::max(late, at - due);
                if (i + 1 == reply.size()) {
                    lateness_.store(late);
                    lastLateness_.store(at - due);
                    lastByte_.store(at);
                }
            }
        }
    }
    int master_ = -1;
    int slave_ = -1;
    std::string name_;
    std::atomic<int> baud_{9600};
    std::atomic<int64_t> lastByte_{0};
    std::atomic<int64_t> lateness_{0};
    std::atomic<int64_t> lastLateness_{0};
    std::atomic<int> scheduling_{0};
    std::string schedulingText_;
    std::thread thread_;
};

struct Sample {
    int64_t total, afterLast, cpu, late, lastLate;
    int replyLen;
    bool ok;
};

struct Series {
    std::string mode;  // none, auto, frame, libmodbus
    int batch = 0;
    PacedPeer* peer = nullptr;
    ISerBase* port = nullptr;  // null: libmodbus
    void* modbus = nullptr;
    std::vector<Sample> samples;
    int counter = 0;
};

bool ReplyOk(const unsigned char* buf, int n, int count) {
    return n == 5 + 2 * count &&
           kq::CutModbusRtu(buf, static_cast<size_t>(n), kq::ModbusSide::kReply).kind ==
               kq::FrameCut::kComplete;
}

void RunBatch(Series& s) {
    unsigned char buf[256];
    for (int i = 0; i < s.batch; ++i) {
        const int count = RegisterCount(s.counter++);
        const std::vector<unsigned char> req = Request(count);
        const int64_t c0 = ThreadCpu();
        const int64_t t0 = Now();
        bool ok = false;
        if (s.port != nullptr) {
            if (s.port->Write(req.data(), kRequestSize) != kRequestSize) Fail("Write");
            ok = ReplyOk(buf, s.port->Read(buf, sizeof buf, 1000), count);
        } else {
#ifdef KQBENCH_HAVE_LIBMODBUS
            uint16_t regs[64];
            ok = modbus_read_registers(static_cast<modbus_t*>(s.modbus), 0, count, regs) == count;
#endif
        }
        const int64_t t1 = Now();
        const int64_t c1 = ThreadCpu();
        s.samples.push_back({t1 - t0, t1 - s.peer->LastByte(), c1 - c0, s.peer->Lateness(),
                             s.peer->LastLateness(), 5 + 2 * count, ok});
        if (!ok) {
            usleep(200000);  // let a split reply's rest arrive, then drop it
            if (s.port != nullptr) s.port->Purge();
#ifdef KQBENCH_HAVE_LIBMODBUS
            if (s.modbus != nullptr) modbus_flush(static_cast<modbus_t*>(s.modbus));
#endif
        }
    }
}

// The silence auto works out on a pty: 3.5 characters, 1.75 ms above 19200.
int64_t T35Ns(int baud) {
    return baud > 19200 ? 1750000 : 35LL * 1000000000 / baud;
}

}  // namespace

int FrameMain(const char* outPath) {
    FILE* out = std::fopen(outPath, "w");
    if (out == nullptr) Fail(outPath);

    PacedPeer noneDev, autoDev, frameDev, modbusDev;
    char dir[] = "/tmp/kqbench.XXXXXX";
    if (mkdtemp(dir) == nullptr) Fail("mkdtemp");
    const std::string conf = std::string(dir) + "/kqser.conf";
    const std::string ini = std::string(dir) + "/kqser.log.ini";
    {
        FILE* f = std::fopen(conf.c_str(), "w");
        if (f == nullptr) Fail("kqser.conf");
        // No section for noneDev's line: it reads as without the file.
        std::fprintf(f, "[serial %s]\nframe_gap = auto\n[serial %s]\nframe = modbus_rtu\n",
                     autoDev.Name().c_str(), frameDev.Name().c_str());
        std::fclose(f);
    }
    setenv("KQSER_CONF", conf.c_str(), 1);

    kqtool::KqLibrary lib;
    std::string error;
    if (!kqtool::LoadKqLibrary(KQBENCH_LIB_SILENT, &lib, &error)) {
        std::fprintf(stderr, "kqser_bench frame: %s\n", error.c_str());
        return 1;
    }
    if (lib.logConfigPath != nullptr) *lib.logConfigPath = ini.c_str();
    ISerManager* manager = lib.getSerManager();
    int number = 0x31;
    ISerBase* nonePort = manager->GetSer(nullptr, KQ_KIND_SERIAL + number++);
    ISerBase* autoPort = manager->GetSer(nullptr, KQ_KIND_SERIAL + number++);
    ISerBase* framePort = manager->GetSer(nullptr, KQ_KIND_SERIAL + number++);
    if (nonePort == nullptr || autoPort == nullptr || framePort == nullptr) Fail("GetSer");

    for (PacedPeer* peer : {&noneDev, &autoDev, &frameDev, &modbusDev}) {
        std::fprintf(out, "fsched\t%s\n", peer->Scheduling().c_str());
    }
#ifdef KQBENCH_HAVE_LIBMODBUS
    std::fprintf(out, "flibmodbus\t%s\n", LIBMODBUS_VERSION_STRING);
#endif

    for (int baud : kBauds) {
        std::fprintf(stderr, "kqser_bench: Modbus RTU polls at %d bit/s\n", baud);
        std::vector<Series> all;
        const std::pair<PacedPeer*, ISerBase*> ports[] = {
            {&noneDev, nonePort}, {&autoDev, autoPort}, {&frameDev, framePort}};
        const char* modes[] = {"none", "auto", "frame"};
        for (int k = 0; k < 3; ++k) {
            ports[k].first->SetBaud(baud);
            ports[k].second->Close();
            const std::string def = ports[k].first->Name() + ":" + std::to_string(baud) + ",N,8,1";
            if (ports[k].second->Open(def.c_str()) != 1) Fail("Open");
            all.push_back(
                {modes[k], k == 0 ? 1 : 10, ports[k].first, ports[k].second, nullptr, {}, 0});
        }
        modbusDev.SetBaud(baud);
#ifdef KQBENCH_HAVE_LIBMODBUS
        const std::string path = "/dev/" + modbusDev.Name();
        modbus_t* ctx = modbus_new_rtu(path.c_str(), baud, 'N', 8, 1);
        if (ctx == nullptr || modbus_set_slave(ctx, kUnit) != 0 || modbus_connect(ctx) != 0) {
            Fail("libmodbus");
        }
        all.push_back({"libmodbus", 10, &modbusDev, nullptr, ctx, {}, 0});
#endif
        // Short batches in turn, so that a busy moment of the machine falls
        // on every client alike.
        for (int round = 0; round < 40; ++round) {
            for (Series& s : all) RunBatch(s);
        }
        std::fprintf(out, "ft35\t%d\t%lld\n", baud, static_cast<long long>(T35Ns(baud)));
        for (const Series& s : all) {
            std::fprintf(out, "fx\t%s\t%d", s.mode.c_str(), baud);
            for (const Sample& x : s.samples) {
                std::fprintf(out, "\t%lld:%lld:%lld:%lld:%d:%d:%lld",
                             static_cast<long long>(x.total), static_cast<long long>(x.afterLast),
                             static_cast<long long>(x.cpu), static_cast<long long>(x.late),
                             x.replyLen, x.ok ? 1 : 0, static_cast<long long>(x.lastLate));
            }
            std::fprintf(out, "\n");
        }
#ifdef KQBENCH_HAVE_LIBMODBUS
        modbus_close(ctx);
        modbus_free(ctx);
#endif
    }

    for (ISerBase* port : {nonePort, autoPort, framePort}) port->Close();
    lib.freeSerManager();
    std::remove(ini.c_str());
    std::remove(conf.c_str());
    ::rmdir(dir);
    std::fclose(out);
    return 0;
}
