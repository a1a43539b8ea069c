// SPDX-License-Identifier: MIT
// bridge: one TCP client at a time talks to a port, bytes unchanged.
#include <algorithm>
#include <cstdio>

#include "Commands.h"
#include "Endpoint.h"
#include "FieldConfig.h"
#include "Modbus.h"
#include "Stats.h"
#include "Sys.h"

namespace kqtool {

namespace {

const char kBusy[] = "kqser bridge: busy, another client is connected\r\n";
// A pseudo-terminal or tty takes this much after POLLOUT without blocking.
const size_t kPortChunk = 256;
// After a client's half-close, how long the port must be quiet before the
// bridge lets the client go: a device's reply comes well within it.
const long long kDefaultLingerMs = 1000;

struct Flow {
    long long bytes = 0;
    double first = -1;
    double last = -1;
    void Add(size_t n) {
        const double now = NowMs();
        if (first < 0) first = now;
        last = now;
        bytes += static_cast<long long>(n);
    }
};

class Bridge {
public:
    Bridge(const Common& common, ISerBase* port, const DefInfo& info, double lingerMs)
        : common_(common), port_(port), info_(info), lingerMs_(lingerMs) {}
    ~Bridge() {
        CloseFd(client_);
        CloseFd(listener_);
    }
    bool Listen(const std::string& address, int port, int* code);
    // Until Ctrl-C, the port fails or, with once, the first client leaves.
    int Run(bool once);

private:
    void Accept();
    void DropClient(const std::string& why);
    // The client ended its sending: its replies still go to it.
    void HalfClose();
    // After a half-close: the port quiet for the linger time, nothing queued.
    bool LingerOver() const;
    bool PortRead();
    bool PortWrite();
    void Summary(const char* who, const Flow& in, const Flow& out, double since);

