// SPDX-License-Identifier: MIT
// A host driving one port through ISerBase as an application does: it opens
// the port (again, after a failure), sends requests whole (writing the rest
// after a short write), reads replies whole (reading again after a short
// read), purges and reconnects after a failed exchange, and closes. Every
// operation is a step with its bound, and every result is checked against
// what the port documents, strictly while no fault has landed.
#ifndef KQTEST_HOST_H
#define KQTEST_HOST_H

#include <cstdint>
#include <string>

#include "ISerBase.h"
#include "Matrix.h"
#include "Peers.h"

namespace kqtest {

// What a port kind documents, as far as the host checks it.
struct PortRules {
    bool serial;          // a serial Read returns 0 on silence; a network Read -1
    bool reconnects;      // IsOpened on a closed port opens it again (network)
    int readTimeout;      // what the host passes to Read
    double openBoundMs;   // the longest Open may take
    double readBoundMs;   // the longest a Read with that time-out may take
    double writeBoundMs;  // the longest a Write may take
    double purgeBoundMs;  // the longest a Purge may take
    // The faults a write retries (others fail it), and those that fail Open:
    // err at the nth call of fn that Open makes, on path for a call that
    // takes one.
    bool (*writeRetries)(int err);
    bool (*openFailsOn)(interpose::Fn fn, int err, int nth, const std::string& path);
    // A write cut short goes on with the rest (write_timeout).
    bool shortWritesFinished = false;
};

class Host {
public:
    Host(Context& ctx, ISerBase* port, Peer& peer, const PortRules& rules)
        : ctx_(ctx), port_(port), peer_(peer), rules_(rules) {}

    // Opens the port, once more after an Open the fault made fail.
    bool Open();
    // One request and its reply, timeout overriding the rules' one when >= 0.
    // True when the whole reply came.
    bool Exchange(uint32_t seq, int timeout = -1);
    // A serial request whose reply is read with room for more than it and a
    // time-out of three seconds: the read ends at the silence after it, having
    // looked whether the line hung up. True when the whole reply came.
    bool ExchangeWithRoom(uint32_t seq);
    // After a failed exchange: the port open again, nothing stale in it.
    void Recover();
    bool Purge();
    void Close();
    // Exchanges until one completes, at most tries; reports when none does.
    void ExchangeAfterRecovery(uint32_t seq, int tries);

    // What the port's writes reported sent.
    const ByteLog& written() const { return written_; }

private:
    Context& ctx_;
    ISerBase* port_;
    Peer& peer_;
    PortRules rules_;
    ByteLog written_;
};

// The peer received exactly what the writes reported sent, in order.
void CheckPeer(Context& ctx, const PeerLog& log, const ByteLog& written);

}  // namespace kqtest

#endif
