// SPDX-License-Identifier: MIT
#include "Settings_p.h"

#include <cstdlib>
#include <string>
#include <utility>

#include "KqLog_p.h"
#include "LogRoute_p.h"

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

void ReadActiveConfig() {
    ConfigFile file = ReadConfigFile(ConfigPath(std::getenv("KQSER_CONF")));
    Active() = std::move(file.config);
    // The lines about the file go where the file says lines go.
    ApplyLogOptions(file.read ? Active().Log() : LogOptions());
    for (const std::string& line : file.problems) {
        KQ_LOG("%s\n", line.c_str());
    }
}

}  // namespace kq
