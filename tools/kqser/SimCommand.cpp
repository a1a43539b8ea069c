// SPDX-License-Identifier: MIT
// sim: a device on a pseudo-terminal, for hosts tested without hardware.
#include <algorithm>
#include <cstdio>
#include <memory>

#include "Commands.h"
#include "Endpoint.h"
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

// Makes the device for the pseudo-terminal, or one for each TCP connection
// (a Modbus unit's bank is shared by them all).
struct DeviceMaker {
    enum Kind { kEcho, kModbus, kReplay } kind = kEcho;
    Meter meter;
    std::vector<ReplayExchange> exchanges;

    std::unique_ptr<SimDevice> Make(bool tcp) {
        switch (kind) {
            case kModbus:
                if (tcp) return std::unique_ptr<SimDevice>(new ModbusTcpDevice(&meter));
                return std::unique_ptr<SimDevice>(new ModbusDevice(meter));
            case kReplay: return std::unique_ptr<SimDevice>(new ReplayDevice(exchanges));
            case kEcho: break;
        }
        return std::unique_ptr<SimDevice>(new EchoDevice());
    }
};

bool MakeDevice(const Common& common, const Args& args, DeviceMaker* maker, std::string* what,
                int* code) {
    const int modes = (args.Has("--echo") ? 1 : 0) + (args.Has("--modbus") ? 1 : 0) +
                      (args.Has("--replay") ? 1 : 0);
    if (modes > 1) {
        *code = Complain(common, "takes one of --echo, --modbus and --replay", kExitUsage);
        return false;
    }
    if (args.Has("--registers") && !args.Has("--modbus") && (!args.Has("--tcp") || modes > 0)) {
        *code = Complain(common, "--registers goes with --modbus", kExitUsage);
        return false;
    }
    const bool tcp = args.Has("--tcp");
    std::string error;
    // Over TCP a Modbus unit is the default: a TCP echo is asked for.
    if (args.Has("--modbus") || (tcp && modes == 0)) {
        long long unit = 0;
        if (!NumberOption(common, args, "--modbus", 1, kMaxRtuUnit, 1, &unit, code)) return false;
        Meter meter = DefaultSimMeter(static_cast<uint8_t>(unit));
        if (args.Has("--registers")) {
            std::string text;
            if (!ReadWholeFile(args.Get("--registers"), &text, &error) ||
                !ParseRegisterFile(text, &meter.registers, &error)) {
                *code = Complain(common, "--registers: " + error, kExitUsage);
                return false;
            }
        }
        *what = std::string(tcp ? "Modbus TCP" : "Modbus RTU") + " unit " + std::to_string(unit) +
                " with " + std::to_string(meter.registers.size()) + " registers, " +
                std::to_string(meter.coils.size()) + " coils and " +
                std::to_string(meter.discrete.size()) + " discrete inputs";
        maker->kind = DeviceMaker::kModbus;
        maker->meter = meter;
    } else if (args.Has("--replay")) {
        std::string text;
        std::vector<CaptureRecord> records;
        if (!ReadWholeFile(args.Get("--replay"), &text, &error) ||
            !ParseCapture(text, &records, &error)) {
            *code = Complain(common, "--replay: " + error, kExitUsage);
            return false;
        }
        maker->exchanges = ReplayExchanges(records);
        if (maker->exchanges.empty()) {
            *code = Complain(common, "--replay: the capture holds no request (TX)", kExitUsage);
            return false;
        }
        *what = "replay of " + std::to_string(maker->exchanges.size()) + " exchanges";
        maker->kind = DeviceMaker::kReplay;
    } else {
        *what = "echo";
        maker->kind = DeviceMaker::kEcho;
    }
    return true;
}

void ShowEvents(const Common& common, SimDevice* device) {
    for (const std::string& event : device->TakeEvents()) {
        Say(common, "sim| %s\n", event.c_str());
    }
}

// The TCP side: up to kMaxClients connections at once, each with a device
// of its own. A client that takes no replies for kStalledMs is dropped, so
// that it cannot hold up the others.
const size_t kMaxClients = 8;
const int kStalledMs = 2000;

