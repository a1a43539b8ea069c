// SPDX-License-Identifier: MIT
#include "Child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "Pty.h"

namespace kqtest {

Child::~Child() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    for (int fd : {outFd_, errFd_, inFd_}) {
        if (fd >= 0) close(fd);
    }
}

bool Child::Start(const std::vector<std::string>& argv, const Options& options) {
    int outPipe[2] = {-1, -1}, errPipe[2] = {-1, -1}, inPipe[2] = {-1, -1};
    if (options.terminal < 0) {
        if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) return false;
        if (options.stdinPipe && pipe2(inPipe, O_CLOEXEC) != 0) return false;
    }
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    pid_ = fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
        if (options.terminal >= 0) {
            setsid();
            ioctl(options.terminal, TIOCSCTTY, 0);
            dup2(options.terminal, 0);
            dup2(options.terminal, 1);
            dup2(options.terminal, 2);
        } else {
            const int in = options.stdinPipe ? inPipe[0] : open("/dev/null", O_RDONLY);
            dup2(in, 0);
            dup2(outPipe[1], 1);
            dup2(errPipe[1], 2);
        }
        // Only the standard streams: a pty master the test holds must not stay
        // open in the tool, or closing it would not hang the line up.
        const long maxFd = sysconf(_SC_OPEN_MAX);
        for (long fd = 3; fd < (maxFd > 0 && maxFd < 65536 ? maxFd : 65536); ++fd) {
            close(static_cast<int>(fd));
        }
        for (const std::string& assignment : options.env) {
            putenv(const_cast<char*>(assignment.c_str()));
        }
        execvp(args[0], args.data());
        _exit(127);
    }
    if (options.terminal < 0) {
        close(outPipe[1]);
        close(errPipe[1]);
        outFd_ = outPipe[0];
        errFd_ = errPipe[0];
        if (options.stdinPipe) {
            close(inPipe[0]);
            inFd_ = inPipe[1];
        }
    }
    return true;
}

void Child::Pump(int timeoutMs) {
    pollfd fds[2];
    int n = 0;
    if (outFd_ >= 0) fds[n++] = {outFd_, POLLIN, 0};
    if (errFd_ >= 0) fds[n++] = {errFd_, POLLIN, 0};
    if (n == 0) {
        poll(nullptr, 0, timeoutMs);
        return;
    }
    if (poll(fds, static_cast<nfds_t>(n), timeoutMs) <= 0) return;
    for (int i = 0; i < n; ++i) {
        if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
        char buf[4096];
        const ssize_t k = read(fds[i].fd, buf, sizeof buf);
        int& fd = fds[i].fd == outFd_ ? outFd_ : errFd_;
        std::string& text = fds[i].fd == outFd_ ? out_ : err_;
        if (k > 0) {
            text.append(buf, static_cast<size_t>(k));
        } else if (k == 0 || errno != EINTR) {
            close(fd);
            fd = -1;
        }
    }
}

bool Child::WaitFor(bool onErr, const std::string& needle, int timeoutMs) {
    const std::string& text = onErr ? err_ : out_;
    const double end = NowMs() + timeoutMs;
    while (text.find(needle) == std::string::npos) {
        const double left = end - NowMs();
        if (left <= 0 || (onErr ? errFd_ : outFd_) < 0) return false;
        Pump(static_cast<int>(left < 100 ? left : 100));
    }
    return true;
}

bool Child::WaitForOut(const std::string& needle, int timeoutMs) {
    return WaitFor(false, needle, timeoutMs);
}

bool Child::WaitForErr(const std::string& needle, int timeoutMs) {
    return WaitFor(true, needle, timeoutMs);
}

void Child::WriteStdin(const std::string& bytes) {
    if (inFd_ >= 0) (void)!write(inFd_, bytes.data(), bytes.size());
}

void Child::CloseStdin() {
    if (inFd_ >= 0) close(inFd_);
    inFd_ = -1;
}

void Child::Signal(int signo) {
    if (pid_ > 0) kill(pid_, signo);
}

ChildResult Child::Wait(int timeoutMs) {
    ChildResult result;
    const double end = NowMs() + timeoutMs;
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) break;
        if (NowMs() >= end) {
            result.timedOut = true;
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            break;
        }
        Pump(20);
    }
    pid_ = -1;
    const double drainEnd = NowMs() + 5000;
    while ((outFd_ >= 0 || errFd_ >= 0) && NowMs() < drainEnd) Pump(100);
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    result.out = out_;
    result.err = err_;
    return result;
}

std::vector<std::string> KqserCommand(const std::vector<std::string>& args,
                                      std::vector<std::string>* env) {
    std::vector<std::string> argv;
#ifdef KQTEST_EMULATOR
    std::istringstream emulator(KQTEST_EMULATOR);
    for (std::string part; emulator >> part;) argv.push_back(part);
    if (env != nullptr) {
        for (auto it = env->begin(); it != env->end();) {
            if (it->rfind("LD_PRELOAD=", 0) == 0) {
                argv.push_back("-E");
                argv.push_back(*it);
                it = env->erase(it);
            } else {
                ++it;
            }
        }
    }
#else
    (void)env;
#endif
    argv.push_back(KQTEST_KQSER);
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

ChildResult RunKqser(const std::vector<std::string>& args, int timeoutMs,
                     const std::vector<std::string>& env) {
    Child child;
    Child::Options options;
    options.env = env;
    const std::vector<std::string> argv = KqserCommand(args, &options.env);
    if (!child.Start(argv, options)) return ChildResult();
    return child.Wait(timeoutMs);
}

}  // namespace kqtest
