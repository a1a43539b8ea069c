// SPDX-License-Identifier: MIT
// What the fault matrix injects: the faults each C library call can meet,
// their names, and the injections a run makes of a scenario whose calls have
// been counted. Pure: no call is made here.
#ifndef KQTEST_FAULTPLAN_H
#define KQTEST_FAULTPLAN_H

#include <string>
#include <vector>

#include "FaultInjector.h"
#include "Interpose.h"

namespace kqtest {

// One way a call fails: with an errno (h_errno for gethostbyname), or, with
// err 0, returning fewer bytes than asked for.
struct FaultKind {
    int err = 0;
    long shortTo = -1;
    bool operator==(const FaultKind& o) const { return err == o.err && shortTo == o.shortTo; }
};

// The faults a call can meet, as fits what it does: a read can be cut
// short, a socket call can meet a reset peer, a file call a full device.
const std::vector<FaultKind>& FaultsFor(interpose::Fn fn);

// "EINTR", "short", "HOST_NOT_FOUND" (gethostbyname), "none" (getservbyname).
std::string FaultName(interpose::Fn fn, const FaultKind& kind);

Fault MakeFault(interpose::Fn fn, int nth, const FaultKind& kind);

struct Injection {
    interpose::Fn fn;
    int nth;
    FaultKind kind;
};

// Every call k = 1..calls[fn] of every function, with every fault that fits
// it and that keep() accepts, in a fixed order. A sample keeps every
// stride-th of them (from the first), at most max.
using Keep = bool (*)(interpose::Fn fn, const FaultKind& kind);
std::vector<Injection> Plan(const int (&calls)[interpose::kFnCount], Keep keep);
std::vector<Injection> Sample(const std::vector<Injection>& all, size_t stride, size_t max);

}  // namespace kqtest

#endif
