// SPDX-License-Identifier: MIT
// Signals for the network tests: an interval timer whose handler is
// installed without SA_RESTART, as control loops often have, so that blocking
// calls in the thread under test see EINTR; and a watchdog that ends what a
// faulty call would otherwise wait for without end.
#ifndef KQTEST_SIGNALTICKS_H
#define KQTEST_SIGNALTICKS_H

#include <signal.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace nettest {

// SIGALRM every intervalUs while it lives; stops the timer and puts back a
// handler that was installed before (SIGALRM stays ignored otherwise).
class AlarmTicks {
public:
    explicit AlarmTicks(long intervalUs);
    ~AlarmTicks();
    AlarmTicks(const AlarmTicks&) = delete;
    AlarmTicks& operator=(const AlarmTicks&) = delete;

    // Stops the ticks early (from any thread).
    static void Stop();

private:
    struct sigaction old_ {};
};

// Keeps SIGALRM off the calling thread, so that the ticks reach the thread
// under test. Helper threads call it first.
void BlockAlarm();

// Runs onExpiry on a thread of its own (SIGALRM blocked) unless Done() comes
// within ms. Joined by the destructor.
class Watchdog {
public:
    Watchdog(int ms, std::function<void()> onExpiry);
    ~Watchdog();
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

    void Done();
    bool Expired() const { return expired_; }

private:
    std::mutex lock_;
    std::condition_variable cv_;
    bool done_ = false;
    std::atomic<bool> expired_{false};
    std::thread thread_;
};

}  // namespace nettest

#endif
