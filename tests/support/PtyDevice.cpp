// SPDX-License-Identifier: MIT
#include "PtyDevice.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "Exchange.h"
#include "Loopback.h"
#include "Process.h"

namespace kqtest {

PtyDevices::PtyDevices(const std::vector<int>& masters, int count)
    : masters_(masters), count_(count), thread_([this] { Run(); }) {}

PtyDevices::~PtyDevices() {
    Stop();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void PtyDevices::Stop() {
    stop_ = true;
}

std::string PtyDevices::Finish() {
    if (thread_.joinable()) {
        thread_.join();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    return error_;
}

void PtyDevices::Fail(const std::string& why) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (error_.empty()) {
        error_ = why;
    }
}

void PtyDevices::Run() {
    const size_t n = masters_.size();
    std::vector<std::string> pending(n);
    std::vector<uint32_t> seq(n, 0);
    std::vector<pollfd> fds(n);
    for (size_t i = 0; i < n; ++i) {
        fds[i] = {masters_[i], POLLIN, 0};
    }
    size_t done = 0;
    double idleSince = kqtest::NowMs();
    while (!stop_ && done < n) {
        const int rc = poll(fds.data(), fds.size(), 50);
        if (rc < 0 && errno != EINTR) {
            Fail("poll failed");
            return;
        }
        if (rc <= 0) {
            if (kqtest::NowMs() - idleSince > 10000) {
                Fail("no request for 10 s");
                return;
            }
            continue;
        }
        idleSince = kqtest::NowMs();
        for (size_t i = 0; i < n; ++i) {
            if (fds[i].revents == 0 || fds[i].fd < 0) {
                continue;
            }
            char buf[512];
            const ssize_t got = read(fds[i].fd, buf, sizeof buf);
            if (got <= 0) {
                return;  // the line was closed: nothing more to serve
            }
            pending[i].append(buf, static_cast<size_t>(got));
            while (pending[i].size() >= static_cast<size_t>(kRequestSize)) {
                const std::string request = Request(seq[i]);
                if (pending[i].compare(0, request.size(), request) != 0) {
                    Fail("port " + std::to_string(i) + ": request " + std::to_string(seq[i]) +
                         " lost or reordered");
                    return;
                }
                pending[i].erase(0, request.size());
                const std::string reply = Reply(seq[i]);
                size_t sent = 0;
                while (sent < reply.size()) {
                    const ssize_t w = write(fds[i].fd, reply.data() + sent, reply.size() - sent);
                    if (w < 0 && errno == EINTR) {
                        continue;
                    }
                    if (w <= 0) {
                        Fail("write to the master failed");
                        return;
                    }
                    sent += static_cast<size_t>(w);
                }
                if (++seq[i] == static_cast<uint32_t>(count_)) {
                    fds[i].fd = -1;  // poll skips it from now on
                    ++done;
                }
            }
        }
    }
}

}  // namespace kqtest
