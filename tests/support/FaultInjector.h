// SPDX-License-Identifier: MIT
// Fault injection, as a handler on the interposition layer (Interpose.h):
// counts the calls that one loaded object (kqSer.so) makes, per function,
// and fails the nth call of one function with one errno, or cuts its byte
// count. Calls from anywhere else (the test, its peers, the C++ library)
// pass untouched. It also keeps the descriptors and folders that object
// holds, so that a test can tell what it left open.
#ifndef KQTEST_FAULTINJECTOR_H
#define KQTEST_FAULTINJECTOR_H

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "Interpose.h"

namespace kqtest {

// One fault: the nth call (from 1) of fn fails with err, or, when err is 0,
// has its byte count cut to shortTo. fn kCount: no fault, counting only.
struct Fault {
    interpose::Fn fn = interpose::Fn::kCount;
    int nth = 0;
    int err = 0;
    long shortTo = -1;
};

class FaultInjector : public interpose::Handler {
public:
    // Watches the object that holds symbol (any function or object of it).
    explicit FaultInjector(const void* symbol);
    ~FaultInjector() override;
    FaultInjector(const FaultInjector&) = delete;
    FaultInjector& operator=(const FaultInjector&) = delete;

    bool ok() const { return end_ > start_; }
    const std::string& ObjectPath() const { return path_; }

    // Starts counting from 0 with this fault armed; Stop ends the counting
    // (and disarms). Descriptors are kept either way.
    void Start(const Fault& fault);
    void Stop();

    int Calls(interpose::Fn fn) const;
    bool Landed() const;
    // Where the fault landed: the address the call would have returned to,
    // as an offset in the object (what objdump shows).
    uint32_t LandedSite() const;
    // The descriptor and the path (of a call that takes one) of that call;
    // -1 and "" when it had none.
    int LandedFd() const;
    std::string LandedPath() const;

    // Descriptors and open folders the object got and has not closed.
    int Held() const;

    bool Fail(interpose::Call& call, int* err) override;
    void Done(const interpose::Call& call, long result, int err) override;

private:
    bool Watched(uintptr_t caller) const { return caller >= start_ && caller < end_; }

    mutable std::mutex lock_;
    uintptr_t base_ = 0;  // what offsets count from
    uintptr_t start_ = 0;
    uintptr_t end_ = 0;  // the object's code: [start_, end_)
    std::string path_;

    bool counting_ = false;
    Fault fault_;
    bool landed_ = false;
    uint32_t landedSite_ = 0;
    int landedFd_ = -1;
    char landedPath_[256] = {};
    int calls_[interpose::kFnCount] = {};

    static constexpr int kMaxFd = 4096;
    unsigned char heldFd_[kMaxFd] = {};
    static constexpr int kMaxDirs = 64;
    const void* heldDirs_[kMaxDirs] = {};
};

}  // namespace kqtest

#endif
