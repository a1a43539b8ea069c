// SPDX-License-Identifier: MIT
// The exported socket handle as a host uses it: a TCP server and a client
// on 127.0.0.1 that exchange a request and its reply, two datagram sockets
// that do the same, and the name and service look-ups (of names that
// /etc/hosts and /etc/services answer).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "Exchange.h"
#include "Scenarios.h"
#include "SocketHandle.h"

namespace kqtest {

namespace {

using interpose::Fn;

// A code no call leaves: what the last error holds when nothing was stored.
constexpr int kUntouched = 424242;

class Script {
public:
    explicit Script(Context& ctx) : ctx_(ctx) {}

    void Run() {
        CSocketHandle server;
        CSocketHandle client;
        CSocketHandle conn;
        if (Server(&server) && Client(server, &client) && Accept(server, &conn)) {
            Transfer(&client, nullptr, &conn, Request(1), "request");
            Transfer(&conn, nullptr, &client, Reply(1), "reply");
            SockAddrIn peer;
            Step step(ctx_, "GetPeerName", 1000);
            const bool ok = client.GetPeerName(peer);
            Stored(step.End(), ok, !ok, "GetPeerName", true);
            SetLastError(kUntouched);
            Step type(ctx_, "GetSocketType", 1000);
            const int kind = client.GetSocketType();
            Stored(type.End(), kind == SOCK_STREAM, kind == -1, "GetSocketType", true);
        }
        Datagrams();
        Names();
        Step step(ctx_, "Close", 1000);
        client.Close();
        conn.Close();
        server.Close();
        step.End();
        if (client.IsOpen() || conn.IsOpen() || server.IsOpen()) {
            ctx_.findings.Add("a handle holds a socket after Close");
        }
    }

private:
    // Without a fault a call succeeds (ok). With one, a call that reports a
    // failure (failed) leaves the call's errno in the last error where the
    // handle stores one (stores), and nothing otherwise.
    void Stored(bool faulted, bool ok, bool failed, const char* what, bool stores) {
        if (!faulted) {
            if (!ok && clean_) {
                ctx_.findings.Add("%s failed without a fault", what);
            }
            return;
        }
        clean_ = false;
        if (!failed || ctx_.FaultErr() == 0) {
            return;  // an ignored or retried failure, or a time-out
        }
        const int want = stores ? ctx_.FaultErr() : kUntouched;
        if (GetLastError() != want) {
            ctx_.findings.Add("%s failed with %s in it; the last error is %d, not %d", what,
                              interpose::FnName(ctx_.FaultFn()), GetLastError(), want);
        }
    }

    bool Server(CSocketHandle* server) {
        for (int attempt = 0; attempt < 2; ++attempt) {
            SetLastError(kUntouched);
            Step step(ctx_, "CreateSocket", 1000);
            const bool ok =
                server->CreateSocket("127.0.0.1", "0", AF_INET, SOCK_STREAM, SO_REUSEADDR);
            Stored(step.End(), ok, !ok, "CreateSocket", !ctx_.FaultOn(Fn::socket));
            if (ok != server->IsOpen()) {
                ctx_.findings.Add("CreateSocket returned %d with IsOpen %d", ok, server->IsOpen());
            }
            if (ok) {
                break;
            }
        }
        for (int attempt = 0; server->IsOpen() && attempt < 2; ++attempt) {
            SetLastError(kUntouched);
            Step step(ctx_, "GetSockName", 1000);
            const bool ok = server->GetSockName(local_);
            Stored(step.End(), ok, !ok, "GetSockName", true);
            if (ok) {
                return true;
            }
        }
        ctx_.findings.Add("no server after the fault");
        return false;
    }

    bool Client(const CSocketHandle& /*server*/, CSocketHandle* client) {
        const std::string service = std::to_string(ntohs(local_.sin_port));
        for (int attempt = 0; attempt < 2; ++attempt) {
            SetLastError(kUntouched);
            Step step(ctx_, "ConnectTo", 5000);
            const bool ok =
                client->ConnectTo("127.0.0.1", "127.0.0.1", service.c_str(), AF_INET, SOCK_STREAM);
            Stored(step.End(), ok, !ok, "ConnectTo", !ctx_.FaultOn(Fn::socket));
            if (ok) {
                return true;
            }
        }
        ctx_.findings.Add("no client connection after the fault");
        return false;
    }

