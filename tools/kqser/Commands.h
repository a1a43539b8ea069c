// SPDX-License-Identifier: MIT
// The subcommands. Each takes the parsed command line and returns the exit code.
#ifndef KQSER_TOOL_COMMANDS_H
#define KQSER_TOOL_COMMANDS_H

#include <string>
#include <vector>

#include "DefString.h"
#include "ISerBase.h"
#include "Options.h"
#include "Tool.h"

namespace kqtool {

#define KQSER_COMMAND(name, handler, options, summary, help) \
    int handler(const Common& common, const Args& args);
#include "CommandTable.inc"

// Puts the terminal back if term left it raw; async-signal-safe.
void RestoreTerminalFromSignal();

// Shared by the port commands.

// The port a DEF argument names and the type code to ask for (--type, else
// the default of its kind); false after complaining.
bool ResolvePort(const Common& common, const Args& args, const std::string& def, DefInfo* info,
                 int* type, int* code);
// GetSer and Open, with a hint about a serial device file that is missing or
// not accessible.
ISerBase* OpenDefPort(Session* session, const std::string& def, const DefInfo& info, int type,
                      int* code);
// A stream port (TCP) reads 0 when the peer has closed the connection.
bool IsStreamPort(const DefInfo& info);
// Results of ReadReply besides a byte count.
constexpr int kReadNothing = 0;
constexpr int kReadFailed = -1;      // the port failed or the line hung up
constexpr int kReadPeerClosed = -2;  // a stream peer closed the connection
// Waits up to timeoutMs for data, then reads what the library returns as one
// reply.
int ReadReply(ISerBase* port, const DefInfo& info, unsigned char* buf, int len, int timeoutMs);
// For a serial port just opened: warnings on standard error for what DEF
// asks and the line cannot have, and the settings it has (tcgetattr).
void ShowLine(const Common& common, ISerBase* port, const DefInfo& info, const std::string& def);
// True when a serial line reports a hang-up (the device went away).
bool LineHungUp(ISerBase* port);
// A key a command-line option sets in kqser.conf for one serial port.
struct PortKey {
    std::string option;  // "--gap", for a complaint
    std::string key;     // "frame_gap"
    std::string value;
};
// Points KQSER_CONF at the file in force with the keys added for the serial
// port NAME, in memory (the library frames by kqser.conf); false after
// complaining.
bool SetPortKeys(const Common& common, const std::string& name, const std::vector<PortKey>& keys,
                 int* code);
// A parsed numeric option, or fallback; false after complaining (usage).
bool NumberOption(const Common& common, const Args& args, const std::string& name, long long min,
                  long long max, long long fallback, long long* value, int* code);

}  // namespace kqtool

#endif
