#include "SysTty_p.h"

#include <cerrno>
#include <cstdlib>

#include "RegularFile_p.h"
#include "SysFile_p.h"

namespace kq {

namespace {

// A sysfs attribute holds one short line.
constexpr size_t kAttributeLimit = 4096;
// From a tty's device up to its USB device: the port, the interface, the
// device (usb-serial drivers); the interface, the device (cdc_acm).
constexpr int kUsbLevels = 4;

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
    std::string driver;
    if (sys::Readlink((device + "/driver").c_str(), &driver).Ok()) {
        tty.driver = BaseName(driver);
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

}  // namespace kq
