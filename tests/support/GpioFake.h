// SPDX-License-Identifier: MIT
// A stand-in for the GPIO driver, at the system-call boundary (through the
// interposition layer, Interpose.h): calls for "/dev/gpio" and the
// descriptors handed out for it are recorded and answered; every other call
// goes to the real function. Linked into a test executable it is set up and
// read through Dev(); as an LD_PRELOAD module (kqtest_gpio_preload) the
// environment sets it up: KQTEST_GPIO_LEVELS gives levels per line
// ("18=1,17=0") and KQTEST_GPIO_LOG names a file that receives one line per
// call ("open FLAGS", "read LINE", "ioctl REQUEST ARG", "close").
#ifndef KQTEST_GPIOFAKE_H
#define KQTEST_GPIOFAKE_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

namespace gpiofake {

constexpr const char* kPath = "/dev/gpio";

struct OpenCall {
    int flags;
    int fd;  // what the caller got: a descriptor or -1
};

struct ReadCall {
    int fd;
    size_t count;
    unsigned char record[4];  // the record as the caller passed it in
};

struct IoctlCall {
    int fd;
    unsigned long request;
    int arg;
};

enum class ReadMode {
    kFill,   // sets the level of the requested line, returns 4
    kFail,   // fills nothing, returns -1 (EIO)
    kShort,  // fills nothing, returns 2
};

struct Device {
    bool missing = false;  // open fails with ENOENT
    ReadMode readMode = ReadMode::kFill;
    bool ioctlFails = false;              // ioctl returns -1 (EINVAL)
    std::map<uint16_t, uint16_t> levels;  // level per line; 0 when absent

    std::vector<OpenCall> opens;
    std::vector<ReadCall> reads;
    std::vector<IoctlCall> ioctls;
    std::vector<int> closes;
};

// The device's settings and what it was asked since the last Reset.
Device& Dev();

// Clears the settings and the records (descriptors still held stay held).
void Reset();

// Descriptors handed out for the device and not closed yet.
std::vector<int> Held();

// Every device call recorded since the last Reset.
size_t Calls();

}  // namespace gpiofake

#endif
