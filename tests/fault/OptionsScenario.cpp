// SPDX-License-Identifier: MIT
// The serial options of kqser.conf, one family per scenario, each the serial
// port's whole script on a pseudo-terminal:
//   - timing: the frame gap worked out from the line, the host's reply time-out;
//   - the line: Open through a device link, held exclusively, at a speed
//     outside the table, with writes bounded;
//   - RS-485 done by the driver, with low latency (the driver calls a pty
//     lacks are answered by a stand-in, at the system-call boundary);
//   - RS-485 done by RTS around each write.
// A fault in an option's call may make Open fail (where the option says it
// must) or leave the option undone (where it is best effort); it never makes
// a byte go missing or come twice.
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "Interpose.h"
#include "Scenarios.h"

extern const char* filename;

namespace kqtest {

namespace {

void WriteConf(Context& ctx, const std::string& text) {
    const std::string conf = ctx.dir() + "/kqser.conf";
    std::ofstream(conf, std::ios::binary) << text;
    setenv("KQSER_CONF", conf.c_str(), 1);
    filename = nullptr;
}

void RunTiming(Context& ctx) {
    WriteConf(ctx, "[serial]\nframe_gap = auto\nreply_timeout = host\n");
    SerialScript script;
    script.readTimeout = 500;  // the wait for a reply's first byte
    RunSerialScript(ctx, script);
}

// Open goes through a link to the line (device), holds it (exclusive), sets
// a speed outside the table exactly (custom_baud) and bounds every write.
void RunLine(Context& ctx) {
    SerialScript script;
    script.boundedWrites = true;
    script.setUp = [&ctx](const std::string& device) {
        const std::string link = ctx.dir() + "/line";
        if (symlink(device.c_str(), link.c_str()) != 0) {
            ctx.findings.Add("no link to %s", device.c_str());
        }
        // User-mode emulation does not translate the speed calls a custom
        // speed takes: there the line keeps a speed of the table.
        WriteConf(ctx, "[serial]\ndevice = " + link + "\nexclusive = on\nwrite_timeout = auto\n" +
                           (KQTEST_EMULATED ? "" : "custom_baud = on\n"));
        return std::string(KQTEST_EMULATED ? "115200,N,8,1" : "250000,N,8,1");
    };
    RunSerialScript(ctx, script);
}

// What a pty's driver lacks: RS-485 and the serial driver's flags, answered
// as a UART's driver would, and RTS taken as set.
class Uart : public interpose::Handler {
public:
    Uart() { interpose::Add(this); }
    ~Uart() override { interpose::Remove(this); }
    Uart(const Uart&) = delete;
    Uart& operator=(const Uart&) = delete;

    bool Ioctl(int /*fd*/, unsigned long request, void* arg, int* result) override {
        switch (request) {
            case TIOCSRS485: rs485_ = *static_cast<const serial_rs485*>(arg); break;
            case TIOCGRS485: *static_cast<serial_rs485*>(arg) = rs485_; break;
            case TIOCGSERIAL: {
                serial_struct info{};
                info.type = PORT_16550A;
                info.flags = flags_;
                *static_cast<serial_struct*>(arg) = info;
                break;
            }
            case TIOCSSERIAL: flags_ = static_cast<const serial_struct*>(arg)->flags; break;
            case TIOCMBIS:
            case TIOCMBIC: break;
            default: return false;
        }
        *result = 0;
        return true;
    }

private:
    serial_rs485 rs485_{};
    int flags_ = 0;
};

void RunRs485(Context& ctx) {
    WriteConf(ctx, "[serial]\nrs485 = on\nrs485_delay_before_ms = 1\nlow_latency = on\n");
    Uart uart;
    RunSerialScript(ctx, SerialScript());
}

void RunRts(Context& ctx) {
    WriteConf(ctx,
              "[serial]\nrs485 = rts\nrs485_rts_on_send = low\nrs485_delay_before_ms = 1\n"
              "rs485_delay_after_ms = 1\n");
    Uart uart;
    RunSerialScript(ctx, SerialScript());
}

}  // namespace

const Scenario kSerialTimingScenario = {"serial, frame gap and reply time-out", RunTiming, nullptr};
const Scenario kSerialLineScenario = {"serial, exclusive, custom baud, write bound", RunLine,
                                      nullptr};
const Scenario kSerialRs485Scenario = {"serial, RS-485 by the driver, low latency", RunRs485,
                                       nullptr};
const Scenario kSerialRtsScenario = {"serial, RS-485 by RTS", RunRts, nullptr};

}  // namespace kqtest
