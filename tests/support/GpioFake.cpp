// SPDX-License-Identifier: MIT
#include "GpioFake.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Interpose.h"

namespace gpiofake {
namespace {

using kqtest::interpose::RealClose;
using kqtest::interpose::RealOpen;

// Never destroyed: the calls may still come in while the process exits.
std::vector<int>& HeldFds() {
    static std::vector<int>* const fds = new std::vector<int>();
    return *fds;
}

bool IsHeld(int fd) {
    const std::vector<int>& fds = HeldFds();
    return std::find(fds.begin(), fds.end(), fd) != fds.end();
}

// Each call as a line in the file KQTEST_GPIO_LOG names, when it is set.
void LogCall(const std::string& line) {
    static const char* const path = std::getenv("KQTEST_GPIO_LOG");
    if (path == nullptr) {
        return;
    }
    const int fd = RealOpen(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd >= 0) {
        (void)!::write(fd, line.data(), line.size());
        RealClose(fd);
    }
}

// Levels from KQTEST_GPIO_LEVELS ("18=1,17=0"), for the preloaded fake.
void LevelsFromEnvironment(Device* dev) {
    const char* text = std::getenv("KQTEST_GPIO_LEVELS");
    while (text != nullptr && *text != '\0') {
        char* end = nullptr;
        const long line = std::strtol(text, &end, 10);
        if (end == text || *end != '=') {
            return;
        }
        const long level = std::strtol(end + 1, &end, 10);
        dev->levels[static_cast<uint16_t>(line)] = static_cast<uint16_t>(level);
        text = *end == ',' ? end + 1 : end;
    }
}

class Fake : public kqtest::interpose::Handler {
public:
    Fake() { kqtest::interpose::Add(this); }

    bool Open(const char* path, int flags, int* result) override {
        if (path == nullptr || std::strcmp(path, kPath) != 0) {
            return false;
        }
        Device& dev = Dev();
        LogCall("open " + std::to_string(flags) + "\n");
        if (dev.missing) {
            dev.opens.push_back({flags, -1});
            errno = ENOENT;
            *result = -1;
            return true;
        }
        // A real descriptor, so its number cannot collide with any other
        // open file and closing it is a real close.
        const int fd = RealOpen("/dev/null", O_RDONLY | O_CLOEXEC, 0);
        if (fd < 0) {
            std::abort();
        }
        HeldFds().push_back(fd);
        dev.opens.push_back({flags, fd});
        *result = fd;
        return true;
    }

    bool Read(int fd, void* buf, size_t count, ssize_t* result) override {
        if (!IsHeld(fd)) {
            return false;
        }
        Device& dev = Dev();
        ReadCall call = {fd, count, {0, 0, 0, 0}};
        if (buf != nullptr) {
            std::memcpy(call.record, buf, std::min(count, sizeof call.record));
        }
        dev.reads.push_back(call);
        uint16_t line = 0;
        std::memcpy(&line, call.record, sizeof line);
        LogCall("read " + std::to_string(line) + "\n");
        switch (dev.readMode) {
            case ReadMode::kFail:
                errno = EIO;
                *result = -1;
                return true;
            case ReadMode::kShort: *result = 2; return true;
            case ReadMode::kFill: break;
        }
        if (buf == nullptr || count < 4) {
            errno = EINVAL;
            *result = -1;
            return true;
        }
        const auto it = dev.levels.find(line);
        const uint16_t level = it != dev.levels.end() ? it->second : 0;
        std::memcpy(static_cast<unsigned char*>(buf) + 2, &level, sizeof level);
        *result = 4;
        return true;
    }

    bool Ioctl(int fd, unsigned long request, void* arg, int* result) override {
        if (!IsHeld(fd)) {
            return false;
        }
        // The line number travels as an int by value.
        const int value = static_cast<int>(reinterpret_cast<intptr_t>(arg));
        Device& dev = Dev();
        dev.ioctls.push_back({fd, request, value});
        LogCall("ioctl " + std::to_string(request) + " " + std::to_string(value) + "\n");
        if (dev.ioctlFails) {
            errno = EINVAL;
            *result = -1;
        } else {
            *result = 0;
        }
        return true;
    }

    void Closing(int fd) override {
        if (IsHeld(fd)) {
            std::vector<int>& fds = HeldFds();
            fds.erase(std::find(fds.begin(), fds.end(), fd));
            Dev().closes.push_back(fd);
            LogCall("close\n");
        }
    }
};

// In place from the start: the library may open the device at any time.
Fake* const g_fake = new Fake();

}  // namespace

Device& Dev() {
    static Device* const device = [] {
        auto* dev = new Device();
        LevelsFromEnvironment(dev);
        return dev;
    }();
    return *device;
}

void Reset() {
    Dev() = Device();
}

std::vector<int> Held() {
    return HeldFds();
}

size_t Calls() {
    const Device& dev = Dev();
    return dev.opens.size() + dev.reads.size() + dev.ioctls.size() + dev.closes.size();
}

}  // namespace gpiofake
