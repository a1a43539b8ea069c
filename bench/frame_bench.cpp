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
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#ifdef KQBENCH_HAVE_LIBMODBUS
#include <modbus.h>
#endif

#include "ISerBase.h"
#include "ModbusFrame_p.h"
#include "bench_support.h"
#include "kqSer.h"

namespace {

using kqbench::NowNs;
using kqbench::ThreadCpuNs;

[[noreturn]] void Fail(const char* what) {
    kqbench::Fail("frame", what);
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

// A Modbus unit: each read-holding request gets its reply.
std::vector<unsigned char> Reply(const unsigned char* req) {
    const int count = req[5];
    std::vector<unsigned char> reply = {kUnit, 0x03, static_cast<unsigned char>(2 * count)};
    for (int i = 0; i < count; ++i) {
        reply.push_back(static_cast<unsigned char>(0x10 + i));
        reply.push_back(static_cast<unsigned char>(0x80 | i));
    }
    PutCrc(&reply);
    return reply;
}

// On a pty master, each byte written when its stop bit would be on the
// wire, from a real-time thread where the system permits it.
struct PacedPeer : kqbench::PacedPty {
    PacedPeer() : PacedPty("frame", kRequestSize, Reply, true) {}
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
        const int64_t c0 = ThreadCpuNs();
        const int64_t t0 = NowNs();
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
        const int64_t t1 = NowNs();
        const int64_t c1 = ThreadCpuNs();
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

}  // namespace

int FrameMain(const char* outPath) {
    FILE* out = std::fopen(outPath, "w");
    if (out == nullptr) Fail(outPath);

    PacedPeer noneDev, autoDev, frameDev, modbusDev;
    // No section for noneDev's line: it reads as without the file.
    kqbench::ConfiguredLibrary lib(
        "frame", {{autoDev.Name(), "frame_gap = auto"}, {frameDev.Name(), "frame = modbus_rtu"}},
        0x31);
    // The kqSer clients' peers and ports, in the order of modes.
    const std::pair<PacedPeer*, ISerBase*> ports[] = {
        {&noneDev, lib.NewPort()}, {&autoDev, lib.NewPort()}, {&frameDev, lib.NewPort()}};

    for (PacedPeer* peer : {&noneDev, &autoDev, &frameDev, &modbusDev}) {
        std::fprintf(out, "fsched\t%s\n", peer->Scheduling().c_str());
    }
#ifdef KQBENCH_HAVE_LIBMODBUS
    std::fprintf(out, "flibmodbus\t%s\n", LIBMODBUS_VERSION_STRING);
#endif

    for (int baud : kBauds) {
        std::fprintf(stderr, "kqser_bench: Modbus RTU polls at %d bit/s\n", baud);
        std::vector<Series> all;
        const char* modes[] = {"none", "auto", "frame"};
        for (int k = 0; k < 3; ++k) {
            ports[k].first->SetBaud(baud);
            lib.Reopen(ports[k].second, ports[k].first->Name(), baud);
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
        std::fprintf(out, "ft35\t%d\t%lld\n", baud, static_cast<long long>(kqbench::T35Ns(baud)));
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

    for (const auto& port : ports) port.second->Close();
    std::fclose(out);
    return 0;
}
