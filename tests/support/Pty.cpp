// SPDX-License-Identifier: MIT
#include "Pty.h"

#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include <gtest/gtest.h>

namespace kqtest {

PtyPair::PtyPair() {
    char name[64] = {};
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
        ADD_FAILURE() << "openpty: " << std::strerror(errno);
        master_ = slave_ = -1;
        return;
    }
    name_ = name;
    const std::string dev = "/dev/";
    if (name_.compare(0, dev.size(), dev) == 0) {
        name_ = name_.substr(dev.size());
    }
}

PtyPair::~PtyPair() {
    CloseMaster();
    CloseSlave();
}

std::string PtyPair::SlaveName() const {
    return name_;
}

std::string PtyPair::Def(const std::string& params) const {
    return name_ + ":" + params;
}

bool PtyPair::WriteMaster(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string PtyPair::ReadMaster(size_t n, int timeoutMs) {
    std::string got;
    while (got.size() < n) {
        pollfd pfd = {master_, POLLIN, 0};
        const int r = ::poll(&pfd, 1, timeoutMs);
        if (r <= 0 || !(pfd.revents & POLLIN)) {
            break;
        }
        char chunk[4096];
        const size_t want = std::min(sizeof chunk, n - got.size());
        const ssize_t k = ::read(master_, chunk, want);
        if (k <= 0) {
            break;
        }
        got.append(chunk, static_cast<size_t>(k));
    }
    return got;
}

std::string PtyPair::Drain(int timeoutMs) {
    return ReadMaster(static_cast<size_t>(-1) / 2, timeoutMs);
}

void PtyPair::CloseMaster() {
    if (master_ >= 0) {
        ::close(master_);
        master_ = -1;
    }
}

void PtyPair::CloseSlave() {
    if (slave_ >= 0) {
        ::close(slave_);
        slave_ = -1;
    }
}

}  // namespace kqtest
