// SPDX-License-Identifier: MIT
#include "Settings_p.h"

#include <cstdlib>
#include <utility>

namespace kq {

namespace {

Config& Active() {
    // Never destroyed: ports may open while the process exits.
    static Config* const config = new Config();
    return *config;
}

}  // namespace

const Config& ActiveConfig() {
    return Active();
}

std::vector<std::string> ReadActiveConfig(bool* read) {
    ConfigFile file = ReadConfigFile(ConfigPath(std::getenv("KQSER_CONF")));
    Active() = std::move(file.config);
    *read = file.read;
    return std::move(file.problems);
}

}  // namespace kq
