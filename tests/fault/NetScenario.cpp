// SPDX-License-Identifier: MIT
// Network ports: a TCP connection to a peer on 127.0.0.1 that resets it
// half way (the port reconnects), and a connected UDP socket.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string>

#include "Host.h"
#include "Scenarios.h"

namespace kqtest {

namespace {

using interpose::Fn;

// A signal does not fail a network send: it is made again.
bool RetriedOnSignal(int err) {
    return err == EINTR;
}

// What Open cannot do without: a socket in the modes it needs, and a connect
// that starts. A wait that a signal interrupts goes on, and a connect made
// again after a wait only reports: the next wait decides.
bool NetOpenFails(Fn fn, int err, int nth, const std::string& /*path*/) {
    if (err == 0) {
        return false;
    }
    switch (fn) {
        case Fn::socket:
        case Fn::setsockopt:
        case Fn::fcntl: return true;
        case Fn::connect: return nth == 1 && err != EINTR;
        case Fn::ppoll: return err != EINTR;
        default: return false;
    }
}

// Time-outs as the port has them by default: a send may take 2 s, a read
// waits its time-out, a purge 200 ms, a connect three waits of 5 s.
const PortRules kTcpRules = {false,           true,        1000, 15000, 1000, 2000, 200,
                             RetriedOnSignal, NetOpenFails};

// A socket on 127.0.0.1 with a port the system picks; the port in *port.
int LocalSocket(int type, int* port) {
    const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        (type == SOCK_STREAM && listen(fd, 8) != 0) ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        if (fd >= 0) {
            close(fd);
        }
        return -1;
    }
    *port = ntohs(addr.sin_port);
    return fd;
}

// The peer resets the connection; the port's next Read fails and closes
// it, and IsOpened connects again.
void Reconnect(Context& ctx, ISerBase* port, Peer& peer) {
    peer.Sync();
    if (!peer.ResetNewest()) {
        ctx.findings.Add("the peer had no connection to reset");
        return;
    }
    Step read(ctx, "Read of a reset connection", 1000);
    unsigned char buf[16];
    const int r = port->Read(buf, sizeof buf, 300);
    const bool readFaulted = read.End();
    if (read.clean() && !readFaulted && r != -1) {
        ctx.findings.Add("Read of a reset connection returned %d", r);
    }
    Step again(ctx, "IsOpened (reconnect)", 15000);
    const int open = port->IsOpened();
    const bool faulted = again.End();
    if (again.clean() && !faulted && open != 1) {
        ctx.findings.Add("IsOpened did not reconnect after a reset (%d)", open);
    }
}

void Run(Context& ctx, bool stream, bool withOptions = false) {
    int peerPort = 0;
    const int fd = LocalSocket(stream ? SOCK_STREAM : SOCK_DGRAM, &peerPort);
    Peer peer;
    if (fd < 0 || !peer.Start(stream ? Peer::Kind::kTcp : Peer::Kind::kUdp, fd)) {
        ctx.findings.Add("no peer");
        return;
    }
    const std::string def =
        std::string(stream ? "" : "u") + "127.0.0.1:" + std::to_string(peerPort);
    WithoutFiles();
    const std::string capture = ctx.dir() + "/net.cap";
    if (withOptions) {
        // Sends that may block without limit, and every transfer captured.
        const std::string conf = ctx.dir() + "/kqser.conf";
        std::ofstream(conf) << "[net]\nsend_timeout_ms = 0\ncapture = " << capture << "\n";
        setenv("KQSER_CONF", conf.c_str(), 1);
    }

    ctx.Watch();
    ISerManager* manager = GetManager(ctx);
    ISerBase* port =
        manager != nullptr ? manager->GetSer(def.c_str(), stream ? 0x200001 : 0x200002) : nullptr;
    Host host(ctx, port, peer, kTcpRules);
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
        Step open(ctx, "IsOpened", 15000);
        const int opened = port->IsOpened();
        if (!open.End() && open.clean() && opened != 1) {
            ctx.findings.Add("IsOpened of an open port returned %d", opened);
        }
        if (stream) {
            Reconnect(ctx, port, peer);
        }
        host.ExchangeAfterRecovery(2, 3);
        // The datagram port is left open: FreeSerManager destroys it so.
        if (stream) {
            host.Close();
        }
    }
    FreeManager(ctx);
    ctx.Unwatch();

    PeerLog log;
    if (!peer.Finish(&log)) {
        ctx.findings.Add("no report from the peer");
        return;
    }
    CheckPeer(ctx, log, host.written());
    if (stream && log.connections < 2) {
        ctx.findings.Add("the peer saw %d connections, not a reconnect", log.connections);
    }
}

void RunTcp(Context& ctx) {
    Run(ctx, true);
}

void RunTcpWithOptions(Context& ctx) {
    Run(ctx, true, true);
}

void RunUdp(Context& ctx) {
    Run(ctx, false);
}

// A datagram is sent and received whole: a send or receive cut short is no
// fault a datagram socket meets (the rest of it would be lost by design).
bool WholeDatagrams(Fn /*fn*/, const FaultKind& kind) {
    return kind.err != 0;
}

}  // namespace

const Scenario kTcpScenario = {"tcp", RunTcp, nullptr};
const Scenario kUdpScenario = {"udp", RunUdp, WholeDatagrams};
const Scenario kTcpOptionsScenario = {"tcp, unbounded sends, capture", RunTcpWithOptions, nullptr};

}  // namespace kqtest
