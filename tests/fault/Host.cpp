// SPDX-License-Identifier: MIT
#include "Host.h"

#include <cstring>
#include <string>

#include "Exchange.h"

namespace kqtest {

namespace {

using interpose::Fn;

constexpr int kMaxCalls = 4;  // writes for one request, reads for one reply

}  // namespace

bool Host::Open() {
    for (int attempt = 0; attempt < 2; ++attempt) {
        const int before = ctx_.Calls(ctx_.FaultFn());
        Step step(ctx_, "Open", rules_.openBoundMs);
        const int r = port_->Open(nullptr);
        const bool faulted = step.End();
        if (r == 1) {
            if (faulted && rules_.openFailsOn(ctx_.FaultFn(), ctx_.FaultErr(),
                                              ctx_.FaultNth() - before, ctx_.LandedPath())) {
                ctx_.findings.Add("Open returned 1 after %s failed in it",
                                  interpose::FnName(ctx_.FaultFn()));
            }
            return true;
        }
        if (r != 0) {
            ctx_.findings.Add("Open returned %d", r);
        }
        if (!faulted) {
            if (step.clean()) {
                ctx_.findings.Add("Open failed without a fault");
            }
        }
        // A port that did not open says so, and refuses to move data.
        if (rules_.serial && (port_->IsOpened() != 0 || port_->GetHandle() != -1)) {
            ctx_.findings.Add("a port whose Open failed is open (handle %d)", port_->GetHandle());
        }
        unsigned char byte = 0;
        if (rules_.serial && (port_->Read(&byte, 1, 0) != -1 || port_->Write(&byte, 1) != -1)) {
            ctx_.findings.Add("Read or Write on a port whose Open failed did not return -1");
        }
    }
    return false;
}

bool Host::Exchange(uint32_t seq, int timeout) {
    const bool clean = !ctx_.Landed();
    const std::string request = Request(seq);
    const int len = static_cast<int>(request.size());
    const auto* req = reinterpret_cast<const unsigned char*>(request.data());
    int sent = 0;
    for (int call = 0; call < kMaxCalls && sent < len; ++call) {
        // A port's own write, not one of a log line or a capture record.
        const int handle = port_->GetHandle();
        Step step(ctx_, "Write", rules_.writeBoundMs);
        const int r = port_->Write(req + sent, len - sent);
        const bool faulted = step.End();
        if (r < -1 || r > len - sent) {
            ctx_.findings.Add("Write of %d bytes returned %d", len - sent, r);
            return false;
        }
        if (step.clean() && !faulted && r != len - sent) {
            ctx_.findings.Add("Write of %d bytes returned %d without a fault", len - sent, r);
        }
        // A serial port writes its descriptor; a network port (whose handle
        // is not shown) sends.
        const bool writeFault =
            faulted && (handle >= 0 ? ctx_.FaultFn() == Fn::write && ctx_.LandedFd() == handle
                                    : ctx_.FaultFn() == Fn::send || ctx_.FaultFn() == Fn::sendto);
        if (writeFault && ctx_.FaultIsShort() &&
            r != (rules_.shortWritesFinished ? len - sent : 1)) {
            ctx_.findings.Add("Write returned %d after a send of 1 byte", r);
        }
        if (writeFault && !ctx_.FaultIsShort() && !rules_.writeRetries(ctx_.FaultErr()) &&
            r != -1) {
            ctx_.findings.Add("Write returned %d after its send failed", r);
        }
        if (r <= 0) {
            return false;
        }
        written_.Append(req + sent, static_cast<size_t>(r));
        sent += r;
    }
    if (sent < len) {
        return false;
    }

    const std::string reply = Reply(seq);
    unsigned char got[kReplySize];
    int have = 0;
    for (int call = 0; call < kMaxCalls && have < kReplySize; ++call) {
        Step step(ctx_, "Read", rules_.readBoundMs);
        const int r =
            port_->Read(got + have, kReplySize - have, timeout >= 0 ? timeout : rules_.readTimeout);
        step.End();
        if (r < -1 || r > kReplySize - have || (rules_.serial && r == -1)) {
            ctx_.findings.Add("Read of %d bytes returned %d", kReplySize - have, r);
            return false;
        }
        if (r <= 0) {
            break;
        }
        if (std::memcmp(got + have, reply.data() + have, static_cast<size_t>(r)) != 0) {
            ctx_.findings.Add(
                "Read returned bytes the peer did not send there (reply %u, "
                "at byte %d)",
                seq, have);
            return false;
        }
        have += r;
    }
    if (have != kReplySize && clean && !ctx_.Landed()) {
        ctx_.findings.Add("reply %u: %d of %d bytes without a fault", seq, have, kReplySize);
    }
    return have == kReplySize;
}

bool Host::ExchangeWithRoom(uint32_t seq) {
    const bool clean = !ctx_.Landed();
    const std::string request = Request(seq);
    Step write(ctx_, "Write", rules_.writeBoundMs);
    const int sent = port_->Write(reinterpret_cast<const unsigned char*>(request.data()),
                                  static_cast<int>(request.size()));
    write.End();
    if (sent > 0) {
        written_.Append(request.data(), static_cast<size_t>(sent));
    }
    if (sent != static_cast<int>(request.size())) {
        return false;
    }
    unsigned char got[2 * kReplySize];
    // Three passes: after the reply, two reads of 0.2 s of silence, and a look
    // in between at whether the line hung up.
    Step read(ctx_, "Read with room", 1000);
    const int r = port_->Read(got, sizeof got, 3000);
    read.End();
    const std::string reply = Reply(seq);
    if (r < 0 || r > kReplySize ||
        std::memcmp(got, reply.data(), static_cast<size_t>(r < 0 ? 0 : r)) != 0) {
        ctx_.findings.Add("Read with room returned %d, or bytes the peer did not send", r);
        return false;
    }
    if (r != kReplySize && clean && !ctx_.Landed()) {
        ctx_.findings.Add("Read with room: %d of %d bytes without a fault", r, kReplySize);
    }
    return r == kReplySize;
}

bool Host::Purge() {
    // Only what the peer has taken in is purged: a purge may discard what is
    // still on its way out, which is what it is for, not a loss.
    if (peer_.Sync() < 0) {
        ctx_.findings.Add("the peer does not answer");
    }
    Step step(ctx_, "Purge", rules_.purgeBoundMs);
    const int r = port_->Purge();
    const bool faulted = step.End();
    if (r != 0 && r != 1) {
        ctx_.findings.Add("Purge returned %d", r);
    }
    if (r != 1 && step.clean() && !faulted) {
        ctx_.findings.Add("Purge returned %d without a fault", r);
    }
    if (r == 1 && faulted && rules_.serial && ctx_.FaultFn() == Fn::tcflush) {
        ctx_.findings.Add("Purge returned 1 when its flush failed");
    }
    return r == 1;
}

void Host::Recover() {
    if (port_->IsOpened() == 0 && !rules_.reconnects) {
        Open();
    }
    if (rules_.reconnects) {
        Step step(ctx_, "IsOpened", rules_.openBoundMs);
        port_->IsOpened();  // reconnects a closed port
        step.End();
    }
    for (int i = 0; i < 2 && !Purge(); ++i) {
    }
    // A reply that was on its way when the purge ran is taken off too.
    unsigned char stale[64];
    while (port_->IsOpened() != 0 && port_->Read(stale, sizeof stale, 100) > 0) {
    }
}

void Host::ExchangeAfterRecovery(uint32_t seq, int tries) {
    for (int i = 0; i < tries; ++i) {
        if (Exchange(seq + static_cast<uint32_t>(10 * i))) {
            return;
        }
        Recover();
    }
    ctx_.findings.Add("no exchange completed after the fault (%d tries)", tries);
}

void Host::Close() {
    Step step(ctx_, "Close", 1000);
    const int r = port_->Close();
    step.End();
    if (r != 1) {
        ctx_.findings.Add("Close returned %d", r);
    }
    if (rules_.serial && (port_->IsOpened() != 0 || port_->GetHandle() != -1)) {
        ctx_.findings.Add("the port is open after Close");
    }
}

void CheckPeer(Context& ctx, const PeerLog& log, const ByteLog& written) {
    const std::string sent = written.str();
    if (log.received != sent) {
        size_t at = 0;
        while (at < sent.size() && at < log.received.size() && sent[at] == log.received[at]) {
            ++at;
        }
        ctx.findings.Add(
            "the writes reported %zu bytes sent, the peer received %zu (first "
            "difference at byte %zu)",
            sent.size(), log.received.size(), at);
    }
}

}  // namespace kqtest
