// SPDX-License-Identifier: MIT
#include "Loopback.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "Pty.h"

extern char** environ;

namespace kqtest {

namespace {

int BoundPort(int fd) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        return 0;
    }
    return ntohs(addr.sin_port);
}

int PollIn(int fd, int timeoutMs) {
    pollfd pfd{fd, POLLIN, 0};
    int rc;
    do {
        rc = poll(&pfd, 1, timeoutMs);
    } while (rc < 0 && errno == EINTR);
    return rc;
}

// Runs a command to its end; true when it exits with 0.
bool Run(const std::vector<const char*>& args, std::string* why) {
    std::vector<char*> argv;
    for (const char* a : args) {
        argv.push_back(const_cast<char*>(a));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    std::string text;
    for (const char* a : args) {
        text += text.empty() ? a : std::string(" ") + a;
    }
    if (rc != 0) {
        *why = "cannot run '" + text + "': " + std::strerror(rc);
        return false;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        *why = "'" + text + "' failed";
        return false;
    }
    return true;
}

}  // namespace

sockaddr_in Ipv4Addr(const char* addr, int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, addr, &a.sin_addr);
    return a;
}

TcpListener::TcpListener(int port, bool listening) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        ADD_FAILURE() << "socket: " << std::strerror(errno);
        return;
    }
    const int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const sockaddr_in addr = Ipv4Addr("127.0.0.1", port);
    if (bind(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
        (listening && listen(fd_, 8) != 0)) {
        ADD_FAILURE() << "bind/listen 127.0.0.1:" << port << ": " << std::strerror(errno);
        Close();
        return;
    }
    port_ = BoundPort(fd_);
}

TcpListener::~TcpListener() {
    Close();
}

int TcpListener::Accept(int timeoutMs) {
    if (fd_ < 0 || PollIn(fd_, timeoutMs) <= 0) {
        return -1;
    }
    return accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
}

void TcpListener::Close() {
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
}

UdpPeer::UdpPeer(const char* addr, int port) {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        ADD_FAILURE() << "socket: " << std::strerror(errno);
        return;
    }
    const sockaddr_in a = Ipv4Addr(addr, port);
    if (bind(fd_, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        ADD_FAILURE() << "bind " << addr << ":" << port << ": " << std::strerror(errno);
        Close();
        return;
    }
    port_ = BoundPort(fd_);
}

UdpPeer::~UdpPeer() {
    Close();
}

bool UdpPeer::SendTo(const sockaddr_in& to, const std::string& bytes) {
    const ssize_t n = sendto(fd_, bytes.data(), bytes.size(), 0,
                             reinterpret_cast<const sockaddr*>(&to), sizeof to);
    return n == static_cast<ssize_t>(bytes.size());
}

bool UdpPeer::Recv(std::string* bytes, int timeoutMs, sockaddr_in* from) {
    if (fd_ < 0 || PollIn(fd_, timeoutMs) <= 0) {
        return false;
    }
    char chunk[65536];
    sockaddr_in src{};
    socklen_t len = sizeof src;
    const ssize_t n =
        recvfrom(fd_, chunk, sizeof chunk, 0, reinterpret_cast<sockaddr*>(&src), &len);
    if (n < 0) {
        return false;
    }
    bytes->assign(chunk, static_cast<size_t>(n));
    if (from != nullptr) {
        *from = src;
    }
    return true;
}

void UdpPeer::Close() {
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
}

bool SendAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
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

std::string RecvUpTo(int fd, size_t n, int timeoutMs) {
    std::string got;
    const double end = NowMs() + timeoutMs;
    while (got.size() < n) {
        const int left = static_cast<int>(std::max(0.0, end - NowMs()));
        if (PollIn(fd, left) <= 0) {
            break;
        }
        char chunk[4096];
        const ssize_t k = recv(fd, chunk, std::min(sizeof chunk, n - got.size()), 0);
        if (k <= 0) {
            break;
        }
        got.append(chunk, static_cast<size_t>(k));
    }
    return got;
}

bool WaitReadable(int fd, int timeoutMs) {
    return PollIn(fd, timeoutMs) > 0;
}

bool PeerEnded(int fd, int timeoutMs) {
    char c;
    return WaitReadable(fd, timeoutMs) && recv(fd, &c, 1, MSG_DONTWAIT) == 0;
}

void ResetClose(int fd) {
    const linger now{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &now, sizeof now);
    close(fd);
}

PrivateNet::PrivateNet() {
    home_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (home_ < 0) {
        why_ = std::string("cannot open this thread's network namespace: ") + std::strerror(errno);
        return;
    }
    if (unshare(CLONE_NEWNET) != 0) {
        why_ = std::string("a private network namespace is not permitted here (unshare: ") +
               std::strerror(errno) + ")";
        return;
    }
    entered_ = true;
    const std::vector<std::vector<const char*>> steps = {
        {"ip", "link", "set", "lo", "up"},
        {"ip", "link", "add", "va", "type", "veth", "peer", "name", "vb"},
        {"ip", "addr", "add", "192.0.2.1/24", "dev", "va"},
        {"ip", "link", "set", "va", "up"},
        {"ip", "link", "set", "vb", "up"},
        {"ip", "route", "add", "default", "via", "192.0.2.254", "dev", "va"},
        {"ip", "neigh", "add", "192.0.2.2", "lladdr", "02:00:00:00:00:02", "dev", "va", "nud",
         "permanent"},
    };
    for (const auto& step : steps) {
        if (!Run(step, &why_)) {
            why_ = "cannot set up the private network: " + why_;
            return;
        }
    }
    ok_ = true;
}

PrivateNet::~PrivateNet() {
    if (entered_ && setns(home_, CLONE_NEWNET) != 0) {
        // Later tests must not run in the wrong namespace.
        std::fprintf(stderr, "cannot return to the original network namespace: %s\n",
                     std::strerror(errno));
        std::abort();
    }
    if (home_ >= 0) {
        close(home_);
    }
}

}  // namespace kqtest
