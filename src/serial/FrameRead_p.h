// SPDX-License-Identifier: MIT
// A serial Read that a frame rule ends (frame = modbus_rtu). Internal.
#ifndef KQSER_FRAMEREAD_P_H
#define KQSER_FRAMEREAD_P_H

#include <cstddef>
#include <vector>

namespace kq {

// What a serial Read with a frame rule keeps for the next one: the bytes of
// the frame it is in, from its first byte, of which `given` were handed
// over; a frame that already ended (`ended` bytes long) is handed over
// first.
struct FrameHold {
    std::vector<unsigned char> bytes;
    size_t given = 0;
    size_t ended = 0;      // 0: the frame goes on
    bool unsized = false;  // the rule gave up on it: silence ends it
};

struct FrameWaits {
    long long firstNs;  // for the first byte; -1: for ever
    long long gapNs;    // the silence that ends a frame the rule cannot size
    long long boundNs;  // the whole Read; -1: no bound
    long long charNs;   // one character at the line's speed; 0: not known
};

// Ends as soon as the bytes in hand make one whole reply with a correct
// CRC. A reply with a wrong CRC, or one the rule cannot size, ends at the
// gap; so do a failure and a hang-up. The line is read no further than the
// frame's known length; bytes beyond it, and what a short buffer cannot
// take, stay in *hold and come first in the next Read. Once the line has
// given all it held and the frame still lacks bytes, the Read sleeps for
// about their wire time instead of waking for each byte: a paced line cannot
// bring them sooner.
int ReadByFrame(int fd, FrameHold* hold, unsigned char* buf, int len, const FrameWaits& waits);

// The bound of a Read with the host's time-out in ms: the time-out, but
// never less than the first-byte wait.
long long FrameReadBoundNs(long long firstNs, int timeout);

}  // namespace kq

#endif
