// SPDX-License-Identifier: MIT
// The demo's simulated devices: a Modbus RTU meter on the master side of a
// pseudo-terminal, and a Modbus TCP meter on 127.0.0.1.
#ifndef KQSER_TOOL_DEMOPEERS_H
#define KQSER_TOOL_DEMOPEERS_H

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Modbus.h"

namespace kqtool {

class SimulatedMeter {
public:
    explicit SimulatedMeter(const Meter& meter) : meter_(meter) {}
    virtual ~SimulatedMeter();
    SimulatedMeter(const SimulatedMeter&) = delete;
    SimulatedMeter& operator=(const SimulatedMeter&) = delete;

    // What the meter saw and did since the last call, one line each.
    std::vector<std::string> TakeEvents();
    void Stop();

protected:
    bool StartThread(std::string* error);
    void Note(const std::string& event);
    // Waits for fd to become readable; false when stopping or after limitMs.
    bool WaitReadable(int fd, int limitMs);
    virtual void Serve() = 0;

    Meter meter_;

private:
    int stopPipe_[2] = {-1, -1};
    std::thread thread_;
    std::mutex mutex_;
    std::vector<std::string> events_;
};

class RtuMeterOnPty : public SimulatedMeter {
public:
    explicit RtuMeterOnPty(const Meter& meter) : SimulatedMeter(meter) {}
    ~RtuMeterOnPty() override;
    bool Start(std::string* error);
    // "pts/N": device name and port digit for a serial definition string.
    const std::string& SlaveName() const { return slaveName_; }

private:
    void Serve() override;
    int master_ = -1;
    int slave_ = -1;  // held open so that the master never sees a hang-up
    std::string slaveName_;
};

class TcpMeter : public SimulatedMeter {
public:
    explicit TcpMeter(const Meter& meter) : SimulatedMeter(meter) {}
    ~TcpMeter() override;
    // Listens on 127.0.0.1 on a port the system picks.
    bool Start(std::string* error);
    int Port() const { return port_; }

private:
    void Serve() override;
    int listener_ = -1;
    int port_ = 0;
};

}  // namespace kqtool

#endif
