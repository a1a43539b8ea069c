// SPDX-License-Identifier: MIT
#include "HostLibrary.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace kqtest {

HostLibrary::HostLibrary(const std::string& path) {
    if (!kqtool::LoadKqLibrary(path, &lib_, &error_)) {
        return;
    }
    if (lib_.logConfigPath != nullptr) {
        char dir[] = "/tmp/kqhost.XXXXXX";
        if (mkdtemp(dir) != nullptr) {
            dir_ = dir;
            iniPath_ = dir_ + "/kq.ini";
            // The library keeps the pointer: the text lives as long as this.
            *lib_.logConfigPath = iniPath_.c_str();
        }
    }
}

HostLibrary::~HostLibrary() {
    if (!dir_.empty()) {
        std::remove(iniPath_.c_str());
        rmdir(dir_.c_str());
    }
    // Not unloaded: the console build's buffered lines are flushed at exit.
}

}  // namespace kqtest