struct Connection {
    int fd = -1;
    std::string peer;
    std::unique_ptr<SimDevice> device;
};

int RunTcpSim(const Common& common, const Args& args, DeviceMaker* maker, const std::string& what,
              long long delay) {
    std::string address, error;
    int port = 0;
    if (!ParseListenAddress(args.Get("--tcp"), &address, &port, &error)) {
        return Complain(common, "--tcp: " + error, kExitUsage);
    }
    int bound = 0;
    const int listener = ListenTcp(address, port, &bound, &error);
    if (listener < 0) return Complain(common, error, kExitFailed);
    std::fprintf(Out(), "%s:%d\n", address.c_str(), bound);
    std::fflush(Out());
    Say(common, "kqser sim: %s on TCP %s:%d; Ctrl-C ends\n", what.c_str(), address.c_str(), bound);
    std::vector<Connection> clients;
    long replies = 0, received = 0, connections = 0;
    int code = kExitOk;
    while (g_stop == 0 && code == kExitOk) {
        std::vector<pollfd> fds = {{listener, POLLIN, 0}};
        for (const Connection& c : clients) fds.push_back({c.fd, POLLIN, 0});
        if (PollFds(fds.data(), static_cast<nfds_t>(fds.size()), 500) <= 0) continue;
        if ((fds[0].revents & POLLIN) != 0) {
            Connection c;
            c.fd = AcceptTcp(listener, &c.peer);
            if (c.fd >= 0 && clients.size() >= kMaxClients) {
                Say(common, "kqser sim: refused %s: %zu connections already\n", c.peer.c_str(),
                    kMaxClients);
                CloseFd(c.fd);
            } else if (c.fd >= 0) {
                c.device = maker->Make(true);
                ++connections;
                Say(common, "kqser sim: %s connected\n", c.peer.c_str());
                clients.push_back(std::move(c));
            } else {
                CloseFd(c.fd);
            }
        }
        for (size_t i = 1; i < fds.size(); ++i) {
            if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
            Connection& c = clients[i - 1];
            uint8_t chunk[4096];
            int why = 0;
            const ssize_t n = ReadFd(c.fd, chunk, sizeof chunk, &why);
            if (n == -2) continue;
            bool closed = n <= 0;
            if (n > 0) {
                received += n;
                const std::vector<Bytes> out = c.device->Feed(Bytes(chunk, chunk + n));
                ShowEvents(common, c.device.get());
                for (const Bytes& reply : out) {
                    if (delay > 0) SleepMs(static_cast<double>(delay));
                    const int sent = SendAllWithin(c.fd, reply.data(), reply.size(), kStalledMs);
                    if (sent != 1) {
                        if (sent == 0) {
                            Report("kqser sim: %s dropped: it took no reply for %d ms\n",
                                   c.peer.c_str(), kStalledMs);
                        }
                        closed = true;
                        break;
                    }
                    ++replies;
                }
            }
            if (closed) {
                Say(common, "kqser sim: %s left\n", c.peer.c_str());
                CloseFd(c.fd);
                c.fd = -1;
            }
        }
        clients.erase(std::remove_if(clients.begin(), clients.end(),
                                     [](const Connection& c) { return c.fd < 0; }),
                      clients.end());
    }
    for (Connection& c : clients) CloseFd(c.fd);
    CloseFd(listener);
    Report("kqser sim: %ld connections, %ld bytes received, %ld replies sent\n", connections,
           received, replies);
    return code;
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
    DeviceMaker maker;
    std::string what;
    if (!MakeDevice(common, args, &maker, &what, &code)) return code;
    if (args.Has("--tcp")) return RunTcpSim(common, args, &maker, what, delay);
    std::unique_ptr<SimDevice> device = maker.Make(false);

    int master = -1, slave = -1;
    std::string name, error;
    if (!OpenRawPty(&master, &slave, &name, &error)) return Complain(common, error, kExitFailed);
    // The slave stays open here, so the line never hangs up between hosts.
    const std::string def = name + ":" + std::to_string(baud > 0 ? baud : 9600) + ",N,8,1";
    std::fprintf(Out(), "%s\n", def.c_str());
    std::fflush(Out());
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
        ShowEvents(common, device.get());
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
