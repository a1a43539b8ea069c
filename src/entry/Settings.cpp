#include "Settings_p.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "KqLog_p.h"
#include "LogRoute_p.h"
#include "RegularFile_p.h"

namespace kq {

namespace {

Config& Active() {
    // Never destroyed: ports may open while the process exits.
    static Config* const config = new Config();
    return *config;
}

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

const Config& ActiveConfig() {
    return Active();
}

void ReadActiveConfig() {
    const std::string path = ConfigPath(std::getenv("KQSER_CONF"));
    Active() = Config();
    const FileText file =
        path.empty() ? FileText() : ReadRegularFile(path.c_str(), kConfigFileLimit);
    if (file.status != FileStatus::Ok) {
        ApplyLogOptions(LogOptions());
        if (file.status != FileStatus::Missing) {
            KQ_LOG("config %s: %s; every key keeps its default\n", path.c_str(),
                   Unread(file).c_str());
        }
        return;
    }
    std::vector<std::string> problems;
    Active() = Config::Parse(path, file.data, &problems);
    // The lines about the file go where the file says lines go.
    ApplyLogOptions(Active().Log());
    for (const std::string& line : problems) {
        KQ_LOG("%s\n", line.c_str());
    }
}

}  // namespace kq
