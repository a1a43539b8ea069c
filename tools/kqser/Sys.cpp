// SPDX-License-Identifier: MIT
#include "Sys.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pty.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>

namespace kqtool {

namespace {

std::string Why(const std::string& what, int savedErrno) {
    return what + ": " + std::strerror(savedErrno);
}

}  // namespace

bool OpenRawPty(int* master, int* slave, std::string* name, std::string* error) {
    char path[128] = {};
    if (openpty(master, slave, path, nullptr, nullptr) != 0) {
        *error = Why("openpty", errno);
        return false;
    }
    fcntl(*master, F_SETFD, FD_CLOEXEC);
    fcntl(*slave, F_SETFD, FD_CLOEXEC);
    // Raw from the start: the line echoes nothing back before a host sets it.
    termios raw;
    if (tcgetattr(*slave, &raw) == 0) {
        cfmakeraw(&raw);
        tcsetattr(*slave, TCSANOW, &raw);
    }
    *name = path;
    if (name->compare(0, 5, "/dev/") == 0) *name = name->substr(5);
    return true;
}

int ListenTcp(const std::string& address, int port, int* bound, std::string* error) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = Why("socket", errno);
        return -1;
    }
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address.c_str(), &addr.sin_addr);
    socklen_t len = sizeof addr;
    const std::string where = address + ":" + std::to_string(port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        *error = Why("cannot listen on " + where, errno);
        close(fd);
        return -1;
    }
    if (listen(fd, 4) != 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        *error = Why("cannot listen on " + where, errno);
        close(fd);
        return -1;
    }
    *bound = ntohs(addr.sin_port);
    return fd;
}

int AcceptTcp(int listener, std::string* peer) {
    sockaddr_in addr;
    socklen_t len = sizeof addr;
    const int fd =
        accept4(listener, reinterpret_cast<sockaddr*>(&addr), &len, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return -1;
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
    *peer = std::string(text) + ":" + std::to_string(ntohs(addr.sin_port));
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

void DrainFd(int fd) {
    if (fd < 0) return;
    while (tcdrain(fd) != 0 && errno == EINTR) {
    }
}

int PollFds(pollfd* fds, nfds_t n, int timeoutMs) {
    const int ready = poll(fds, n, timeoutMs);
    if (ready < 0 && errno == EINTR) return 0;
    return ready;
}

ssize_t ReadFd(int fd, uint8_t* buf, size_t n, int* error) {
    const ssize_t got = read(fd, buf, n);
    const int saved = errno;
    if (got >= 0) return got;
    if (saved == EAGAIN || saved == EWOULDBLOCK || saved == EINTR) return -2;
    *error = saved;
    return -1;
}

ssize_t SendSome(int fd, const uint8_t* buf, size_t n, int* error) {
    const ssize_t sent = send(fd, buf, n, MSG_NOSIGNAL | MSG_DONTWAIT);
    const int saved = errno;
    if (sent >= 0) return sent;
    if (saved == EAGAIN || saved == EWOULDBLOCK || saved == EINTR) return -2;
    *error = saved;
    return -1;
}

bool WriteAll(int fd, const uint8_t* buf, size_t n) {
    size_t done = 0;
    while (done < n) {
        const ssize_t w = write(fd, buf + done, n - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        done += static_cast<size_t>(w);
    }
    return true;
}

int SendAllWithin(int fd, const uint8_t* buf, size_t n, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    size_t done = 0;
    while (done < n) {
        int why = 0;
        const ssize_t sent = SendSome(fd, buf + done, n - done, &why);
        if (sent == -1) return -1;
        if (sent > 0) {
            done += static_cast<size_t>(sent);
            continue;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        pollfd room{fd, POLLOUT, 0};
        if (left.count() <= 0 || PollFds(&room, 1, static_cast<int>(left.count())) < 0) return 0;
    }
    return 1;
}

void CloseFd(int fd) {
    if (fd >= 0) close(fd);
}

bool ReadWholeFile(const std::string& path, std::string* text, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = Why(path, errno);
        return false;
    }
    std::ostringstream all;
    all << in.rdbuf();
    *text = all.str();
    return true;
}

int MemoryFile(const std::string& text, std::string* path, std::string* error) {
    const int fd = memfd_create("kqser.conf", MFD_CLOEXEC);
    if (fd < 0) {
        *error = Why("memfd_create", errno);
        return -1;
    }
    if (!WriteAll(fd, reinterpret_cast<const uint8_t*>(text.data()), text.size())) {
        const int err = errno;
        *error = Why("memfd", err);
        close(fd);
        return -1;
    }
    *path = "/proc/self/fd/" + std::to_string(fd);
    return fd;
}

void WallClock(int64_t* seconds, int* micros) {
    timeval now;
    gettimeofday(&now, nullptr);
    *seconds = now.tv_sec;
    *micros = static_cast<int>(now.tv_usec);
}

}  // namespace kqtool
