// SPDX-License-Identifier: MIT
#include "FrameRead_p.h"

#include <poll.h>

#include <algorithm>
#include <cstring>

#include "ModbusFrame_p.h"
#include "Sys_p.h"

namespace kq {

namespace {

// How late a sleeping thread may wake (timer slack, scheduling).
constexpr long long kTimerLatenessNs = 200000;

void Forget(FrameHold* hold) {
    hold->bytes.clear();
    hold->given = 0;
    hold->ended = 0;
    hold->unsized = false;
}

// Hands over what the buffer takes of the bytes not given yet. A frame
// handed over whole is dropped; so are the given bytes of a frame only
// silence ends, which the rule no longer looks at.
int Give(FrameHold* hold, unsigned char* buf, int len) {
    const size_t end = hold->ended > 0 ? hold->ended : hold->bytes.size();
    const size_t n = std::min(end - hold->given, static_cast<size_t>(len));
    std::memcpy(buf, hold->bytes.data() + hold->given, n);
    hold->given += n;
    if (hold->ended > 0 && hold->given == hold->ended) {
        hold->bytes.erase(hold->bytes.begin(),
                          hold->bytes.begin() + static_cast<std::ptrdiff_t>(hold->ended));
        hold->given = 0;
        hold->ended = 0;
        hold->unsized = false;
    } else if (hold->unsized && hold->ended == 0) {
        hold->bytes.erase(hold->bytes.begin(),
                          hold->bytes.begin() + static_cast<std::ptrdiff_t>(hold->given));
        hold->given = 0;
    }
    return static_cast<int>(n);
}

long long Left(long long deadline) {
    return deadline < 0 ? -1 : std::max(0LL, deadline - sys::MonotonicNs());
}

}  // namespace

long long FrameReadBoundNs(long long firstNs, int timeout) {
    if (firstNs < 0 || timeout < 0) {
        return -1;
    }
    return std::max(firstNs, timeout * 1000000LL);
}

int ReadByFrame(int fd, FrameHold* hold, unsigned char* buf, int len, const FrameWaits& waits) {
    if (hold->ended > 0) {
        return Give(hold, buf, len);
    }
    const long long start = sys::MonotonicNs();
    const long long firstDeadline = waits.firstNs < 0 ? -1 : start + waits.firstNs;
    const long long bound = waits.boundNs < 0 ? -1 : start + waits.boundNs;
    bool firstRead = true;
    long long drainedAt = -1;  // when a read last took all the line held
    for (;;) {
        FrameCut cut{FrameCut::kUnsized, 0};
        if (!hold->unsized) {
            cut = CutModbusRtu(hold->bytes.data(), hold->bytes.size(), ModbusSide::kReply);
            if (cut.kind == FrameCut::kComplete) {
                hold->ended = cut.length;
                return Give(hold, buf, len);
            }
            hold->unsized = cut.kind != FrameCut::kNeedMore;
        }
        const long long missing =
            hold->unsized ? 0 : static_cast<long long>(cut.length - hold->bytes.size());
        if (drainedAt >= 0 && waits.charNs > 0 && missing >= 2) {
            // The next byte was not in yet, so the last one needed cannot be
            // in before missing - 1 characters from now; woken early by 1.5
            // characters and a timer's lateness, the wait for the last ones
            // keeps the end as tight as before.
            long long until = drainedAt + (2 * missing - 3) * waits.charNs / 2 - kTimerLatenessNs;
            until = bound >= 0 ? std::min(until, bound) : until;
            sys::SleepNs(until - sys::MonotonicNs(), sys::OnSignal::kRetry);
        }
        drainedAt = -1;
        const size_t waiting = hold->bytes.size() - hold->given;
        if (waiting >= static_cast<size_t>(len)) {
            return Give(hold, buf, len);  // a full buffer; the frame goes on
        }
        // Never past the frame's known length: the next frame's bytes stay
        // on the line.
        unsigned char chunk[kModbusRtuMaxFrame];
        size_t want = std::min(static_cast<size_t>(len) - waiting, sizeof chunk);
        if (!hold->unsized) {
            want = std::min(want, cut.length - hold->bytes.size());
        }
        long long wait = waiting == 0 ? Left(firstDeadline) : waits.gapNs;
        const long long boundLeft = Left(bound);
        const bool bounded = boundLeft >= 0 && (wait < 0 || boundLeft < wait);
        if (bounded) {
            wait = boundLeft;
        }
        ssize_t n = 0;
        if (sys::Wait(fd, POLLIN, wait, sys::OnSignal::kRetry).value > 0) {
            n = sys::Read(fd, chunk, want, sys::OnSignal::kReport).value;
        } else if (bounded && waiting > 0) {
            return Give(hold, buf, len);  // the host's time-out; the frame goes on
        }
        if (n <= 0) {
            // Silence, a failure or a hang-up ends the frame.
            if (waiting == 0) {
                Forget(hold);
                return 0;
            }
            hold->ended = hold->bytes.size();
            return Give(hold, buf, len);
        }
        if (static_cast<size_t>(n) < want) {
            drainedAt = sys::MonotonicNs();
        }
        const unsigned char* from = chunk;
        // A 0x00 in front of a reply is line noise, as in the read loop.
        if (firstRead && hold->bytes.empty() && chunk[0] == 0x00) {
            ++from;
        }
        firstRead = false;
        hold->bytes.insert(hold->bytes.end(), from, static_cast<const unsigned char*>(chunk + n));
    }
}

}  // namespace kq
