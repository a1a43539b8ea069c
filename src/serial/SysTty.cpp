// SPDX-License-Identifier: MIT
#include "SysTty_p.h"

#include <fcntl.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "RegularFile_p.h"
#include "SysFile_p.h"
#include "TextUtil_p.h"

namespace kq {

namespace {

// A sysfs attribute holds one short line.
constexpr size_t kAttributeLimit = 4096;
// From a tty's device up to its USB device: the port, the interface, the
// device (usb-serial drivers); the interface, the device (cdc_acm).
constexpr int kUsbLevels = 4;
constexpr int kDriverLevels = 3;

// The text of an attribute without its line end; false when it cannot be read.
bool Attribute(const std::string& path, std::string* text) {
    const FileText file = ReadRegularFile(path.c_str(), kAttributeLimit);
    if (file.status != FileStatus::Ok) {
        return false;
    }
    *text = file.data;
    while (!text->empty() && (text->back() == '\n' || text->back() == ' ')) {
        text->pop_back();
    }
    return true;
}

bool Number(const std::string& text, int base, long* value) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text.c_str(), &end, base);
    if (errno != 0 || *end != '\0' || v < 0) {
        return false;
    }
    *value = v;
    return true;
}

bool NumberAttribute(const std::string& path, int base, long* value) {
    std::string text;
    return Attribute(path, &text) && Number(text, base, value);
}

std::string BaseName(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool Exists(const std::string& path) {
    struct stat st;
    return sys::Stat(path.c_str(), &st).Ok();
}

// The path with every link followed; "" when it leads nowhere.
std::string RealPath(const std::string& path) {
    std::string out;
    (void)sys::Realpath(path.c_str(), &out);  // "" when it fails
    return out;
}

}  // namespace

TtyInfo ReadTty(const std::string& sysRoot, const std::string& name) {
    TtyInfo tty;
    tty.name = name;
    // The kernel resolves ".." after a link from the link's target, so
    // device/.. is the folder above the device, in a real tree and in a
    // test's tree of relative links alike.
    const std::string device = sysRoot + "/class/tty/" + name + "/device";
    if (name.empty() || name.find('/') != std::string::npos || !Exists(device)) {
        return tty;
    }
    tty.hardware = true;
    // The serial core's own port and controller devices (bus serial-base)
    // stand between a UART's tty and the device its driver binds.
    std::string at = device;
    for (int level = 0; level < kDriverLevels; ++level, at += "/..") {
        std::string driver;
        if (!sys::Readlink((at + "/driver").c_str(), &driver).Ok()) {
            break;
        }
        if (driver.find("/serial-base/") == std::string::npos) {
            tty.driver = BaseName(driver);
            break;
        }
    }
    long latency = 0;
    if (NumberAttribute(device + "/latency_timer", 10, &latency)) {
        tty.latencyTimerMs = static_cast<int>(latency);
    }
    std::string dir = device;
    for (int level = 0; level < kUsbLevels; ++level, dir += "/..") {
        long value = 0;
        if (tty.interface < 0 && NumberAttribute(dir + "/bInterfaceNumber", 16, &value)) {
            tty.interface = static_cast<int>(value);
        }
        long vendor = 0;
        long product = 0;
        if (NumberAttribute(dir + "/idVendor", 16, &vendor) &&
            NumberAttribute(dir + "/idProduct", 16, &product)) {
            tty.usb = true;
            tty.vendor = static_cast<unsigned>(vendor);
            tty.product = static_cast<unsigned>(product);
            Attribute(dir + "/serial", &tty.serial);
            break;
        }
    }
    return tty;
}

