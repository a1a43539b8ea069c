// SPDX-License-Identifier: MIT
#include "SerialPath.h"

#include <sys/stat.h>

#include <cctype>

#include "DefString.h"
#include "SerialDef_p.h"
#include "SysFile_p.h"

namespace kqtool {

namespace {

bool Exists(const std::string& path) {
    struct stat st;
    return kq::sys::Lstat(path.c_str(), &st).Ok();
}

std::string Resolved(const std::string& path) {
    std::string resolved;
    return kq::sys::Realpath(path.c_str(), &resolved).Ok() ? resolved : path;
}

// "ttyUSB0", "pts/3": a name the library's definition string can carry.
bool IsLineName(const std::string& name) {
    if (name.empty() || !std::isdigit(static_cast<unsigned char>(name.back()))) return false;
    const kq::SerialDefScan scan = kq::ScanSerialDef((name + ":").c_str());
    return scan.bounded && scan.device.length < kq::kSerialFieldSize &&
           name.find(',') == std::string::npos;
}

// The path and the settings of "PATH[:settings]": the longest prefix before
// a colon that is a file (a by-path link holds colons of its own).
void SplitPath(const std::string& arg, std::string* path, std::string* settings) {
    for (size_t colon = arg.rfind(':'); colon != std::string::npos && colon > 0;
         colon = arg.rfind(':', colon - 1)) {
        if (Exists(arg.substr(0, colon))) {
            *path = arg.substr(0, colon);
            *settings = arg.substr(colon + 1);
            return;
        }
    }
    if (Exists(arg)) {
        *path = arg;
        settings->clear();
        return;
    }
    const size_t colon = arg.find(':', arg.rfind('/') == std::string::npos ? 0 : arg.rfind('/'));
    *path = arg.substr(0, colon);
    *settings = colon == std::string::npos ? "" : arg.substr(colon + 1);
}

// The settings with the library's defaults for the fields left out
// (9600,N,8,1): a bare name gets one stop bit, not the note's 1.5 of a
// field never set.
std::string Completed(const std::string& settings) {
    static const char* const kDefaults[] = {"9600", "N", "8", "1"};
    size_t fields = settings.empty() ? 0 : 1;
    for (char c : settings) fields += c == ',' ? 1 : 0;
    std::string text = settings;
    for (size_t i = fields; i < 4; ++i) text += std::string(i == 0 ? "" : ",") + kDefaults[i];
    return text;
}

LineArg FromPath(const std::string& path, const std::string& settings) {
    LineArg line;
    const std::string real = Resolved(path);
    const std::string dev = "/dev/";
    const std::string name = real.compare(0, dev.size(), dev) == 0 ? real.substr(dev.size()) : "";
    line.name = IsLineName(name) ? name : kPathPortName;
    line.def = line.name + ":" + Completed(settings);
    // /dev/NAME itself is what the library opens anyway; anything else
    // (a link, a node elsewhere) is opened by the path given, as device =
    // does, so a replugged adapter is found again under its link.
    if (path != dev + line.name) line.devicePath = path;
    return line;
}

}  // namespace

bool MapLineArg(const std::string& arg, LineArg* out, std::string* error) {
    LineArg line;
    line.def = arg;
    DefInfo info;
    std::string ignored;
    if (arg.empty()) {
        *out = line;
        return true;
    }
    if (arg[0] == '/' || arg.compare(0, 2, "./") == 0 || arg.compare(0, 3, "../") == 0) {
        std::string path, settings;
        SplitPath(arg, &path, &settings);
        // device = takes an absolute path: the folder's, with the name as given.
        if (path[0] != '/') {
            const size_t slash = path.rfind('/');
            std::string folder;
            if (kq::sys::Realpath(path.substr(0, slash).c_str(), &folder).Ok()) {
                path = folder + path.substr(slash);
            }
        }
        *out = FromPath(path, settings);
        return true;
    }
    if (ClassifyDef(arg, &info, &ignored) && info.portClass == PortClass::kNet) {
        *out = line;
        return true;
    }
    const size_t colon = arg.find(':');
    const std::string name = arg.substr(0, colon);
    const std::string settings = colon == std::string::npos ? "" : arg.substr(colon + 1);
    if (IsLineName(name)) {
        line.name = name;
        line.def = name + ":" + Completed(settings);
        *out = line;
        return true;
    }
    const kq::SerialDefScan scan = kq::ScanSerialDef((name + ":").c_str());
    if (scan.bounded && scan.device.length >= kq::kSerialFieldSize) {
        if (Exists("/dev/" + name)) {
            *out = FromPath("/dev/" + name, settings);
            return true;
        }
        *error = "serial device name '" + name.substr(0, 40) +
                 "' is longer than the library's 15 characters and /dev/" + name.substr(0, 40) +
                 " is not there: give the line's path (kqser hands it to the library as "
                 "device = PATH), or set device = in its [serial NAME] section of kqser.conf";
        return false;
    }
    *out = line;
    return true;
}

}  // namespace kqtool
