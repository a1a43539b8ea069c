// SPDX-License-Identifier: MIT
#include "TcsetattrSpy.h"

#include <atomic>
#include <cerrno>
#include <mutex>

#include "Interpose.h"

namespace {

using kqtest::interpose::Call;
using kqtest::interpose::Fn;

// A handler on the interposition layer: sees every tcsetattr of the program.
class Spy : public kqtest::interpose::Handler {
public:
    Spy() { kqtest::interpose::Add(this); }

    bool Fail(Call& call, int* err) override {
        if (call.fn != Fn::tcsetattr) {
            return false;
        }
        std::lock_guard<std::mutex> hold(lock_);
        ++count_;
        last_.fd = call.fd;
        last_.action = static_cast<int>(call.op);
        if (call.data != nullptr) {
            last_.tio = *static_cast<const termios*>(call.data);
        }
        if (failNext_) {
            failNext_ = false;
            *err = EINVAL;
            return true;
        }
        return false;
    }

    std::mutex lock_;
    int count_ = 0;
    bool failNext_ = false;
    kqtest::TcsetattrCall last_;
};

// In place from the start, never destroyed: the library may set a line up
// at any time, the exit included.
Spy* const g_spy = new Spy();

}  // namespace

namespace kqtest {

void TcsetattrReset() {
    std::lock_guard<std::mutex> hold(g_spy->lock_);
    g_spy->count_ = 0;
    g_spy->failNext_ = false;
    g_spy->last_ = TcsetattrCall();
}

int TcsetattrCount() {
    std::lock_guard<std::mutex> hold(g_spy->lock_);
    return g_spy->count_;
}

TcsetattrCall TcsetattrLast() {
    std::lock_guard<std::mutex> hold(g_spy->lock_);
    return g_spy->last_;
}

void TcsetattrFailNext() {
    std::lock_guard<std::mutex> hold(g_spy->lock_);
    g_spy->failNext_ = true;
}

}  // namespace kqtest
