// SPDX-License-Identifier: MIT
#include "ConfigFile_p.h"

#include <cstring>

#include "RegularFile_p.h"

namespace kq {

namespace {

// Why a file that is there could not be used.
std::string Unread(const FileText& file) {
    switch (file.status) {
        case FileStatus::Directory: return "is a folder";
        case FileStatus::Special: return "is a FIFO, socket or device";
        case FileStatus::TooLarge:
            return "is larger than " + std::to_string(kConfigFileLimit / 1024) + " KiB";
        case FileStatus::OpenFailed:
        case FileStatus::ReadFailed:
            return std::string("cannot be read (") + std::strerror(file.error) + ")";
        case FileStatus::Ok:
        case FileStatus::Missing: break;
    }
    return "";
}

}  // namespace

ConfigFile ReadConfigFile(const std::string& path) {
    ConfigFile out;
    out.path = path;
    if (path.empty()) {
        return out;
    }
    FileText file = ReadRegularFile(path.c_str(), kConfigFileLimit);
    if (file.status == FileStatus::Missing) {
        return out;
    }
    out.found = true;
    if (file.status != FileStatus::Ok) {
        out.problems.push_back("config " + path + ": " + Unread(file) +
                               "; every key keeps its default");
        return out;
    }
    out.read = true;
    out.text = std::move(file.data);
    out.config = Config::Parse(path, out.text, &out.problems);
    return out;
}

}  // namespace kq
