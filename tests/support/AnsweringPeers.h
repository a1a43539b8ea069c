// SPDX-License-Identifier: MIT
// Peers that answer with a function of each request: a device on the master
// side of a pty and a TCP peer on 127.0.0.1, each on a thread of its own with
// bounded waits. (PtyDevice.h and NetPeer.h serve the fixed exchange
// protocol and misbehave on cue.)
#ifndef KQTEST_ANSWERINGPEERS_H
#define KQTEST_ANSWERINGPEERS_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Pty.h"

namespace kqtest {

// A device on the master side of a pty: answers each request of reqLen
// bytes with the reply that answer gives (nothing for an empty reply).
class PtyDevice {
public:
    PtyDevice(PtyPair* pty, size_t reqLen, std::function<std::string(const std::string&)> answer,
              int exchanges)
        : thread_([=] {
              for (int i = 0; i < exchanges; ++i) {
                  const std::string request = pty->ReadMaster(reqLen, 10000);
                  if (request.size() != reqLen) return;
                  requests_.push_back(request);
                  const std::string reply = answer(request);
                  if (!reply.empty()) pty->WriteMaster(reply);
              }
          }) {}
    ~PtyDevice() { Join(); }
    void Join() {
        if (thread_.joinable()) thread_.join();
    }
    const std::vector<std::string>& requests() {
        Join();
        return requests_;
    }

private:
    std::vector<std::string> requests_;
    std::thread thread_;
};

// A TCP peer on 127.0.0.1 (port chosen by the system) serving one
// connection: answers the n-th request (from 0) when answer gives a reply.
class TcpPeer {
public:
    // With a greeting, the peer sends it on connecting and closes.
    explicit TcpPeer(std::function<std::string(int, const std::string&)> answer,
                     const std::string& greeting = "") {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (listener_ < 0 ||
            bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            listen(listener_, 2) != 0 ||
            getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
            ADD_FAILURE() << "cannot listen on 127.0.0.1";
            return;
        }
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this, answer, greeting] {
            pollfd pfd = {listener_, POLLIN, 0};
            if (poll(&pfd, 1, 10000) <= 0) return;
            const int conn = accept(listener_, nullptr, nullptr);
            if (conn < 0) return;
            if (!greeting.empty()) {
                send(conn, greeting.data(), greeting.size(), MSG_NOSIGNAL);
                close(conn);
                return;
            }
            for (int i = 0;; ++i) {
                pollfd cfd = {conn, POLLIN, 0};
                if (poll(&cfd, 1, 10000) <= 0) break;
                char buf[1024];
                const ssize_t n = recv(conn, buf, sizeof buf, 0);
                if (n <= 0) break;
                const std::string reply = answer(i, std::string(buf, static_cast<size_t>(n)));
                requests_.fetch_add(1);
                if (!reply.empty()) send(conn, reply.data(), reply.size(), MSG_NOSIGNAL);
            }
            close(conn);
        });
    }
    ~TcpPeer() {
        if (thread_.joinable()) thread_.join();
        if (listener_ >= 0) close(listener_);
    }
    std::string Def() const { return "127.0.0.1:" + std::to_string(port_); }
    int requests() const { return requests_.load(); }

private:
    int listener_ = -1;
    int port_ = 0;
    std::atomic<int> requests_{0};
    std::thread thread_;
};

}  // namespace kqtest

#endif
