// SPDX-License-Identifier: MIT
// demo: one Modbus request through the library, over a serial line and over
// TCP, against simulated meters; needs no hardware.
#include <cstdio>
#include <string>
#include <vector>

#include "Commands.h"
#include "DemoPeers.h"
#include "Format.h"

namespace kqtool {

namespace {

const char kIndent[] = "      ";

struct Step {
    std::string what;
    bool ok;
    bool skipped;
};

class Road {
public:
    // Prints the step's heading; the library's log lines follow it.
    void Begin(const std::string& call) {
        ++number_;
        std::printf("%3d. %s\n", number_, call.c_str());
        std::fflush(stdout);
        current_ = call;
    }
    bool End(bool ok, const std::string& result) {
        std::printf("%s-> %s%s\n", kIndent, result.c_str(), ok ? "" : "   FAILED");
        std::fflush(stdout);
        steps_.push_back({current_, ok, false});
        return ok;
    }
    void Skip(const std::string& call) {
        ++number_;
        std::printf("%3d. %s: skipped\n", number_, call.c_str());
        steps_.push_back({call, false, true});
    }
    const std::vector<Step>& steps() const { return steps_; }

private:
    int number_ = 0;
    std::string current_;
    std::vector<Step> steps_;
};

std::string Hex(int value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(value));
    return text;
}

std::string Ms(double ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f ms", ms);
    return text;
}

void ShowEvents(SimulatedMeter* meter, const char* who) {
    for (const std::string& event : meter->TakeEvents()) {
        std::printf("%s%s| %s\n", kIndent, who, event.c_str());
    }
    std::fflush(stdout);
}

struct Leg {
    std::string label;
    std::string def;
    bool ok = false;
    std::string detail;
};

// GetSer, Open, Write, Read, Close for one port; the reply is checked by
// parse (the meter's registers expected).
template <typename Parse>
void RunLeg(Road* road, ISerManager* manager, SimulatedMeter* meter, const char* who,
            const std::string& def, int type, const Bytes& request, size_t replyLen, bool stream,
            const std::vector<uint16_t>& expected, Parse parse, Leg* leg) {
    leg->def = def;
    road->Begin("GetSer(\"" + def + "\", " + Hex(type) + ")");
    ISerBase* port = manager->GetSer(def.c_str(), type);
    if (!road->End(port != nullptr, port != nullptr ? "port \"" + std::string(port->GetNote()) +
                                                          "\", type " + Hex(port->GetType())
                                                    : "no port")) {
        for (const char* call : {"Open", "Write", "Read", "Close"}) road->Skip(call);
        leg->detail = "GetSer gave no port";
        return;
    }
    road->Begin("Open(NULL)");
    const int opened = port->Open(nullptr);
    ShowEvents(meter, who);
    if (stream && opened != 0) {
        std::printf(
            "%s(a non-blocking connect logs \"Failed to connect\" while it is in progress)\n",
            kIndent);
    }
    if (!road->End(opened != 0, std::to_string(opened))) {
        for (const char* call : {"Write", "Read", "Close"}) road->Skip(call);
        leg->detail = "Open failed";
        return;
    }
    road->Begin("Write(" + HexString(request.data(), request.size()) + ", " +
                std::to_string(request.size()) + ")   read holding registers 0-3 of unit 1");
    const double start = NowMs();
    const int written = port->Write(request.data(), static_cast<int>(request.size()));
    const bool wroteAll = written == static_cast<int>(request.size());
    road->End(wroteAll, std::to_string(written));

    Bytes reply;
    if (wroteAll) {
        road->Begin("Read(buf, " + std::to_string(replyLen) + ", 1000)");
        unsigned char buf[256];
        // A stream may deliver the reply in pieces; each Read takes what is there.
        const double deadline = NowMs() + 3000;
        while (reply.size() < replyLen && NowMs() < deadline && g_stop == 0) {
            const int n = port->Read(buf, static_cast<int>(replyLen - reply.size()), 1000);
            if (n > 0) {
                reply.insert(reply.end(), buf, buf + n);
            } else if (n == 0 && stream) {
                break;
            } else if (n < 0 && !stream) {
                break;
            } else if (n < 0) {
                SleepMs(10);  // a failed stream read returns at once
            }
        }
        const double latency = NowMs() - start;
        ShowEvents(meter, who);
        std::vector<uint16_t> values;
        std::string error;
        const bool valid = parse(reply, &values, &error) && values == expected;
        if (valid) {
            leg->detail = "reply " + std::to_string(reply.size()) + " B after " + Ms(latency) +
                          ": " + DescribeDemoRegisters(values);
        } else {
            leg->detail = reply.empty()
                              ? "no reply"
                              : "bad reply: " + (error.empty() ? "unexpected values" : error);
        }
        leg->ok = road->End(valid, std::to_string(reply.size()) + " bytes after " + Ms(latency) +
                                       (valid ? ", " + std::string(stream ? "frame" : "CRC") +
                                                    " ok: " + DescribeDemoRegisters(values)
                                              : ", " + leg->detail));
    } else {
        road->Skip("Read");
        leg->detail = "Write failed";
    }
    road->Begin("Close()");
    const int closed = port->Close();
    road->End(closed == 1, std::to_string(closed));
}

}  // namespace

