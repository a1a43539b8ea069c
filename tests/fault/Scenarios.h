// The fault matrix's scenarios: one per port kind and per file the library
// keeps, each a host's full use of it from GetSerManager to FreeSerManager.
#ifndef KQTEST_SCENARIOS_H
#define KQTEST_SCENARIOS_H

#include <vector>

#include "ISerManager.h"
#include "Matrix.h"

namespace kqtest {

extern const Scenario kSerialScenario;
extern const Scenario kTcpScenario;
extern const Scenario kUdpScenario;
extern const Scenario kGpioScenario;
extern const Scenario kSocketHandleScenario;
extern const Scenario kLogConfigScenario;
extern const Scenario kLogConfigLinkedScenario;
extern const Scenario kLogConfigMadeScenario;
extern const Scenario kLogFileScenario;
extern const Scenario kStderrScenario;
extern const Scenario kSyslogScenario;

// A port scenario reads and writes no file of the library's: no log-config
// file, no kqser.conf (the file scenarios fault those).
void WithoutFiles();

// The serial port's script (open, exchanges, purge, close, between
// GetSerManager and FreeSerManager) against a device on a new
// pseudo-terminal, with whatever files the caller has set up. withRoom adds
// a read with room to spare, which waits out its silence (0.4 s a run).
void RunSerialScript(Context& ctx, bool withRoom);

// GetSerManager and FreeSerManager as steps.
ISerManager* GetManager(Context& ctx);
int FreeManager(Context& ctx);

}  // namespace kqtest

#endif
