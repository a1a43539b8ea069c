// SPDX-License-Identifier: MIT
#include "Peers.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <sstream>

#include "Exchange.h"
#include "Loopback.h"
#include "Process.h"

namespace kqtest {

namespace {

// A peer outlives no scenario: it ends at the end of its control pipe, and
// at the latest after this.
constexpr double kPeerLifeMs = 120000;
// Sync takes in what comes within this of the last byte.
constexpr int kQuietMs = 20;

// Only what the peer serves and talks through stays open in its process.
void KeepOnly(std::initializer_list<int> keep) {
    for (int fd = 3; fd < 4096; ++fd) {
        if (std::find(keep.begin(), keep.end(), fd) == keep.end()) {
            close(fd);
        }
    }
}

// All of bytes, to a pty, a socket or a pipe alike (non-blocking ones too).
bool Put(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EAGAIN) {
            pollfd p = {fd, POLLOUT, 0};
            if (poll(&p, 1, 1000) <= 0) {
                return false;
            }
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

class Serving {
public:
    Serving(Peer::Kind kind, int fd, int control, int answers)
        : kind_(kind), fd_(fd), control_(control), answers_(answers) {}

    [[noreturn]] void Run() {
        // Nothing may block the loop: a connection reset before it is
        // accepted leaves a listener readable with nothing to accept.
        fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
        const double end = NowMs() + kPeerLifeMs;
        while (NowMs() < end) {
            std::vector<pollfd> polls = {{control_, POLLIN, 0}, {fd_, POLLIN, 0}};
            for (int c : conns_) {
                polls.push_back({c, POLLIN, 0});
            }
            if (poll(polls.data(), polls.size(), 50) < 0 && errno != EINTR) {
                break;
            }
            if (polls[0].revents != 0 && !Command()) {
                break;
            }
            bool hungUp = false;
            for (size_t i = 1; i < polls.size(); ++i) {
                if ((polls[i].revents & POLLIN) != 0) {
                    Take(polls[i].fd);
                } else if ((polls[i].revents & (POLLHUP | POLLERR)) != 0) {
                    hungUp = hungUp || polls[i].fd == fd_;
                    if (polls[i].fd != fd_) {
                        Drop(polls[i].fd);
                    }
                }
            }
            if (hungUp) {
                // A pty master whose slave no one holds: nothing to read yet.
                poll(polls.data(), 1, 5);
            }
        }
        Report();
        _exit(0);
    }

private:
    bool Command() {
        char c = 0;
        const ssize_t n = read(control_, &c, 1);
        if (n < 0 && errno == EINTR) {
            return true;
        }
        if (n <= 0 || c == 'Q') {
            return false;
        }
        if (c == 'S') {
            Quiet();
            Answer(static_cast<long>(log_.received.size()));
        } else if (c == 'X') {
            const bool had = !conns_.empty();
            if (had) {
                ResetClose(conns_.back());
                pending_.erase(conns_.back());
                conns_.pop_back();
            }
            Answer(had ? 0 : -1);
        }
        return true;
    }

    // Takes in what arrives until kQuietMs pass without anything.
    void Quiet() {
        for (;;) {
            std::vector<pollfd> polls = {{fd_, POLLIN, 0}};
            for (int c : conns_) {
                polls.push_back({c, POLLIN, 0});
            }
            if (poll(polls.data(), polls.size(), kQuietMs) <= 0) {
                return;
            }
            bool took = false;
            for (const pollfd& p : polls) {
                if ((p.revents & POLLIN) != 0) {
                    took = Take(p.fd) || took;
                } else if ((p.revents & (POLLHUP | POLLERR)) != 0 && p.fd != fd_) {
                    Drop(p.fd);
                    took = true;
                }
            }
            if (!took) {
                return;
            }
        }
    }

    void Answer(long value) {
        const std::string line = std::to_string(value) + "\n";
        (void)!write(answers_, line.data(), line.size());
    }

    bool Take(int fd) {
        if (kind_ == Peer::Kind::kTcp && fd == fd_) {
            const int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (c >= 0) {
                conns_.push_back(c);
                ++log_.connections;
            }
            return c >= 0;
        }
        unsigned char buf[4096];
        sockaddr_in from{};
        socklen_t fromLen = sizeof from;
        const ssize_t n =
            kind_ == Peer::Kind::kUdp
                ? recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fromLen)
                : read(fd, buf, sizeof buf);
        if (n <= 0) {
            if (kind_ == Peer::Kind::kTcp && (n == 0 || (errno != EINTR && errno != EAGAIN))) {
                Drop(fd);
            }
            return n == 0 && kind_ == Peer::Kind::kTcp;
        }
        const std::string bytes(reinterpret_cast<const char*>(buf), static_cast<size_t>(n));
        log_.received += bytes;
        if (kind_ == Peer::Kind::kUdp) {
            size_t end = 0;
            uint32_t seq = 0;
            if (bytes.size() == static_cast<size_t>(kRequestSize) &&
                FindRequest(bytes, &end, &seq)) {
                const std::string reply = Reply(seq);
                sendto(fd, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from),
                       fromLen);
                log_.answered.push_back(seq);
            }
            return true;
        }
        std::string& pending = pending_[fd];
        pending += bytes;
        size_t end = 0;
        uint32_t seq = 0;
        while (FindRequest(pending, &end, &seq)) {
            pending.erase(0, end);
            if (Put(fd, Reply(seq))) {
                log_.answered.push_back(seq);
            }
        }
        return true;
    }

