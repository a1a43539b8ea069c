// SPDX-License-Identifier: MIT
#include "NetPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "Exchange.h"
#include "Loopback.h"
#include "Process.h"

namespace kqtest {

namespace {

struct Conn {
    int fd = -1;
    int index = 0;  // order of acceptance
    uint32_t seq = 0;
    std::string pending;
};

}  // namespace

NetPeer::NetPeer(Mode mode) : mode_(mode) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listener_, 128) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        if (listener_ >= 0) {
            close(listener_);
        }
        listener_ = -1;
        return;
    }
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { Run(); });
}

NetPeer::~NetPeer() {
    Stop();
}

std::string NetPeer::Def() const {
    return "127.0.0.1:" + std::to_string(port_);
}

void NetPeer::Stop() {
    stop_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
    if (listener_ >= 0) {
        close(listener_);
        listener_ = -1;
    }
}

bool NetPeer::WaitConnections(int n, int timeoutMs) const {
    const double end = kqtest::NowMs() + timeoutMs;
    while (open_ != n && kqtest::NowMs() < end) {
        usleep(5 * 1000);
    }
    return open_ == n;
}

std::string NetPeer::Error() {
    std::lock_guard<std::mutex> lock(mutex_);
    return error_;
}

void NetPeer::Fail(const std::string& why) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (error_.empty()) {
        error_ = why;
    }
}

void NetPeer::Run() {
    std::vector<Conn> conns;
    double idleSince = kqtest::NowMs();
    // Bounded: a peer nobody talks to for 60 s stops by itself.
    while (!stop_ && kqtest::NowMs() - idleSince < 60000) {
        std::vector<pollfd> fds;
        fds.push_back({listener_, POLLIN, 0});
        for (const Conn& c : conns) {
            fds.push_back({c.fd, static_cast<short>(mode_ == Mode::Deaf ? 0 : POLLIN), 0});
        }
        const int rc = poll(fds.data(), fds.size(), 50);
        if (rc < 0 && errno != EINTR) {
            Fail("poll failed");
            break;
        }
        if (rc <= 0) {
            continue;
        }
        idleSince = kqtest::NowMs();
        if ((fds[0].revents & POLLIN) != 0) {
            const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                Conn conn;
                conn.fd = fd;
                conn.index = accepted_++;
                conns.push_back(std::move(conn));
            }
        }
        for (size_t i = 1; i < fds.size(); ++i) {
            if (fds[i].revents == 0) {
                continue;
            }
            Conn& c = conns[i - 1];
            if (mode_ == Mode::Deaf) {
                // Only a hang-up or an error wakes it: the port is gone.
                close(c.fd);
                c.fd = -1;
                continue;
            }
            char buf[512];
            const ssize_t got = recv(c.fd, buf, sizeof buf, 0);
            if (got <= 0) {
                close(c.fd);
                c.fd = -1;
                continue;
            }
            if (mode_ == Mode::Silent) {
                continue;
            }
            if (mode_ == Mode::ResetFirst && c.index == 0) {
                const linger hard{1, 0};
                setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
                close(c.fd);
                c.fd = -1;
                continue;
            }
            c.pending.append(buf, static_cast<size_t>(got));
            while (c.fd >= 0 && c.pending.size() >= static_cast<size_t>(kRequestSize)) {
                const std::string request = Request(c.seq);
                if (c.pending.compare(0, request.size(), request) != 0) {
                    Fail("connection " + std::to_string(c.index) + ": request " +
                         std::to_string(c.seq) + " lost or reordered");
                    close(c.fd);
                    c.fd = -1;
                    break;
                }
                c.pending.erase(0, request.size());
                if (!SendAll(c.fd, Reply(c.seq))) {
                    close(c.fd);
                    c.fd = -1;
                    break;
                }
                ++c.seq;
            }
        }
        std::vector<Conn> open;
        for (Conn& c : conns) {
            if (c.fd >= 0) {
                open.push_back(std::move(c));
            }
        }
        conns.swap(open);
        open_ = static_cast<int>(conns.size());
    }
    for (const Conn& c : conns) {
        close(c.fd);
    }
}

}  // namespace kqtest
