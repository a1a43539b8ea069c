// SPDX-License-Identifier: MIT
#include "DemoPeers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Format.h"

namespace kqtool {

namespace {

// Every wait of the peers is bounded, so a demo whose host side broke still ends.
const int kServeLimitMs = 20000;
// Silence that ends an incomplete frame (several character times).
const int kFrameGapMs = 50;

bool WriteAll(int fd, const Bytes& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == ENOTSOCK) {
            const ssize_t w = write(fd, bytes.data() + done, bytes.size() - done);
            if (w <= 0) return false;
            done += static_cast<size_t>(w);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

SimulatedMeter::~SimulatedMeter() {
    Stop();
}

bool SimulatedMeter::StartThread(std::string* error) {
    if (pipe2(stopPipe_, O_CLOEXEC) != 0) {
        *error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    thread_ = std::thread([this] { Serve(); });
    return true;
}

void SimulatedMeter::Stop() {
    if (thread_.joinable()) {
        const char byte = 1;
        (void)!write(stopPipe_[1], &byte, 1);
        thread_.join();
    }
    for (int& fd : stopPipe_) {
        if (fd >= 0) close(fd);
        fd = -1;
    }
}

std::vector<std::string> SimulatedMeter::TakeEvents() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> events;
    events.swap(events_);
    return events;
}

void SimulatedMeter::Note(const std::string& event) {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(event);
}

bool SimulatedMeter::WaitReadable(int fd, int limitMs) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    for (;;) {
        const int ready = poll(fds, 2, limitMs);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0 || (fds[1].revents & POLLIN) != 0) return false;
        return (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
    }
}

RtuMeterOnPty::~RtuMeterOnPty() {
    Stop();
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
}

bool RtuMeterOnPty::Start(std::string* error) {
    char name[128] = {};
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
        *error = std::string("openpty: ") + std::strerror(errno);
        return false;
    }
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(slave_, F_SETFD, FD_CLOEXEC);
    // Raw from the start: no echo of the meter's answers back to it.
    termios raw;
    if (tcgetattr(slave_, &raw) == 0) {
        cfmakeraw(&raw);
        tcsetattr(slave_, TCSANOW, &raw);
    }
    slaveName_ = name;
    if (slaveName_.compare(0, 5, "/dev/") == 0) slaveName_ = slaveName_.substr(5);
    return StartThread(error);
}

void RtuMeterOnPty::Serve() {
    Bytes frame;
    for (;;) {
        const int limit = frame.empty() ? kServeLimitMs : kFrameGapMs;
        if (!WaitReadable(master_, limit)) {
            if (frame.empty()) return;  // stopping, or nobody talked for too long
            Note("ignored " + HexString(frame.data(), frame.size()) + " (incomplete frame)");
            frame.clear();
            continue;
        }
        uint8_t chunk[256];
        const ssize_t n = read(master_, chunk, sizeof chunk);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            return;
        }
        frame.insert(frame.end(), chunk, chunk + n);
        const size_t need = RtuRequestLength(frame);
        if (need == 0 || frame.size() < need) continue;
        const Bytes request(frame.begin(), frame.begin() + static_cast<long>(need));
        frame.erase(frame.begin(), frame.begin() + static_cast<long>(need));
        const Bytes reply = MeterAnswerRtu(&meter_, request);
        if (reply.empty()) {
            Note("ignored " + HexString(request.data(), request.size()) +
                 " (bad CRC or other unit)");
            continue;
        }
        // Noted before the answer goes out, so the host finds it once it has the answer.
        Note("got " + HexString(request.data(), request.size()) + ", answers " +
             HexString(reply.data(), reply.size()));
        if (!WriteAll(master_, reply)) Note("the answer could not be written");
    }
}

TcpMeter::~TcpMeter() {
    Stop();
    if (listener_ >= 0) close(listener_);
}

bool TcpMeter::Start(std::string* error) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0) {
        *error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listener_, 4) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        *error = std::string("listening on 127.0.0.1: ") + std::strerror(errno);
        return false;
    }
    port_ = ntohs(addr.sin_port);
    return StartThread(error);
}

void TcpMeter::Serve() {
    while (WaitReadable(listener_, kServeLimitMs)) {
        const int conn = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (conn < 0) continue;
        Note("accepted a connection");
        Bytes frame;
        while (WaitReadable(conn, kServeLimitMs)) {
            uint8_t chunk[512];
            const ssize_t n = recv(conn, chunk, sizeof chunk, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                Note("connection closed by the host");
                break;
            }
            frame.insert(frame.end(), chunk, chunk + n);
            for (;;) {
                const size_t need = TcpFrameLength(frame);
                if (need == 0 || frame.size() < need) break;
                const Bytes request(frame.begin(), frame.begin() + static_cast<long>(need));
                frame.erase(frame.begin(), frame.begin() + static_cast<long>(need));
                const Bytes reply = MeterAnswerTcp(&meter_, request);
                if (reply.empty()) {
                    Note("ignored " + HexString(request.data(), request.size()));
                    continue;
                }
                Note("got " + HexString(request.data(), request.size()) + ", answers " +
                     HexString(reply.data(), reply.size()));
                if (!WriteAll(conn, reply)) Note("the answer could not be sent");
            }
        }
        close(conn);
    }
}

}  // namespace kqtool