    bool Accept(const CSocketHandle& server, CSocketHandle* conn) {
        for (int attempt = 0; attempt < 2; ++attempt) {
            SetLastError(kUntouched);
            Step step(ctx_, "WaitForConnection", 1000);
            const long fd = CSocketHandle::WaitForConnection(server.GetSocket());
            const bool faulted = step.End();
            Stored(faulted, fd >= 0, fd < 0, "WaitForConnection", false);
            if (fd >= 0) {
                conn->Attach(fd);
                return true;
            }
        }
        ctx_.findings.Add("no connection accepted after the fault");
        return false;
    }

    // Sends bytes with as many Writes as it takes and reads them on the other
    // side: what arrives is exactly what the writes reported sent.
    void Transfer(CSocketHandle* from, sockaddr* to, CSocketHandle* at, const std::string& bytes,
                  const char* what) {
        std::string sent;
        for (int call = 0; call < 4 && sent.size() < bytes.size(); ++call) {
            SetLastError(kUntouched);
            std::string rest = bytes.substr(sent.size());
            Step step(ctx_, "Write", 2000);
            const int r =
                from->Write(reinterpret_cast<unsigned char*>(&rest[0]), rest.size(), to, 1000);
            const bool faulted = step.End();
            Stored(faulted, r > 0, r == -1, "Write", true);
            if (r < -1 || r > static_cast<int>(rest.size())) {
                ctx_.findings.Add("Write of %zu bytes returned %d", rest.size(), r);
                return;
            }
            if (faulted && ctx_.FaultIsShort() && r != 1) {
                ctx_.findings.Add("Write returned %d after a send of 1 byte", r);
            }
            if (r > 0) {
                sent += rest.substr(0, static_cast<size_t>(r));
            }
        }
        std::string got;
        for (int call = 0; call < 6 && got.size() < sent.size(); ++call) {
            SetLastError(kUntouched);
            unsigned char buf[64];
            sockaddr_in fromAddr{};
            Step step(ctx_, "Read", 1000);
            const int r =
                at->Read(buf, sent.size() - got.size(),
                         to != nullptr ? reinterpret_cast<sockaddr*>(&fromAddr) : nullptr, 1000);
            const bool faulted = step.End();
            Stored(faulted, r > 0, r == -1, "Read", true);
            if (r > 0) {
                got.append(reinterpret_cast<const char*>(buf), static_cast<size_t>(r));
            }
        }
        if (got != sent) {
            ctx_.findings.Add(
                "%s: the writes reported %zu bytes sent, the reads returned %zu "
                "(or other bytes)",
                what, sent.size(), got.size());
        }
        if (clean_ && sent != bytes) {
            ctx_.findings.Add("%s: %zu of %zu bytes sent without a fault", what, sent.size(),
                              bytes.size());
        }
    }

    void Datagrams() {
        CSocketHandle a;
        CSocketHandle b;
        bool ok = false;
        for (int attempt = 0; attempt < 3 && !ok; ++attempt) {
            SetLastError(kUntouched);
            Step step(ctx_, "CreateSocket (datagram)", 1000);
            // Broadcast allowed on the sender: its options take their own calls.
            ok = (a.IsOpen() ||
                  a.CreateSocket("127.0.0.1", "0", AF_INET, SOCK_DGRAM, SO_BROADCAST)) &&
                 (b.IsOpen() || b.CreateSocket("127.0.0.1", "0", AF_INET, SOCK_DGRAM, 0));
            Stored(step.End(), ok, !ok, "CreateSocket (datagram)", !ctx_.FaultOn(Fn::socket));
        }
        SockAddrIn to;
        for (int attempt = 0; attempt < 2 && ok; ++attempt) {
            SetLastError(kUntouched);
            Step step(ctx_, "GetSockName (datagram)", 1000);
            const bool named = b.GetSockName(to);
            Stored(step.End(), named, !named, "GetSockName", true);
            if (named) {
                break;
            }
            ok = attempt == 0;
        }
        if (!ok) {
            ctx_.findings.Add("no datagram sockets after the fault");
            return;
        }
        // One datagram each way; one lost to a failed send is sent again.
        for (int attempt = 0; attempt < 2; ++attempt) {
            SetLastError(kUntouched);
            std::string request = Request(2);
            Step step(ctx_, "Write (datagram)", 2000);
            const int sent =
                a.Write(reinterpret_cast<unsigned char*>(&request[0]), request.size(), to, 1000);
            Stored(step.End(), sent > 0, sent == -1, "Write (datagram)", true);
            if (sent != static_cast<int>(request.size())) {
                continue;
            }
            unsigned char buf[64];
            sockaddr_in from{};
            int got = 0;
            for (int call = 0; call < 3 && got <= 0; ++call) {
                SetLastError(kUntouched);
                Step read(ctx_, "Read (datagram)", 1000);
                got = b.Read(buf, sizeof buf, reinterpret_cast<sockaddr*>(&from), 1000);
                Stored(read.End(), got > 0, got == -1, "Read (datagram)", true);
            }
            if (got != static_cast<int>(request.size()) ||
                std::memcmp(buf, request.data(), request.size()) != 0) {
                ctx_.findings.Add("a datagram of %zu bytes arrived as %d bytes", request.size(),
                                  got);
            }
            Membership(&b);
            return;
        }
        ctx_.findings.Add("no datagram sent after the fault");
    }

