// SPDX-License-Identifier: MIT
#include "SockTestUtil.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <netdb.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "Interpose.h"
#include "Pty.h"

namespace {

std::atomic<bool> anyLookup{false};
std::atomic<int> lookups{0};

const char kSkipMark = '\x01';

bool LoopbackUp(std::string* why) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        *why = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    ifreq req{};
    std::strncpy(req.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ioctl(fd, SIOCGIFFLAGS, &req) == 0;
    if (ok) {
        req.ifr_flags = static_cast<short>(req.ifr_flags | IFF_UP);
        ok = ioctl(fd, SIOCSIFFLAGS, &req) == 0;
    }
    if (!ok) {
        *why = std::string("bringing lo up: ") + std::strerror(errno);
    }
    close(fd);
    return ok;
}

void WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n <= 0) {
            return;
        }
        done += static_cast<size_t>(n);
    }
}

}  // namespace

namespace {

// On the interposition layer, every resolver call of the program (the
// library's included) comes here first: a name that /etc/hosts does not
// answer is refused before it can become a query off this machine.
class LookupGuard : public kqtest::interpose::Handler {
public:
    LookupGuard() { kqtest::interpose::Add(this); }

    bool Fail(kqtest::interpose::Call& call, int* err) override {
        if (call.fn != kqtest::interpose::Fn::gethostbyname) {
            return false;
        }
        ++lookups;
        if (call.path == nullptr ||
            (!anyLookup && !socktest::HostsEntry(call.path, nullptr, nullptr))) {
            *err = HOST_NOT_FOUND;
            return true;
        }
        return false;
    }
};

// In place from the start, never destroyed.
LookupGuard* const g_guard = new LookupGuard();

}  // namespace

namespace socktest {

void AllowAnyLookup(bool allow) {
    anyLookup = allow;
}

int LookupCount() {
    return lookups;
}

bool HostsEntry(const std::string& name, std::string* official, std::string* address) {
    std::ifstream hosts("/etc/hosts");
    std::string line;
    while (std::getline(hosts, line)) {
        const size_t hash = line.find('#');
        if (hash != std::string::npos) {
            line.erase(hash);
        }
        std::istringstream fields(line);
        std::string addr;
        std::string first;
        if (!(fields >> addr >> first)) {
            continue;
        }
        in_addr parsed{};
        if (inet_pton(AF_INET, addr.c_str(), &parsed) != 1) {
            continue;
        }
        std::string alias = first;
        do {
            if (strcasecmp(alias.c_str(), name.c_str()) == 0) {
                if (official != nullptr) {
                    *official = first;
                }
                if (address != nullptr) {
                    *address = addr;
                }
                return true;
            }
        } while (fields >> alias);
    }
    return false;
}

std::string HostName() {
    char name[256] = {};
    gethostname(name, sizeof name - 1);
    return name;
}

ChildResult RunInChild(const std::function<std::string()>& fn, Net net, int timeoutMs) {
    ChildResult result;
    int fds[2];
    if (pipe(fds) != 0) {
        result.message = "pipe failed";
        return result;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        result.message = "fork failed";
        return result;
    }
    if (pid == 0) {
        close(fds[0]);
        std::string report;
        if (net != Net::Shared) {
            std::string why;
            if (unshare(CLONE_NEWNET) != 0) {
                report = std::string(1, kSkipMark) +
                         "no private network namespace here (unshare: " + std::strerror(errno) +
                         ")";
            } else if (net == Net::PrivateLoopback && !LoopbackUp(&why)) {
                report = std::string(1, kSkipMark) + why;
            } else {
                AllowAnyLookup(true);
            }
        }
        if (report.empty()) {
            try {
                report = fn();
            } catch (const std::exception& e) {
                report = std::string("exception: ") + e.what();
            }
        }
        std::fflush(stdout);
        WriteAll(fds[1], report);
        close(fds[1]);
        _exit(0);
    }
    close(fds[1]);
    std::string report;
    const double deadline = kqtest::NowMs() + timeoutMs;
    bool timedOut = false;
    for (;;) {
        const int left = static_cast<int>(deadline - kqtest::NowMs());
        if (left <= 0) {
            timedOut = true;
            break;
        }
        pollfd pfd{fds[0], POLLIN, 0};
        if (poll(&pfd, 1, left) <= 0) {
            continue;
        }
        char chunk[512];
        const ssize_t n = read(fds[0], chunk, sizeof chunk);
        if (n <= 0) {
            break;
        }
        report.append(chunk, static_cast<size_t>(n));
    }
    close(fds[0]);
    if (timedOut) {
        kill(pid, SIGKILL);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (timedOut) {
        result.message = "child did not finish in time";
    } else if (WIFSIGNALED(status)) {
        result.message = "child killed by signal " + std::to_string(WTERMSIG(status));
    } else if (!report.empty() && report[0] == kSkipMark) {
        result.skipped = true;
        result.message = report.substr(1);
    } else {
        result.message = report;
    }
    return result;
}

ChildResult RunWithLocalName(const std::function<std::string()>& fn) {
    if (HostsEntry(HostName(), nullptr, nullptr)) {
        ChildResult result;
        result.message = fn();
        return result;
    }
    return RunInChild(fn, Net::PrivateLoopback);
}

bool FdOpen(int fd) {
    return fcntl(fd, F_GETFD) != -1;
}

}  // namespace socktest
