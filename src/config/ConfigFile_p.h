// SPDX-License-Identifier: MIT
// Reading kqser.conf from its path: what GetSerManager does with the file,
// and `kqser config` too. Part of the core. Internal.
#ifndef KQSER_CONFIGFILE_P_H
#define KQSER_CONFIGFILE_P_H

#include <string>
#include <vector>

#include "Config_p.h"

namespace kq {

// The largest file read; a larger one is reported and not used.
constexpr size_t kConfigFileLimit = 1 << 20;

struct ConfigFile {
    std::string path;    // "" when KQSER_CONF is set and empty: no file at all
    bool found = false;  // something is at the path
    bool read = false;   // a regular file, read and parsed
    std::string text;    // what was read
    Config config;       // every key at its default unless read
    // One line for each problem, naming the file (the log lines).
    std::vector<std::string> problems;
};

// Reads the file at path (the result of ConfigPath). A missing file is
// silence; anything else that keeps it from being used is one problem line.
ConfigFile ReadConfigFile(const std::string& path);

}  // namespace kq

#endif
