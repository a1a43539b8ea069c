// SPDX-License-Identifier: MIT
// The fault matrix's scenarios: one per port kind and per file the library
// keeps, each a host's full use of it from GetSerManager to FreeSerManager.
#ifndef KQTEST_SCENARIOS_H
#define KQTEST_SCENARIOS_H

#include <functional>
#include <string>
#include <vector>

#include "ISerManager.h"
#include "Matrix.h"

namespace kqtest {

extern const Scenario kSerialScenario;
extern const Scenario kTcpScenario;
extern const Scenario kUdpScenario;
extern const Scenario kTcpOptionsScenario;
extern const Scenario kGpioScenario;
extern const Scenario kSocketHandleScenario;
extern const Scenario kLogConfigScenario;
extern const Scenario kLogConfigLinkedScenario;
extern const Scenario kLogConfigMadeScenario;
extern const Scenario kLogFileScenario;
extern const Scenario kStderrScenario;
extern const Scenario kStderrFileScenario;
extern const Scenario kSyslogScenario;
extern const Scenario kSerialTimingScenario;
extern const Scenario kSerialLineScenario;
extern const Scenario kSerialRs485Scenario;
extern const Scenario kSerialRtsScenario;

// A port scenario reads and writes no file of the library's: no log-config
// file, no kqser.conf (the file scenarios fault those).
void WithoutFiles();

// What a serial scenario adds to the serial port's script.
struct SerialScript {
    // A read with room to spare, which waits out its silence (0.4 s a run).
    bool withRoom = false;
    // Called with the line's path before the script starts; returns the
    // line's parameters ("" for 115200,N,8,1).
    std::function<std::string(const std::string& device)> setUp;
    // What the host passes to Read (reply_timeout = host makes it the wait).
    int readTimeout = 0;
    // write_timeout: a write goes on after a signal or a short count, within
    // its bound.
    bool boundedWrites = false;
};

// The serial port's script (open, exchanges, purge, close, between
// GetSerManager and FreeSerManager) against a device on a new
// pseudo-terminal, with whatever files the caller has set up.
void RunSerialScript(Context& ctx, const SerialScript& script);

// GetSerManager and FreeSerManager as steps.
ISerManager* GetManager(Context& ctx);
int FreeManager(Context& ctx);

}  // namespace kqtest

#endif
