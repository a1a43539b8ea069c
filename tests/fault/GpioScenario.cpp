// SPDX-License-Identifier: MIT
// The GPIO port against the stand-in for its driver: open, sample both
// lines, drive two lines, close.
#include "GpioFake.h"
#include "Scenarios.h"

namespace kqtest {

namespace {

using interpose::Fn;

constexpr uint16_t kLevel18 = 0x15A;  // the port keeps the low 8 bits
constexpr uint16_t kLevel17 = 0x2C3;

// The driver's records are reserved ahead: the heap the library leaves is
// measured around the script.
void ResetDevice() {
    gpiofake::Reset();
    gpiofake::Device& dev = gpiofake::Dev();
    dev.levels[18] = kLevel18;
    dev.levels[17] = kLevel17;
    dev.opens.reserve(16);
    dev.reads.reserve(16);
    dev.ioctls.reserve(16);
    dev.closes.reserve(16);
}

bool Open(Context& ctx, ISerBase* port) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        Step step(ctx, "Open", 1000);
        const int r = port->Open(nullptr);
        const bool faulted = step.End();
        if (r == 1) {
            if (faulted && ctx.FaultOn(Fn::open)) {
                ctx.findings.Add("Open returned 1 after its open failed");
            }
            return true;
        }
        if (!faulted && step.clean()) {
            ctx.findings.Add("Open returned %d without a fault", r);
        }
        unsigned char cmd[2] = {3, 1};
        if (port->IsOpened() != 0 || port->GetHandle() != -1 || port->Read(cmd, 2, 0) != -1 ||
            port->Write(cmd, 2) != -1) {
            ctx.findings.Add("a port whose Open failed is open or moves data");
        }
    }
    return false;
}

// Both lines: a sample whose read failed or came short is 0.
void Sample(Context& ctx, ISerBase* port) {
    const int before = ctx.Calls(Fn::read);
    unsigned char buf[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    Step step(ctx, "Read", 1000);
    const int r = port->Read(buf, sizeof buf, 0);
    const bool faulted = step.End();
    if (r != 1) {
        ctx.findings.Add("Read returned %d, not 1", r);
    }
    const unsigned char want[2] = {kLevel18 & 0xFF, kLevel17 & 0xFF};
    for (int i = 0; i < 2; ++i) {
        const bool failed = faulted && ctx.FaultOn(Fn::read) && ctx.FaultNth() == before + i + 1;
        const unsigned char expected = failed ? 0 : want[i];
        if (buf[i] != expected) {
            ctx.findings.Add("sample %d is 0x%02X, not 0x%02X", i, buf[i], expected);
        }
    }
    if (buf[2] != 0xEE || buf[3] != 0xEE) {
        ctx.findings.Add("Read wrote past the two samples");
    }
}

// One command: the driver gets it, unless the fault failed its call.
void Drive(Context& ctx, ISerBase* port, unsigned char selector, unsigned char level,
           unsigned long request, int line) {
    gpiofake::Device& dev = gpiofake::Dev();
    const size_t before = dev.ioctls.size();
    const unsigned char cmd[2] = {selector, level};
    Step step(ctx, "Write", 1000);
    const int r = port->Write(cmd, 2);
    const bool faulted = step.End();
    if (r != 0) {
        ctx.findings.Add("Write returned %d, not 0", r);
    }
    const bool failed = faulted && ctx.FaultOn(Fn::ioctl) && ctx.FaultErr() != 0;
    const size_t want = before + (failed ? 0 : 1);
    if (dev.ioctls.size() != want) {
        ctx.findings.Add("the driver got %zu commands, not %zu", dev.ioctls.size() - before,
                         want - before);
    } else if (!failed && (dev.ioctls.back().request != request || dev.ioctls.back().arg != line)) {
        ctx.findings.Add("the driver got request %lu for line %d", dev.ioctls.back().request,
                         dev.ioctls.back().arg);
    }
}

void Run(Context& ctx) {
    ResetDevice();
    WithoutFiles();
    ctx.Watch();
    ISerManager* manager = GetManager(ctx);
    ISerBase* port = manager != nullptr ? manager->GetSer(nullptr, 0x800001) : nullptr;
    if (port == nullptr) {
        ctx.findings.Add("GetSer gave no port");
    } else if (!Open(ctx, port)) {
        ctx.findings.Add("the port did not open after the fault");
    } else {
        Sample(ctx, port);
        Drive(ctx, port, 3, 1, 1, 18);
        Drive(ctx, port, 2, 0, 0, 17);
        Step step(ctx, "Close", 1000);
        const int r = port->Close();
        step.End();
        if (r != 1 || port->IsOpened() != 0 || port->GetHandle() != -1) {
            ctx.findings.Add("Close returned %d and left the port open", r);
        }
    }
    FreeManager(ctx);
    ctx.Unwatch();
    if (!gpiofake::Held().empty()) {
        ctx.findings.Add("the driver's descriptor is still open");
    }
}

}  // namespace

const Scenario kGpioScenario = {"gpio", Run, nullptr};

}  // namespace kqtest
