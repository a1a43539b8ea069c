// SPDX-License-Identifier: MIT
// What a port learns from the configuration file and keeps between calls.
// The classes' layouts are the hosts' binary interface, so this lives beside
// the port objects, keyed by them: made when Open finds options for the
// port, dropped by its destructor or by an Open that finds none. Each kind
// of port keeps its own kind of extras (SerialExtras, NetExtras), derived
// from PortExtras and reached through its own typed accessor. Internal.
#ifndef KQSER_PORTEXTRAS_P_H
#define KQSER_PORTEXTRAS_P_H

#include <atomic>
#include <cstddef>
#include <memory>
#include <utility>

class CSerBase;

namespace kq {

class AppendFile;

// What every port's extras hold.
struct PortExtras {
    virtual ~PortExtras() = default;
    // Where Read and Write are recorded (PortCapture_p.h); null: nowhere.
    std::shared_ptr<AppendFile> capture;
};

// How many ports have extras. Constant-initialised and trivially destroyed,
// so it may be read at any time, also while the process exits.
extern std::atomic<size_t> g_portsWithExtras;

// FindExtras once some port has extras: under the table's lock.
PortExtras* FindExtrasLocked(const CSerBase* port);

// The extras of a port, or null when it has none: then the port behaves as
// it does without a configuration file. Without any, one load and no call:
// every Read and Write asks.
__attribute__((always_inline)) inline PortExtras* FindExtras(const CSerBase* port) {
    return g_portsWithExtras.load(std::memory_order_acquire) == 0 ? nullptr
                                                                  : FindExtrasLocked(port);
}

// A port's extras made anew by make (its capture file kept, which the port
// may go on using). The pointer stays valid until DropExtras for the port.
PortExtras& RenewExtras(const CSerBase* port, std::unique_ptr<PortExtras> (*make)());

// Forgets a port's extras (its destructor, or an Open that finds none).
void DropExtras(const CSerBase* port);

// The typed accessors of a kind of port whose extras are Extras.
template <typename Extras>
struct ExtrasOf {
    static Extras* Find(const CSerBase* port) { return static_cast<Extras*>(FindExtras(port)); }
    // Extras at their defaults for an Open that found options.
    static Extras& Renew(const CSerBase* port) {
        return static_cast<Extras&>(
            RenewExtras(port, [] { return std::unique_ptr<PortExtras>(new Extras()); }));
    }
};

}  // namespace kq

#endif
