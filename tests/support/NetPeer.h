// SPDX-License-Identifier: MIT
// A TCP peer on 127.0.0.1 for the network soak and fault tests: it accepts
// any number of connections and serves the soak protocol on each, or
// misbehaves as told.
#ifndef KQTEST_NETPEER_H
#define KQTEST_NETPEER_H

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

namespace kqtest {

class NetPeer {
public:
    enum class Mode {
        Answer,      // reply to every request
        Silent,      // read requests, never reply
        Deaf,        // accept, then never read
        ResetFirst,  // reset the first connection (SO_LINGER 0) at its first
                     // request, answer on later ones
    };

    explicit NetPeer(Mode mode);
    ~NetPeer();  // stops and closes everything
    NetPeer(const NetPeer&) = delete;
    NetPeer& operator=(const NetPeer&) = delete;

    bool ok() const { return port_ > 0; }
    int port() const { return port_; }
    // "127.0.0.1:<port>"
    std::string Def() const;
    int Accepted() const { return accepted_; }
    // Waits up to timeoutMs until the peer holds exactly n connections (it
    // closes its side when it sees the port's close). True when it does.
    bool WaitConnections(int n, int timeoutMs) const;
    // Stops serving and closes the listener and every connection.
    void Stop();
    // The first fault seen ("" when none).
    std::string Error();

private:
    void Run();
    void Fail(const std::string& why);

    Mode mode_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<int> accepted_{0};
    std::atomic<int> open_{0};
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::string error_;
    std::thread thread_;
};

}  // namespace kqtest

#endif
