// SPDX-License-Identifier: MIT
#include "SignalTicks.h"

#include <sys/time.h>

#include <chrono>
#include <utility>

namespace nettest {

namespace {

void OnAlarm(int) {}

}  // namespace

AlarmTicks::AlarmTicks(long intervalUs) {
    struct sigaction act {};
    act.sa_handler = OnAlarm;  // no SA_RESTART
    sigemptyset(&act.sa_mask);
    sigaction(SIGALRM, &act, &old_);
    const timeval every{intervalUs / 1000000, intervalUs % 1000000};
    const itimerval tick{every, every};
    setitimer(ITIMER_REAL, &tick, nullptr);
}

AlarmTicks::~AlarmTicks() {
    Stop();
    // A tick raised just before the timer stopped may still be on its way
    // (valgrind delivers signals late): ignoring the signal discards it, and
    // the default action, which ends the process, is not put back.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGALRM, &ignore, nullptr);
    if (old_.sa_handler != SIG_DFL) {
        sigaction(SIGALRM, &old_, nullptr);
    }
}

void AlarmTicks::Stop() {
    const itimerval stop{};
    setitimer(ITIMER_REAL, &stop, nullptr);
}

void BlockAlarm() {
    sigset_t alarm;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &alarm, nullptr);
}

Watchdog::Watchdog(int ms, std::function<void()> onExpiry)
    : thread_([this, ms, fn = std::move(onExpiry)] {
          BlockAlarm();
          std::unique_lock<std::mutex> hold(lock_);
          if (!cv_.wait_for(hold, std::chrono::milliseconds(ms), [this] { return done_; })) {
              expired_ = true;
              hold.unlock();
              fn();
          }
      }) {}

Watchdog::~Watchdog() {
    Done();
    thread_.join();
}

void Watchdog::Done() {
    {
        const std::lock_guard<std::mutex> hold(lock_);
        done_ = true;
    }
    cv_.notify_all();
}

}  // namespace nettest
