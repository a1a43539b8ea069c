// SPDX-License-Identifier: MIT
// The configuration in force in this process: read from kqser.conf by
// GetSerManager each time it creates the manager, and looked at by the ports
// when they open. Internal.
#ifndef KQSER_SETTINGS_P_H
#define KQSER_SETTINGS_P_H

#include "ConfigFile_p.h"

namespace kq {

// The configuration in force; empty (every key at its default) before the
// first GetSerManager, and when there is no file.
const Config& ActiveConfig();

// Reads the file ($KQSER_CONF when set, set and empty: none; else
// /etc/kqser.conf) into the configuration in force, and logs one line for
// each problem with it. A missing file is silence.
void ReadActiveConfig();

}  // namespace kq

#endif
