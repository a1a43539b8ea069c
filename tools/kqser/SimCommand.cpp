// SPDX-License-Identifier: MIT
// sim: a device on a pseudo-terminal, for hosts tested without hardware.
#include <cstdio>
#include <memory>

#include "Commands.h"
#include "SimDevice.h"
#include "Sys.h"

namespace kqtool {

namespace {

// Silence that ends a request of unknown length: several character times.
const int kFrameGapMs = 50;

void SleepUntilMs(double deadline) {
    const double left = deadline - NowMs();
    if (left > 0) SleepMs(left);
}

// Writes the reply byte by byte, each when a line of that speed would have
// delivered it.
bool SendPaced(int fd, const Bytes& reply, long baud) {
    if (baud <= 0) return WriteAll(fd, reply.data(), reply.size());
    const double start = NowMs();
    for (size_t i = 0; i < reply.size() && g_stop == 0; ++i) {
        SleepUntilMs(start + WireTimeMs(i + 1, baud));
        if (!WriteAll(fd, &reply[i], 1)) return false;
    }
    return true;
}

bool MakeDevice(const Common& common, const Args& args, std::unique_ptr<SimDevice>* device,
                std::string* what, int* code) {
    const int modes = (args.Has("--echo") ? 1 : 0) + (args.Has("--modbus") ? 1 : 0) +
                      (args.Has("--replay") ? 1 : 0);
    if (modes > 1) {
        *code = Complain(common, "takes one of --echo, --modbus and --replay", kExitUsage);
        return false;
    }
    if (args.Has("--registers") && !args.Has("--modbus")) {
        *code = Complain(common, "--registers goes with --modbus", kExitUsage);
        return false;
    }
    std::string error;
    if (args.Has("--modbus")) {
        long long unit = 0;
        if (!NumberOption(common, args, "--modbus", 1, 247, 1, &unit, code)) return false;
        Meter meter = DefaultSimMeter(static_cast<uint8_t>(unit));
        if (args.Has("--registers")) {
            std::string text;
            if (!ReadWholeFile(args.Get("--registers"), &text, &error) ||
                !ParseRegisterFile(text, &meter.registers, &error)) {
                *code = Complain(common, "--registers: " + error, kExitUsage);
                return false;
            }
        }
        *what = "Modbus RTU unit " + std::to_string(unit) + " with " +
                std::to_string(meter.registers.size()) + " registers";
        device->reset(new ModbusDevice(meter));
    } else if (args.Has("--replay")) {
        std::string text;
        std::vector<CaptureRecord> records;
        if (!ReadWholeFile(args.Get("--replay"), &text, &error) ||
            !ParseCapture(text, &records, &error)) {
            *code = Complain(common, "--replay: " + error, kExitUsage);
            return false;
        }
        std::vector<ReplayExchange> exchanges = ReplayExchanges(records);
        if (exchanges.empty()) {
            *code = Complain(common, "--replay: the capture holds no request (TX)", kExitUsage);
            return false;
        }
        *what = "replay of " + std::to_string(exchanges.size()) + " exchanges";
        device->reset(new ReplayDevice(std::move(exchanges)));
    } else {
        *what = "echo";
        device->reset(new EchoDevice());
    }
    return true;
}

}  // namespace

int RunSim(const Common& common, const Args& args) {
    int code = kExitOk;
    if (!args.positional.empty()) return Complain(common, "takes no arguments", kExitUsage);
    long long baud = 0, delay = 0;
    if (!NumberOption(common, args, "--baud", 0, 4000000, 9600, &baud, &code) ||
        !NumberOption(common, args, "--delay", 0, 60000, 0, &delay, &code)) {
        return code;
    }
    std::unique_ptr<SimDevice> device;
    std::string what;
    if (!MakeDevice(common, args, &device, &what, &code)) return code;

    int master = -1, slave = -1;
    std::string name, error;
    if (!OpenRawPty(&master, &slave, &name, &error)) return Complain(common, error, kExitFailed);
    // The slave stays open here, so the line never hangs up between hosts.
    const std::string def = name + ":" + std::to_string(baud > 0 ? baud : 9600) + ",N,8,1";
    std::printf("%s\n", def.c_str());
    std::fflush(stdout);
    Say(common, "kqser sim: %s on %s%s; Ctrl-C ends\n", what.c_str(), def.c_str(),
        baud > 0 ? ", paced" : "");

    long replies = 0, received = 0;
    bool pending = false;  // bytes came since the last gap
    while (g_stop == 0) {
        pollfd pfd = {master, POLLIN, 0};
        const int ready = PollFds(&pfd, 1, pending ? kFrameGapMs : 500);
        std::vector<Bytes> out;
        if (ready > 0 && (pfd.revents & POLLIN) != 0) {
            uint8_t chunk[4096];
            int why = 0;
            const ssize_t n = ReadFd(master, chunk, sizeof chunk, &why);
            if (n == -1) {
                code = Complain(common, "reading the pseudo-terminal failed", kExitFailed);
                break;
            }
            if (n > 0) {
                received += n;
                pending = true;
                out = device->Feed(Bytes(chunk, chunk + n));
            }
        } else if (ready == 0 && pending) {
            pending = false;
            out = device->Gap();
        }
        for (const std::string& event : device->TakeEvents()) {
            Say(common, "sim| %s\n", event.c_str());
        }
        for (const Bytes& reply : out) {
            if (delay > 0) SleepMs(static_cast<double>(delay));
            if (!SendPaced(master, reply, baud)) {
                code = Complain(common, "writing the pseudo-terminal failed", kExitFailed);
                break;
            }
            ++replies;
        }
        if (code != kExitOk) break;
    }
    CloseFd(slave);
    CloseFd(master);
    Report("kqser sim: %ld bytes received, %ld replies sent\n", received, replies);
    return code;
}

}  // namespace kqtool
