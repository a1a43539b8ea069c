// SPDX-License-Identifier: MIT
// Devices on pseudo-terminal masters: each answers every request of the soak
// protocol with its reply, in order, on a thread of its own.
#ifndef KQTEST_PTYDEVICE_H
#define KQTEST_PTYDEVICE_H

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kqtest {

class PtyDevices {
public:
    // Serves the given masters until each has answered `count` requests, a
    // master is closed or hung up, Stop() is called, or 10 s pass without
    // any request.
    PtyDevices(const std::vector<int>& masters, int count);
    ~PtyDevices();
    PtyDevices(const PtyDevices&) = delete;
    PtyDevices& operator=(const PtyDevices&) = delete;

    void Stop();
    // Waits for the thread; then the first fault it saw ("" when none).
    std::string Finish();

private:
    void Run();
    void Fail(const std::string& why);

    std::vector<int> masters_;
    int count_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::string error_;
    std::thread thread_;
};

}  // namespace kqtest

#endif
