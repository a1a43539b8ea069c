// SPDX-License-Identifier: MIT
// The library of a test's variant loaded as a host loads it (the tool's
// loader), with the silent build's log-config file kept in a scratch folder
// so that no test touches the device path.
#ifndef KQTEST_HOSTLIBRARY_H
#define KQTEST_HOSTLIBRARY_H

#include <string>

#include "Capture.h"
#include "Library.h"

namespace kqtest {

class HostLibrary {
public:
    explicit HostLibrary(const std::string& path = kLibrary);
    ~HostLibrary();
    HostLibrary(const HostLibrary&) = delete;
    HostLibrary& operator=(const HostLibrary&) = delete;

    bool ok() const { return lib_.handle != nullptr; }
    const std::string& error() const { return error_; }
    const kqtool::KqLibrary& lib() const { return lib_; }
    // The log-config file the silent build now reads and writes ("" for
    // the console build).
    const std::string& logConfigPath() const { return iniPath_; }

private:
    kqtool::KqLibrary lib_;
    std::string error_;
    std::string dir_;
    std::string iniPath_;
};

}  // namespace kqtest

#endif