    const Common& common_;
    ISerBase* port_;
    DefInfo info_;
    double lingerMs_;
    int listener_ = -1;
    int client_ = -1;
    std::string peer_;
    double clientSince_ = 0;
    bool clientLeft_ = false;
    bool halfClosed_ = false;
    double quietSince_ = 0;  // the half-close or the port's last byte since
    Bytes toPort_, toClient_;
    Flow clientIn_, clientOut_, allIn_, allOut_;
    long long dropped_ = 0;      // from the port while no client was there
    long long droppedLeft_ = 0;  // queued for a client that left before it took them
    int clients_ = 0, refused_ = 0;
    std::string failure_;
};

bool Bridge::Listen(const std::string& address, int port, int* code) {
    std::string error;
    int bound = 0;
    listener_ = ListenTcp(address, port, &bound, &error);
    if (listener_ < 0) {
        *code = Complain(common_, error, kExitFailed);
        return false;
    }
    std::fprintf(Out(), "%s:%d\n", address.c_str(), bound);
    std::fflush(Out());
    Say(common_, "kqser bridge: %s <-> TCP %s:%d, one client at a time; Ctrl-C ends\n",
        port_->GetNote(), address.c_str(), bound);
    return true;
}

void Bridge::Accept() {
    std::string peer;
    const int fd = AcceptTcp(listener_, &peer);
    if (fd < 0) return;
    if (client_ >= 0) {
        int ignored = 0;
        SendSome(fd, reinterpret_cast<const uint8_t*>(kBusy), sizeof kBusy - 1, &ignored);
        CloseFd(fd);
        ++refused_;
        Say(common_, "kqser bridge: refused %s: busy with %s\n", peer.c_str(), peer_.c_str());
        return;
    }
    client_ = fd;
    peer_ = peer;
    halfClosed_ = false;
    ++clients_;
    clientSince_ = NowMs();
    clientIn_ = Flow();
    clientOut_ = Flow();
    Say(common_, "kqser bridge: %s connected\n", peer.c_str());
}

void Bridge::DropClient(const std::string& why) {
    // What the client sent still goes to the port.
    while (!toPort_.empty() && PortWrite()) {
    }
    const long long queued = static_cast<long long>(toClient_.size());
    droppedLeft_ += queued;
    toClient_.clear();
    CloseFd(client_);
    client_ = -1;
    clientLeft_ = true;
    halfClosed_ = false;
    Say(common_, "kqser bridge: %s %s%s\n", peer_.c_str(), why.c_str(),
        queued > 0 ? ("; " + std::to_string(queued) + " bytes queued for it dropped").c_str() : "");
    Summary(peer_.c_str(), clientIn_, clientOut_, clientSince_);
}

void Bridge::HalfClose() {
    halfClosed_ = true;
    quietSince_ = NowMs();
    Say(common_,
        "kqser bridge: %s ended its sending; the port's bytes go on to it until %.0f ms of quiet\n",
        peer_.c_str(), lingerMs_);
}

bool Bridge::LingerOver() const {
    return halfClosed_ && toClient_.empty() && NowMs() - quietSince_ >= lingerMs_;
}

bool Bridge::PortRead() {
    uint8_t buf[4096];
    int n = 0;
    const int fd = port_->GetHandle();
    if (fd >= 0) {
        // The line's own descriptor: the library's Read drops a 0x00 that
        // comes first in a call, and a bridge passes every byte.
        int why = 0;
        const ssize_t got = ReadFd(fd, buf, sizeof buf, &why);
        if (got == -1 || got == 0) {
            failure_ = "the line failed";
            return false;
        }
        n = got < 0 ? 0 : static_cast<int>(got);
    } else {
        n = port_->Read(buf, sizeof buf, 20);
        if (n == 0 && IsStreamPort(info_)) {
            failure_ = "the peer closed the connection";
            return false;
        }
        if (n < 0 && g_stop == 0 && !port_->IsOpened()) {
            failure_ = "the connection failed";
            return false;
        }
        if (n < 0) n = 0;
    }
    if (n == 0) return true;
    quietSince_ = NowMs();
    if (client_ < 0) {
        dropped_ += n;
        return true;
    }
    toClient_.insert(toClient_.end(), buf, buf + n);
    return true;
}

bool Bridge::PortWrite() {
    const size_t n = std::min(toPort_.size(), port_->GetHandle() >= 0 ? kPortChunk : size_t{65536});
    const int written = port_->Write(toPort_.data(), static_cast<int>(n));
    if (written < 0) {
        failure_ = "writing to the port failed";
        toPort_.clear();
        return false;
    }
    toPort_.erase(toPort_.begin(), toPort_.begin() + written);
    clientIn_.Add(static_cast<size_t>(written));
    allIn_.Add(static_cast<size_t>(written));
    return true;
}

void Bridge::Summary(const char* who, const Flow& in, const Flow& out, double since) {
    Report("  %s: %s; %s; %.2f s\n", who,
           FormatFlow("to the port", in.bytes, in.first, in.last).c_str(),
           FormatFlow("from the port", out.bytes, out.first, out.last).c_str(),
           (NowMs() - since) / 1000.0);
}

int Bridge::Run(bool once) {
    const double start = NowMs();
    const int fd = port_->GetHandle();
    while (g_stop == 0 && failure_.empty() && !(once && clientLeft_)) {
        pollfd fds[3];
        nfds_t n = 0;
        fds[n++] = {listener_, POLLIN, 0};
        const nfds_t clientSlot = n;
        if (client_ >= 0) {
            short events = 0;
            if (toPort_.empty() && !halfClosed_) events |= POLLIN;
            if (!toClient_.empty()) events |= POLLOUT;
            fds[n++] = {client_, events, 0};
        }
        const nfds_t portSlot = n;
        if (fd >= 0) {
            short events = 0;
            if (toClient_.empty()) events |= POLLIN;
            if (!toPort_.empty()) events |= POLLOUT;
            fds[n++] = {fd, events, 0};
        }
        // A network port has no descriptor to wait on: it is read in turns
        // (its Read waits), unless a slow client holds back its reads.
        int wait = fd >= 0 ? 200 : (toClient_.empty() ? 0 : 20);
        if (halfClosed_) {
            const double left = quietSince_ + lingerMs_ - NowMs();
            wait = std::min(wait, left > 0 ? static_cast<int>(left) + 1 : 0);
        }
        if (PollFds(fds, n, wait) < 0) {
            failure_ = "poll failed";
            break;
        }
        if ((fds[0].revents & POLLIN) != 0) Accept();
        if (client_ >= 0 && clientSlot < n && fds[clientSlot].fd == client_) {
            const short ev = fds[clientSlot].revents;
            if (halfClosed_ && (ev & (POLLHUP | POLLERR)) != 0) {
                DropClient("left");
            } else if ((ev & POLLIN) != 0 || (ev & (POLLHUP | POLLERR)) != 0) {
                uint8_t buf[4096];
                int why = 0;
                const ssize_t got = ReadFd(client_, buf, sizeof buf, &why);
                if (got == 0) {
                    HalfClose();
                } else if (got == -1) {
                    DropClient("failed");
                } else if (got > 0) {
                    toPort_.insert(toPort_.end(), buf, buf + got);
                }
            }
            if (client_ >= 0 && (ev & POLLOUT) != 0 && !toClient_.empty()) {
                int why = 0;
                const ssize_t sent = SendSome(client_, toClient_.data(), toClient_.size(), &why);
                if (sent == -1) {
                    DropClient(halfClosed_ ? "left" : "failed");
                } else if (sent > 0) {
                    toClient_.erase(toClient_.begin(), toClient_.begin() + sent);
                    clientOut_.Add(static_cast<size_t>(sent));
                    allOut_.Add(static_cast<size_t>(sent));
                }
            }
        }
        if (fd >= 0) {
            const short ev = fds[portSlot].revents;
            if ((ev & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
                failure_ = "the line hung up";
                break;
            }
            if ((ev & POLLOUT) != 0 && !toPort_.empty() && !PortWrite()) break;
            if ((ev & POLLIN) != 0 && !PortRead()) break;
        } else {
            if (!toPort_.empty() && !PortWrite()) break;
            if (toClient_.empty() && !PortRead()) break;
        }
        if (client_ >= 0 && LingerOver()) DropClient("left");
    }
    if (client_ >= 0) DropClient(g_stop != 0 ? "disconnected (ending)" : "disconnected");
    Report("kqser bridge: %s\n", BridgeTotals(clients_, refused_, dropped_, droppedLeft_).c_str());
    Summary("in all", allIn_, allOut_, start);
    if (!failure_.empty()) {
        return Complain(common_, std::string("port ") + port_->GetNote() + ": " + failure_,
                        kExitFailed);
    }
    return kExitOk;
}

}  // namespace

int RunBridge(const Common& common, const Args& args) {
    int code = kExitOk;
    if (args.positional.size() != 1) {
        return Complain(common, "needs exactly one DEF (kqser bridge --help)", kExitUsage);
    }
    if (!args.Has("--listen")) {
        return Complain(common, "needs --listen [ADDR:]PORT (kqser bridge --help)", kExitUsage);
    }
    std::string address, error;
    int listenPort = 0;
    if (!ParseListenAddress(args.Get("--listen"), &address, &listenPort, &error)) {
        return Complain(common, "--listen: " + error, kExitUsage);
    }
    std::string def = args.positional[0];
    DefInfo info;
    int type = 0;
    if (!ResolvePort(common, args, &def, &info, &type, &code)) return code;

    Session session(common);
    if (!session.Start(&code)) return code;
    ISerBase* port = OpenDefPort(&session, def, info, type, &code);
    if (port == nullptr) return code;
    long long linger = 0;
    if (!NumberOption(common, args, "--linger", 0, 3600000, kDefaultLingerMs, &linger, &code)) {
        return code;
    }
    Bridge bridge(common, port, info, static_cast<double>(linger));
    if (!bridge.Listen(address, listenPort, &code)) return code;
    return bridge.Run(args.Has("--once"));
}

}  // namespace kqtool
