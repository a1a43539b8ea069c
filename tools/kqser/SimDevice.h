// SPDX-License-Identifier: MIT
// The devices kqser sim plays, free of I/O: bytes go in, replies come out.
#ifndef KQSER_TOOL_SIMDEVICE_H
#define KQSER_TOOL_SIMDEVICE_H

#include <string>
#include <vector>

#include "CaptureFile.h"
#include "Modbus.h"

namespace kqtool {

class SimDevice {
public:
    virtual ~SimDevice() = default;
    // Bytes arrived from the host: the replies now due, in order.
    virtual std::vector<Bytes> Feed(const Bytes& chunk) = 0;
    // The line fell silent after bytes that made no whole request: the
    // replies that silence completes (a frame of unknown length).
    virtual std::vector<Bytes> Gap() { return {}; }
    // What the device did since the last call, one line each.
    std::vector<std::string> TakeEvents();

protected:
    void Note(const std::string& event) { events_.push_back(event); }

private:
    std::vector<std::string> events_;
};

class EchoDevice : public SimDevice {
public:
    std::vector<Bytes> Feed(const Bytes& chunk) override;
};

// A Modbus RTU unit: a request of known length is answered as soon as it is
// complete; one of unknown length (another function) when the line falls
// silent. Bad CRC or another unit: no answer.
class ModbusDevice : public SimDevice {
public:
    explicit ModbusDevice(const Meter& meter) : meter_(meter) {}
    std::vector<Bytes> Feed(const Bytes& chunk) override;
    std::vector<Bytes> Gap() override;
    const Meter& meter() const { return meter_; }

private:
    Bytes Answer(const Bytes& frame);
    Meter meter_;
    Bytes pending_;
};

// A Modbus TCP unit on one connection: MBAP frames in, replies out. The
// bank is shared by every connection.
class ModbusTcpDevice : public SimDevice {
public:
    explicit ModbusTcpDevice(Meter* meter) : meter_(meter) {}
    std::vector<Bytes> Feed(const Bytes& chunk) override;

private:
    Meter* meter_;
    Bytes pending_;
};

// Answers each recorded request with its recorded reply when the bytes that
// arrived end with that request. Requests recorded more than once are
// answered in the recorded order, round and round.
class ReplayDevice : public SimDevice {
public:
    explicit ReplayDevice(std::vector<ReplayExchange> exchanges)
        : exchanges_(std::move(exchanges)) {}
    std::vector<Bytes> Feed(const Bytes& chunk) override;
    std::vector<Bytes> Gap() override;

private:
    std::vector<ReplayExchange> exchanges_;
    size_t next_ = 0;  // where the search for a match starts
    Bytes pending_;
};

// Milliseconds that n bytes take on a line of baud bit/s, 10 bits a byte.
double WireTimeMs(size_t n, long baud);

}  // namespace kqtool

#endif
