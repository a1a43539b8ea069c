// SPDX-License-Identifier: MIT
// A serial port on a pseudo-terminal, its device on the master side.
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "Host.h"
#include "Pty.h"
#include "Scenarios.h"
#include "SerCom_p.h"
#include "kqSer.h"

extern const char* filename;

namespace kqtest {

namespace {

using interpose::Fn;

// A serial write that a signal interrupts fails: its -1 goes to the host.
bool NeverRetried(int /*err*/) {
    return false;
}

// The device's open (not the one of a capture file) and the line's settings.
bool SerialOpenFails(Fn fn, int err, int /*nth*/, const std::string& path) {
    return err != 0 && ((fn == Fn::open && path.compare(0, 5, "/dev/") == 0) || fn == Fn::fcntl ||
                        fn == Fn::tcgetattr || fn == Fn::tcsetattr);
}

// A Read with a time-out below 2000 ms waits at most 0.4 s for silence.
const PortRules kRules = {true, false, 0, 1000, 600, 1000, 1000, NeverRetried, SerialOpenFails};

bool SignalsAndEmptyBuffers(int err) {
    return err == EINTR || err == EAGAIN;
}

}  // namespace

void RunSerialScript(Context& ctx, const SerialScript& script) {
    PtyPair pty;
    if (!pty.ok()) {
        ctx.findings.Add("no pseudo-terminal");
        return;
    }
    Peer peer;
    if (!peer.Start(Peer::Kind::kSerial, dup(pty.master()))) {
        ctx.findings.Add("no device process");
        return;
    }
    pty.CloseMaster();
    const std::string params =
        script.setUp ? script.setUp("/dev/" + pty.SlaveName()) : std::string();
    const std::string def = pty.Def(params.empty() ? "115200,N,8,1" : params);

    ctx.Watch();
    ISerManager* manager = GetManager(ctx);
    ISerBase* port = manager != nullptr
                         ? manager->GetSer(def.c_str(), CSerCom::GetDefType(def.c_str()))
                         : nullptr;
    PortRules rules = kRules;
    rules.readTimeout = script.readTimeout;
    rules.readBoundMs += script.readTimeout;
    if (script.boundedWrites) {
        rules.writeRetries = SignalsAndEmptyBuffers;
        rules.shortWritesFinished = true;
    }
    Host host(ctx, port, peer, rules);
    if (port == nullptr) {
        ctx.findings.Add("GetSer gave no port");
    } else if (!host.Open()) {
        ctx.findings.Add("the port did not open after the fault");
    } else {
        if (host.Exchange(1)) {
            host.Purge();
        } else {
            host.Recover();
        }
        if (port->IsOpened() != 1) {
            ctx.findings.Add("IsOpened of an open port returned 0");
            host.Open();
        }
        // A time-out of a second: the single-byte read and its pauses.
        if (!host.Exchange(2, 1000)) {
            host.Recover();
        }
        if (script.withRoom && !host.ExchangeWithRoom(4)) {
            host.Recover();
        }
        host.ExchangeAfterRecovery(3, 3);
        host.Close();
    }
    FreeManager(ctx);
    ctx.Unwatch();

    PeerLog log;
    if (!peer.Finish(&log)) {
        ctx.findings.Add("no report from the device");
    } else {
        CheckPeer(ctx, log, host.written());
    }
}

namespace {

void Run(Context& ctx) {
    WithoutFiles();
    SerialScript script;
    script.withRoom = true;
    RunSerialScript(ctx, script);
}

}  // namespace

const Scenario kSerialScenario = {"serial", Run, nullptr};

void WithoutFiles() {
    filename = nullptr;
    setenv("KQSER_CONF", "", 1);
}

ISerManager* GetManager(Context& ctx) {
    Step step(ctx, "GetSerManager", 2000);
    ISerManager* manager = GetSerManager();
    step.End();
    if (manager == nullptr) {
        ctx.findings.Add("GetSerManager returned null");
    }
    return manager;
}

int FreeManager(Context& ctx) {
    Step step(ctx, "FreeSerManager", 2000);
    const int r = FreeSerManager();
    step.End();
    return r;
}

}  // namespace kqtest
