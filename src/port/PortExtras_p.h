// SPDX-License-Identifier: MIT
// What a port learns from the configuration file and keeps between calls.
// The classes' layouts are the hosts' binary interface, so this lives beside
// the port objects, keyed by their address: created when Open finds options
// for the port, dropped by its destructor. Internal.
#ifndef KQSER_PORTEXTRAS_P_H
#define KQSER_PORTEXTRAS_P_H

#include <memory>

#include <atomic>
#include <cstddef>

#include "Config_p.h"

namespace kq {

class AppendFile;

struct PortExtras {
    SerialOptions serial;
    NetOptions net;
    // The frame gap Open worked out, in nanoseconds; 0 when none is in force.
    long long frameGapNs = 0;
    // The line as Open set it up: bit/s and bits per character.
    int lineBps = 0;
    int lineCharBits = 0;
    // Open took the line for this process (exclusive): TIOCEXCL is set.
    bool exclusiveHeld = false;
    // Where Read and Write are recorded (PortCapture_p.h); null: nowhere.
    std::shared_ptr<AppendFile> capture;
};

// How many ports have extras. Constant-initialised and trivially destroyed,
// so it may be read at any time, also while the process exits.
extern std::atomic<size_t> g_portsWithExtras;

// FindExtras once some port has extras: under the table's lock.
PortExtras* FindExtrasLocked(const void* port);

// The extras of a port, or null when it has none: then the port behaves as
// it does without a configuration file. Without any, one load and no call:
// every Read and Write asks.
__attribute__((always_inline)) inline PortExtras* FindExtras(const void* port) {
    return g_portsWithExtras.load(std::memory_order_acquire) == 0 ? nullptr
                                                                  : FindExtrasLocked(port);
}

// The extras of a port, made (with defaults) when it has none yet. The
// pointer stays valid until DropExtras for the same port.
PortExtras& ExtrasFor(const void* port);

// Forgets a port's extras (its destructor, or an Open that finds none).
void DropExtras(const void* port);

}  // namespace kq

#endif