int RunDemo(const Common& common, const Args& args) {
    int code = kExitOk;
    if (!args.positional.empty()) return Complain(common, "takes no arguments", kExitUsage);
    const Meter meter = DemoMeter();

    Session session(common);
    if (!session.Load(&code)) return code;
    ShowLibraryLog(true, std::string(kIndent) + "lib| ", stdout);
    const KqLibrary& lib = session.lib();
    std::printf("kqser demo: one Modbus request through kqSer, over a serial line and over TCP\n");
    std::printf("library: %s\n", lib.path.c_str());
    std::printf("         %s, version %d\n", lib.dllNote(), lib.dllVersion());
    if (lib.silent) {
        std::printf(
            "         silent build: its log lines reach kqser's trace_log (shown as lib|);\n"
            "         the few lines without lib| it prints on standard output itself\n");
    } else {
        std::printf("         console build: it prints its log lines on standard output itself\n");
    }

    RtuMeterOnPty rtuMeter(meter);
    TcpMeter tcpMeter(meter);
    std::string error;
    if (!rtuMeter.Start(&error)) return Complain(common, "simulated meter: " + error, kExitFailed);
    if (!tcpMeter.Start(&error))
        return Complain(common, "simulated TCP meter: " + error, kExitFailed);

    Road road;
    std::printf("\n== a Modbus RTU meter (unit 1) on the master side of %s\n",
                rtuMeter.SlaveName().c_str());
    road.Begin("GetSerManager()");
    const bool started = session.Start(&code);
    road.End(started, started ? "the manager" : "no manager");
    if (!started) return code;

    Leg serial;
    serial.label = "serial";
    const std::string serialDef = rtuMeter.SlaveName() + ":115200,N,8,1";
    DefInfo serialInfo;
    if (!ClassifyDef(serialDef, &serialInfo, &error)) {
        return Complain(common, "pseudo-terminal " + serialDef + ": " + error, kExitFailed);
    }
    const Bytes rtuRequest = RtuReadHolding(meter.unit, 0, 4);
    RunLeg(
        &road, session.manager(), &rtuMeter, "meter", serialDef, serialInfo.typeCode, rtuRequest,
        5 + 2 * 4, false, RegisterValues(meter, 0, 4),
        [&](const Bytes& reply, std::vector<uint16_t>* values, std::string* why) {
            return ParseRtuReadHoldingReply(reply, meter.unit, 4, values, why);
        },
        &serial);

    Leg tcp;
    tcp.label = "tcp";
    const std::string tcpDef = "127.0.0.1:" + std::to_string(tcpMeter.Port());
    std::printf("\n== a Modbus TCP meter on %s (a port the system picked)\n", tcpDef.c_str());
    const uint16_t transaction = 0x0101;
    const Bytes tcpRequest = TcpReadHolding(transaction, meter.unit, 0, 4);
    RunLeg(
        &road, session.manager(), &tcpMeter, "meter", tcpDef, 0x200000 + tcpMeter.Port(),
        tcpRequest, 9 + 2 * 4, true, RegisterValues(meter, 0, 4),
        [&](const Bytes& reply, std::vector<uint16_t>* values, std::string* why) {
            return ParseTcpReadHoldingReply(reply, transaction, meter.unit, 4, values, why);
        },
        &tcp);

    std::printf("\n");
    road.Begin("FreeSerManager()");
    session.Finish();
    road.End(true, "every port and the manager are gone");
    tcpMeter.Stop();
    ShowEvents(&tcpMeter, "meter");
    rtuMeter.Stop();

    int failed = 0, skipped = 0;
    for (const Step& step : road.steps()) {
        skipped += step.skipped ? 1 : 0;
        failed += !step.ok && !step.skipped ? 1 : 0;
    }
    std::printf("\nSummary\n");
    for (const Leg* leg : {&serial, &tcp}) {
        std::printf("  %-7s %-24s %s  %s\n", leg->label.c_str(), leg->def.c_str(),
                    leg->ok ? "ok    " : "FAILED", leg->detail.c_str());
    }
    if (lib.silent) {
        std::printf("  log     %ld lines from the library reached kqser's trace_log\n",
                    LibraryLogCalls());
    }
    const bool allWorked = failed == 0 && skipped == 0 && serial.ok && tcp.ok;
    if (allWorked) {
        std::printf("  all %zu steps worked\n", road.steps().size());
    } else {
        std::printf("  %d of %zu steps failed, %d skipped\n", failed, road.steps().size(), skipped);
    }
    std::fflush(stdout);
    return allWorked ? kExitOk : kExitFailed;
}

}  // namespace kqtool
