// SPDX-License-Identifier: MIT
// The other end of a port in the fault matrix, in a process of its own: the
// scenario process then runs no thread, and nothing of the peer shows in its
// descriptors or heap. A peer answers every request of the exchange protocol
// (Exchange.h) with its reply, however the bytes come (a request split over
// several writes, or after bytes of an abandoned one), and keeps every byte
// it received.
#ifndef KQTEST_PEERS_H
#define KQTEST_PEERS_H

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kqtest {

// What a peer saw.
struct PeerLog {
    std::string received;            // every byte, in order
    std::vector<uint32_t> answered;  // the requests it replied to, in order
    int connections = 0;             // TCP: connections accepted
};

// The end of a request of the protocol found in bytes: true with *end (one
// past it) and *seq for the first one.
bool FindRequest(const std::string& bytes, size_t* end, uint32_t* seq);

class Peer {
public:
    enum class Kind {
        kSerial,  // a pseudo-terminal's master
        kTcp,     // a listening socket; any number of connections, one after another
        kUdp,     // a bound socket; the reply goes to the sender
    };

    Peer() = default;
    ~Peer();
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    // Serves fd in a new process; this process's copy of fd is closed.
    bool Start(Kind kind, int fd);
    // Waits until the peer has taken in what reached it; the bytes it
    // received so far, or -1.
    long Sync();
    // TCP: resets the newest connection (its port meets ECONNRESET).
    bool ResetNewest();
    // Stops the peer and collects what it saw.
    bool Finish(PeerLog* log);

private:
    bool Ask(char command, long* answer);

    pid_t pid_ = -1;
    int control_ = -1;
    int answers_ = -1;
};

}  // namespace kqtest

#endif
