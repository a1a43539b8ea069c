// SPDX-License-Identifier: MIT
// Folders a test builds to stand in for what the machine lacks: a sysfs tree
// of serial lines and USB adapters (passed to the functions that take the
// root folder), the by-id links under /dev/serial, and kqser.conf named by
// KQSER_CONF.
#ifndef KQTEST_FAKESYS_H
#define KQTEST_FAKESYS_H

#include <string>

#include "Process.h"

namespace kqtest {

// A USB adapter's serial line as sysfs shows it.
struct FakeUsbTty {
    std::string name;  // "ttyUSB0", "ttyACM0"
    std::string driver = "ftdi_sio";
    std::string vendor = "0403";  // idVendor, idProduct as sysfs writes them
    std::string product = "6001";
    std::string serial;  // "" writes no serial file
    int interface = 0;
    int latencyTimer = -1;  // -1 writes no latency_timer
    int bus = 1;            // the USB device is usbBUS/BUS-PORT
    int port = 1;
};

// root/class/tty/NAME links to a device folder under root/devices, as the
// kernel lays them out: usb-serial ports under their interface, cdc_acm
// lines on the interface itself, UARTs under a platform device.
class FakeSysfs {
public:
    const std::string& root() const { return dir_.path(); }
    void AddUsb(const FakeUsbTty& tty);
    // A UART; type 0 is a slot the driver reserves without a port. With
    // serialBase, the serial core's port and controller devices stand between
    // the tty and the UART's device (as newer kernels lay them out).
    void AddUart(const std::string& name, int type = 4, const std::string& driver = "serial8250",
                 bool serialBase = false);
    // A tty with no device behind it (a virtual console).
    void AddVirtual(const std::string& name);
    // Unplugs: the tty's class link and its device folder go.
    void Remove(const std::string& name);
    // The latency_timer file of a tty added with one.
    std::string LatencyTimerPath(const std::string& name) const;

private:
    TempDir dir_;
};

// KQSER_CONF names a file in a fresh folder while this lives; unset after.
class ConfFile {
public:
    ConfFile();
    ~ConfFile();
    ConfFile(const ConfFile&) = delete;
    ConfFile& operator=(const ConfFile&) = delete;

    const std::string& path() const { return path_; }
    bool Write(const std::string& text) const;
    void Remove() const;

private:
    TempDir dir_;
    std::string path_;
};

}  // namespace kqtest

#endif
