// What the system tells of its serial lines without opening one: sysfs
// (driver, USB identity, the adapter's latency timer), the by-id links under
// /dev/serial and the lock table under /proc. Opening a line can reset a
// device or change its settings, so nothing here opens a tty.
//
// Every function takes the root folder it reads ("/sys", "/dev", "/proc" in
// the library and in kqser; a folder a test built elsewhere). Part of the
// core, so `kqser ports` and `kqser config` see what the library sees.
// Internal.
#ifndef KQSER_SYSTTY_P_H
#define KQSER_SYSTTY_P_H

#include <string>

namespace kq {

// One tty as sysfs shows it (class/tty/NAME).
struct TtyInfo {
    std::string name;       // "ttyUSB0"
    bool hardware = false;  // a device stands behind it (class/tty/NAME/device)
    std::string driver;     // "ftdi_sio", "cdc_acm", "serial8250"; "" when unknown
    bool usb = false;       // the device is a USB interface, or under one
    unsigned vendor = 0;    // idVendor, idProduct (usb only)
    unsigned product = 0;
    std::string serial;       // the USB device's serial number; "" when it has none
    int interface = -1;       // bInterfaceNumber; -1 when unknown
    int latencyTimerMs = -1;  // the driver's latency_timer; -1 when it has none
};

TtyInfo ReadTty(const std::string& sysRoot, const std::string& name);

}  // namespace kq

#endif
