// SPDX-License-Identifier: MIT
// The fault matrix: a scenario (a host's full use of one port kind or file)
// is run once per injection, each time in a child process of its own with
// one fault armed, and checked for what every run must show: no crash, no
// wait past an operation's bound, nothing left open or allocated after
// FreeSerManager, the documented result of the failing operation, and no
// byte lost or duplicated on the way.
#ifndef KQTEST_MATRIX_H
#define KQTEST_MATRIX_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "FaultInjector.h"
#include "FaultPlan.h"

namespace kqtest {

// Text in fixed room: a scenario records what it finds while the library's
// heap is measured, so recording must not allocate.
class Findings {
public:
    void Add(const char* format, ...) __attribute__((format(printf, 2, 3)));
    bool empty() const { return count_ == 0; }
    const char* text() const { return text_; }

private:
    char text_[2048] = {};
    size_t length_ = 0;
    int count_ = 0;
};

// Bytes in fixed room: what the host's writes reported sent, what its reads
// returned.
class ByteLog {
public:
    void Append(const void* bytes, size_t n);
    const unsigned char* data() const { return bytes_; }
    size_t size() const { return size_; }
    std::string str() const;

private:
    static constexpr size_t kRoom = 16384;
    unsigned char bytes_[kRoom];
    size_t size_ = 0;
};

// What a run leaves behind after FreeSerManager, against what it found.
struct Growth {
    long long heap = 0;  // bytes
    int fds = 0;         // descriptors of the process
    int held = 0;        // descriptors and folders the library opened
};

class Context {
public:
    // allowance: what the run without a fault left (null: that run itself,
    // which only measures). A log route keeps its descriptor from one manager
    // to the next, so a run may leave what that one left, and no more.
    Context(FaultInjector& injector, const Fault& fault, std::string dir, const Growth* allowance);

    // The part the injector counts and the fault lands in, and over which
    // nothing may be left open or allocated: from right before the first
    // call of the library to right after the last.
    void Watch();
    void Unwatch();

    bool Landed() const { return injector_.Landed(); }
    // Whether the armed fault is one of fn (landed or not).
    bool FaultOn(interpose::Fn fn) const { return fault_.fn == fn; }
    interpose::Fn FaultFn() const { return fault_.fn; }
    bool FaultIsShort() const { return fault_.err == 0 && fault_.fn != interpose::Fn::kCount; }
    int FaultErr() const { return fault_.err; }
    int FaultNth() const { return fault_.nth; }
    int Calls(interpose::Fn fn) const { return injector_.Calls(fn); }
    // The descriptor and path of the call the fault landed on.
    int LandedFd() const { return injector_.LandedFd(); }
    std::string LandedPath() const { return injector_.LandedPath(); }

    const std::string& dir() const { return dir_; }  // this run's own folder
    Findings findings;
    const Growth& growth() const { return growth_; }

private:
    FaultInjector& injector_;
    Fault fault_;
    std::string dir_;
    const Growth* allowance_;
    long long heapAtWatch_ = 0;
    int fdsAtWatch_ = 0;
    int heldAtWatch_ = 0;
    Growth growth_;
};

// One operation of a script: its time against its bound (generously: the
// machine is shared), and whether the fault landed in it.
class Step {
public:
    Step(Context& ctx, const char* what, double boundMs);
    // Ends the step once; true when the fault landed during it.
    bool End();
    // No fault had landed when the step began: the operation must do exactly
    // what it does without one.
    bool clean() const { return clean_; }

private:
    Context& ctx_;
    const char* what_;
    double boundMs_;
    double startMs_;
    bool clean_;
    bool ended_ = false;
    bool faulted_ = false;
};

struct Scenario {
    const char* name;
    void (*run)(Context& ctx);
    // The faults that fit it (null: every one); a datagram read cut short,
    // for one, loses the rest of the datagram by design.
    Keep keep;
    // Run once in the test process first. Not where what the library keeps
    // between managers would tie the children to the test process's run (a
    // syslog connection to the test process's stand-in for the daemon).
    bool warmUp = true;
};

struct Outcome {
    Injection injection{};
    bool landed = false;
    uint32_t site = 0;
    bool pass = false;
    std::string why;
    double ms = 0;
    Growth growth;
    int calls[interpose::kFnCount] = {};
};

// Runs a scenario in children, jobs at a time. The scenario has run once in
// this process first, so that what the library makes once per process
// exists before any child measures its heap.
class Runner {
public:
    Runner(FaultInjector& injector, int jobs) : injector_(injector), jobs_(jobs) {}

    void WarmUp(const Scenario& s);
    // The run without a fault: the calls it makes and what it leaves allocated.
    Outcome Count(const Scenario& s);
    std::vector<Outcome> RunAll(const Scenario& s, const std::vector<Injection>& plan,
                                const Growth& allowance);

private:
    std::vector<Outcome> RunAllMeasured(const Scenario& s, const std::vector<Injection>& plan,
                                        const Growth* allowance);

    FaultInjector& injector_;
    int jobs_;
};

// How far the heap figure may stray from the blocks in use: 0 under a
// sanitizer, which counts them exactly; a few hundred bytes with the C
// library's per-thread cache off (GLIBC_TUNABLES=glibc.malloc.tcache_count=0,
// as CTest runs the matrix); -1 otherwise, and the heap is then not checked.
long long HeapSlack();

}  // namespace kqtest

#endif