std::vector<std::string> ListSerialTtys(const std::string& sysRoot) {
    std::vector<std::string> names;
    std::vector<std::string> all;
    if (!sys::ListDir((sysRoot + "/class/tty").c_str(), &all).Ok()) {
        return names;
    }
    for (const std::string& name : all) {
        if (!ReadTty(sysRoot, name).hardware) {
            continue;
        }
        long type = -1;
        if (NumberAttribute(sysRoot + "/class/tty/" + name + "/type", 10, &type) && type == 0) {
            continue;  // a UART slot without a port
        }
        names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string DescribeUsbTty(const TtyInfo& tty) {
    std::string text =
        Format("%s %04x:%04x", tty.name.c_str(), tty.vendor & 0xFFFFu, tty.product & 0xFFFFu);
    if (!tty.serial.empty()) {
        text += " serial " + tty.serial;
    }
    if (tty.interface >= 0) {
        text += Format(" interface %d", tty.interface);
    }
    return text;
}

UsbMatch MatchUsb(const std::string& sysRoot, const UsbIdentity& identity) {
    UsbMatch match;
    for (const std::string& name : ListSerialTtys(sysRoot)) {
        const TtyInfo tty = ReadTty(sysRoot, name);
        if (!tty.usb) {
            continue;
        }
        match.candidates.push_back(DescribeUsbTty(tty));
        if (tty.vendor == identity.vendor && tty.product == identity.product &&
            (identity.serial.empty() || tty.serial == identity.serial) &&
            (identity.interface < 0 || tty.interface == identity.interface)) {
            match.matches.push_back(name);
        }
    }
    return match;
}

std::string ByIdLink(const std::string& devRoot, const std::string& name) {
    const std::string folder = devRoot + "/serial/by-id";
    std::vector<std::string> links;
    if (name.empty() || !sys::ListDir(folder.c_str(), &links).Ok()) {
        return "";
    }
    std::sort(links.begin(), links.end());
    for (const std::string& link : links) {
        if (TtyNameOfPath(devRoot, folder + "/" + link) == name) {
            return folder + "/" + link;
        }
    }
    return "";
}

std::string TtyNameOfPath(const std::string& devRoot, const std::string& path) {
    const std::string at = RealPath(path);
    const std::string dev = RealPath(devRoot) + "/";
    return !at.empty() && at.compare(0, dev.size(), dev) == 0 ? at.substr(dev.size()) : "";
}

int WriteLatencyTimer(const std::string& sysRoot, const std::string& name, int ms) {
    if (name.empty() || name.find('/') != std::string::npos) {
        return ENOENT;
    }
    const std::string path = sysRoot + "/class/tty/" + name + "/device/latency_timer";
    const sys::Result fd = sys::Open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    if (!fd.Ok()) {
        return fd.error;
    }
    const std::string text = std::to_string(ms) + "\n";
    const sys::Result wrote =
        sys::Write(static_cast<int>(fd.value), text.data(), text.size(), sys::OnSignal::kRetry);
    const sys::Result closed = sys::Close(static_cast<int>(fd.value));
    if (!wrote.Ok()) {
        return wrote.error;
    }
    return closed.Ok() ? 0 : closed.error;
}

pid_t LockHolderIn(const std::string& locks, dev_t dev, ino_t ino) {
    char want[64];
    std::snprintf(want, sizeof want, "%02x:%02x:%llu", major(dev), minor(dev),
                  static_cast<unsigned long long>(ino));
    for (size_t start = 0; start < locks.size();) {
        size_t end = locks.find('\n', start);
        end = end == std::string::npos ? locks.size() : end;
        const std::string line = locks.substr(start, end - start);
        start = end + 1;
        // "1: FLOCK  ADVISORY  WRITE 1234 00:1a:6 0 EOF"; a waiter's line has
        // "->" where the kind stands.
        char kind[16] = {};
        char pidText[16] = {};
        char where[64] = {};
        int pid = 0;
        if (std::sscanf(line.c_str(), "%*s %15s %*s %*s %15s %63s", kind, pidText, where) == 3 &&
            std::strcmp(kind, "FLOCK") == 0 && std::strcmp(where, want) == 0 &&
            ReadDecimal(pidText, &pid) && pid > 0) {
            return static_cast<pid_t>(pid);
        }
    }
    return 0;
}

LockHolder FindLockHolder(const std::string& procRoot, dev_t dev, ino_t ino) {
    LockHolder holder;
    const FileText locks = ReadRegularFile((procRoot + "/locks").c_str(), 1 << 20);
    if (locks.status != FileStatus::Ok) {
        return holder;
    }
    holder.pid = LockHolderIn(locks.data, dev, ino);
    if (holder.pid > 0) {
        Attribute(procRoot + "/" + std::to_string(holder.pid) + "/comm", &holder.command);
    }
    return holder;
}

std::string DescribeHolder(const LockHolder& holder) {
    if (holder.pid <= 0) {
        return "another process";
    }
    return holder.command.empty()
               ? Format("process %d", static_cast<int>(holder.pid))
               : Format("process %d (%s)", static_cast<int>(holder.pid), holder.command.c_str());
}

}  // namespace kq
