// SPDX-License-Identifier: MIT
#include "FakeSys.h"

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>

#include <gtest/gtest.h>

namespace kqtest {

namespace {

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
    return ::remove(path);
}

void RemoveTree(const std::string& path) {
    ::nftw(path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

}  // namespace

void FakeSysfs::AddUsb(const FakeUsbTty& tty) {
    const std::string usb = "devices/pci0000:00/0000:00:14.0/usb" + std::to_string(tty.bus) + "/" +
                            std::to_string(tty.bus) + "-" + std::to_string(tty.port);
    char iface[16];
    std::snprintf(iface, sizeof iface, "%02x", tty.interface);
    const std::string intf = usb + "/" + std::to_string(tty.bus) + "-" + std::to_string(tty.port) +
                             ":1." + std::to_string(tty.interface);
    const bool acm = tty.driver == "cdc_acm";
    // cdc_acm binds the interface; a usb-serial driver binds a port below it.
    const std::string device = acm ? intf : intf + "/" + tty.name;
    const std::string bus = acm ? "bus/usb/drivers/" : "bus/usb-serial/drivers/";
    ASSERT_TRUE(dir_.WriteFile(usb + "/idVendor", tty.vendor + "\n"));
    ASSERT_TRUE(dir_.WriteFile(usb + "/idProduct", tty.product + "\n"));
    if (!tty.serial.empty()) {
        ASSERT_TRUE(dir_.WriteFile(usb + "/serial", tty.serial + "\n"));
    }
    ASSERT_TRUE(dir_.WriteFile(intf + "/bInterfaceNumber", std::string(iface) + "\n"));
    ASSERT_TRUE(dir_.MakeDirs(bus + tty.driver));
    ASSERT_TRUE(dir_.Link(device + "/driver", root() + "/" + bus + tty.driver));
    if (tty.latencyTimer >= 0) {
        ASSERT_TRUE(
            dir_.WriteFile(device + "/latency_timer", std::to_string(tty.latencyTimer) + "\n"));
    }
    const std::string classDev = device + "/tty/" + tty.name;
    ASSERT_TRUE(dir_.WriteFile(classDev + "/dev", "188:0\n"));
    ASSERT_TRUE(dir_.Link(classDev + "/device", root() + "/" + device));
    ASSERT_TRUE(dir_.Link("class/tty/" + tty.name, root() + "/" + classDev));
}

void FakeSysfs::AddUart(const std::string& name, int type, const std::string& driver,
                        bool serialBase) {
    const std::string uart = "devices/platform/" + driver + "." + name;
    ASSERT_TRUE(dir_.MakeDirs("bus/platform/drivers/" + driver));
    ASSERT_TRUE(dir_.Link(uart + "/driver", root() + "/bus/platform/drivers/" + driver));
    std::string device = uart;
    if (serialBase) {
        ASSERT_TRUE(dir_.MakeDirs("bus/serial-base/drivers/ctrl"));
        ASSERT_TRUE(dir_.MakeDirs("bus/serial-base/drivers/port"));
        ASSERT_TRUE(dir_.Link(uart + "/ctrl/driver", root() + "/bus/serial-base/drivers/ctrl"));
        device = uart + "/ctrl/port";
        ASSERT_TRUE(dir_.Link(device + "/driver", root() + "/bus/serial-base/drivers/port"));
    }
    const std::string classDev = device + "/tty/" + name;
    ASSERT_TRUE(dir_.WriteFile(classDev + "/type", std::to_string(type) + "\n"));
    ASSERT_TRUE(dir_.Link(classDev + "/device", root() + "/" + device));
    ASSERT_TRUE(dir_.Link("class/tty/" + name, root() + "/" + classDev));
}

void FakeSysfs::AddVirtual(const std::string& name) {
    const std::string classDev = "devices/virtual/tty/" + name;
    ASSERT_TRUE(dir_.WriteFile(classDev + "/dev", "4:1\n"));
    ASSERT_TRUE(dir_.Link("class/tty/" + name, root() + "/" + classDev));
}

void FakeSysfs::Remove(const std::string& name) {
    char target[4096] = {};
    const std::string link = root() + "/class/tty/" + name;
    const ssize_t n = ::readlink((link + "/device").c_str(), target, sizeof target - 1);
    ::unlink(link.c_str());
    if (n > 0) {
        RemoveTree(std::string(target, static_cast<size_t>(n)));
    }
}

std::string FakeSysfs::LatencyTimerPath(const std::string& name) const {
    return root() + "/class/tty/" + name + "/device/latency_timer";
}

ConfFile::ConfFile() : path_(dir_.path() + "/kqser.conf") {
    ::setenv("KQSER_CONF", path_.c_str(), 1);
}

ConfFile::~ConfFile() {
    ::unsetenv("KQSER_CONF");
}

bool ConfFile::Write(const std::string& text) const {
    return dir_.WriteFile("kqser.conf", text);
}

void ConfFile::Remove() const {
    ::unlink(path_.c_str());
}

}  // namespace kqtest
