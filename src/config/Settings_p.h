// SPDX-License-Identifier: MIT
// The configuration in force in this process: read from kqser.conf by
// GetSerManager each time it creates the manager, and looked at by the ports
// when they open. Internal.
#ifndef KQSER_SETTINGS_P_H
#define KQSER_SETTINGS_P_H

#include <string>
#include <vector>

#include "ConfigFile_p.h"

namespace kq {

// The configuration in force; empty (every key at its default) before the
// first GetSerManager, and when there is no file.
const Config& ActiveConfig();

// Reads the file ($KQSER_CONF when set, set and empty: none; else
// /etc/kqser.conf) into the configuration in force. *read: whether a file
// was read and used. Returns one line for each problem with it, for the
// caller to log once the file's [log] keys are in force. A missing file is
// silence.
std::vector<std::string> ReadActiveConfig(bool* read);

}  // namespace kq

#endif
