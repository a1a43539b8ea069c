// SPDX-License-Identifier: MIT
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

#include <sys/types.h>

#include <string>
#include <vector>

#include "Config_p.h"

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

// The serial lines of the machine: ttys with a device behind them, less the
// UART slots a driver reserves without a port (type 0). Sorted by name.
std::vector<std::string> ListSerialTtys(const std::string& sysRoot);

// What a usb: identity names among the machine's lines.
struct UsbMatch {
    std::vector<std::string> matches;  // tty names, sorted
    // Every USB serial line as "ttyUSB0 0403:6001 serial A12345 interface 0",
    // for the log line of a failed match.
    std::vector<std::string> candidates;
};
UsbMatch MatchUsb(const std::string& sysRoot, const UsbIdentity& identity);
// "ttyUSB0 0403:6001 serial A12345 interface 0"
std::string DescribeUsbTty(const TtyInfo& tty);

// The link under devRoot/serial/by-id that leads to devRoot/NAME; "" when
// there is none.
std::string ByIdLink(const std::string& devRoot, const std::string& name);

// Sets the driver's latency_timer; 0 or the errno of the refusal.
int WriteLatencyTimer(const std::string& sysRoot, const std::string& name, int ms);

// The process that holds a whole-file lock (flock) on the file with this
// device and inode, from procRoot/locks; with its command name from
// procRoot/PID/comm. pid 0 when no lock is held.
struct LockHolder {
    pid_t pid = 0;
    std::string command;
};
LockHolder FindLockHolder(const std::string& procRoot, dev_t dev, ino_t ino);
// The same, from the text of a lock table (pure).
pid_t LockHolderIn(const std::string& locks, dev_t dev, ino_t ino);
// "process 1234 (modbusd)", "process 1234", or "another process".
std::string DescribeHolder(const LockHolder& holder);

// The name under devRoot of the tty a path leads to ("ttyUSB0" for
// /dev/serial/by-id/usb-...-port0 or /dev/ttyUSB0); "" when it leads
// elsewhere. Links are followed without opening anything.
std::string TtyNameOfPath(const std::string& devRoot, const std::string& path);

}  // namespace kq

#endif