    void Drop(int fd) {
        const auto it = std::find(conns_.begin(), conns_.end(), fd);
        if (it != conns_.end()) {
            close(fd);
            conns_.erase(it);
            pending_.erase(fd);
        }
    }

    void Report() {
        std::ostringstream out;
        out << log_.received.size() << "\n" << log_.received << log_.answered.size();
        for (uint32_t seq : log_.answered) {
            out << " " << seq;
        }
        out << "\n" << log_.connections << "\n";
        Put(answers_, out.str());
    }

    Peer::Kind kind_;
    int fd_;
    int control_;
    int answers_;
    std::vector<int> conns_;
    std::map<int, std::string> pending_;
    PeerLog log_;
};

}  // namespace

bool FindRequest(const std::string& bytes, size_t* end, uint32_t* seq) {
    for (size_t i = 0; i + kRequestSize <= bytes.size(); ++i) {
        // Requests of sequence numbers below 255 carry the number plus 1 in
        // their second byte.
        const uint32_t s = static_cast<unsigned char>(bytes[i + 1]) - 1u;
        if (bytes[i] == Request(0)[0] && bytes.compare(i, kRequestSize, Request(s)) == 0) {
            *end = i + kRequestSize;
            *seq = s;
            return true;
        }
    }
    return false;
}

Peer::~Peer() {
    PeerLog ignored;
    Finish(&ignored);
}

bool Peer::Start(Kind kind, int fd) {
    int control[2];
    int answers[2];
    if (pipe2(control, O_CLOEXEC) != 0) {
        close(fd);
        return false;
    }
    if (pipe2(answers, O_CLOEXEC) != 0) {
        close(control[0]);
        close(control[1]);
        close(fd);
        return false;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        signal(SIGPIPE, SIG_IGN);
        KeepOnly({fd, control[0], answers[1]});
        Serving(kind, fd, control[0], answers[1]).Run();
    }
    close(fd);
    close(control[0]);
    close(answers[1]);
    if (pid < 0) {
        close(control[1]);
        close(answers[0]);
        return false;
    }
    pid_ = pid;
    control_ = control[1];
    answers_ = answers[0];
    return true;
}

bool Peer::Ask(char command, long* answer) {
    if (control_ < 0 || write(control_, &command, 1) != 1) {
        return false;
    }
    std::string line;
    const double end = NowMs() + 10000;
    while (NowMs() < end) {
        pollfd p = {answers_, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) {
            continue;
        }
        char c = 0;
        if (read(answers_, &c, 1) != 1) {
            return false;
        }
        if (c == '\n') {
            *answer = std::strtol(line.c_str(), nullptr, 10);
            return true;
        }
        line += c;
    }
    return false;
}

long Peer::Sync() {
    long received = -1;
    return Ask('S', &received) ? received : -1;
}

bool Peer::ResetNewest() {
    long result = -1;
    return Ask('X', &result) && result == 0;
}

bool Peer::Finish(PeerLog* log) {
    if (pid_ < 0) {
        return false;
    }
    const char quit = 'Q';
    (void)!write(control_, &quit, 1);
    close(control_);
    std::string text;
    const double end = NowMs() + 10000;
    for (;;) {
        pollfd p = {answers_, POLLIN, 0};
        if (NowMs() > end) {
            kill(pid_, SIGKILL);  // a peer that does not stop is ended
            break;
        }
        if (poll(&p, 1, 100) <= 0) {
            continue;
        }
        char buf[4096];
        const ssize_t n = read(answers_, buf, sizeof buf);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        text.append(buf, static_cast<size_t>(n));
    }
    close(answers_);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    control_ = answers_ = -1;
    std::istringstream in(text);
    size_t size = 0;
    if (!(in >> size) || in.get() != '\n') {
        return false;
    }
    log->received.assign(size, '\0');
    in.read(&log->received[0], static_cast<std::streamsize>(size));
    size_t count = 0;
    in >> count;
    log->answered.resize(count);
    for (uint32_t& seq : log->answered) {
        in >> seq;
    }
    in >> log->connections;
    return static_cast<bool>(in);
}

}  // namespace kqtest