    // A group joined and left on the loopback interface (user-mode emulation
    // does not translate the multicast options). A refused interface is
    // reported as 92 whatever the call said.
    void Membership(CSocketHandle* socket) {
        if (KQTEST_EMULATED) {
            return;
        }
        for (const bool join : {true, false}) {
            SetLastError(kUntouched);
            Step step(ctx_, join ? "AddMembership" : "DropMembership", 1000);
            const bool ok = join ? socket->AddMembership("239.255.0.1", "127.0.0.1")
                                 : socket->DropMembership("239.255.0.1", "127.0.0.1");
            const bool faulted = step.End();
            if (!ok && !faulted && clean_) {
                ctx_.findings.Add("%s failed without a fault",
                                  join ? "AddMembership" : "DropMembership");
            }
            if (faulted && !ok && GetLastError() != ctx_.FaultErr() &&
                GetLastError() != ENOPROTOOPT) {
                ctx_.findings.Add("membership failed; the last error is %d", GetLastError());
            }
            clean_ = clean_ && !faulted;
        }
    }

    // Names that /etc/hosts and /etc/services answer.
    void Names() {
        char name[256] = {};
        Step local(ctx_, "GetLocalName", 1000);
        const bool named = CSocketHandle::GetLocalName(name, sizeof name);
        const bool faulted = local.End();
        if (!named && !(faulted && ctx_.FaultOn(Fn::gethostname))) {
            ctx_.findings.Add("GetLocalName failed");
        }
        char address[64] = {};
        Step mine(ctx_, "GetLocalAddress", 1000);
        const bool addressed = CSocketHandle::GetLocalAddress(address, sizeof address);
        const bool addressFaulted =
            mine.End() && (ctx_.FaultOn(Fn::gethostname) || ctx_.FaultOn(Fn::gethostbyname));
        if (!addressed && !addressFaulted) {
            ctx_.findings.Add("GetLocalAddress failed");
        }
        Step ip(ctx_, "GetIPAddress", 1000);
        const unsigned long addr = CSocketHandle::GetIPAddress("localhost");
        const bool ipFaulted = ip.End() && ctx_.FaultOn(Fn::gethostbyname);
        if (addr != (ipFaulted ? 0xFFFFFFFFUL : 0x7F000001UL)) {
            ctx_.findings.Add("GetIPAddress of localhost gave 0x%lX", addr);
        }
        Step service(ctx_, "GetPortNumber", 1000);
        const unsigned short echo = CSocketHandle::GetPortNumber("echo");
        const bool serviceFaulted = service.End() && ctx_.FaultOn(Fn::getservbyname);
        if (echo != (serviceFaulted ? 0 : 7)) {
            ctx_.findings.Add("GetPortNumber of echo gave %u", echo);
        }
    }

    Context& ctx_;
    SockAddrIn local_;
    bool clean_ = true;  // no call has failed so far
};

void Run(Context& ctx) {
    ctx.Watch();
    Script(ctx).Run();
    ctx.Unwatch();
}

// The datagram sockets' calls: a datagram is sent and received whole.
bool WholeDatagrams(Fn fn, const FaultKind& kind) {
    return kind.err != 0 || (fn != Fn::sendto && fn != Fn::recvfrom);
}

}  // namespace

const Scenario kSocketHandleScenario = {"socket handle", Run, WholeDatagrams};

}  // namespace kqtest
