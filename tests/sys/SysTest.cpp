// SPDX-License-Identifier: MIT
// The system-call layer's rules that callers rely on: a wait on a descriptor
// that is not open fails with EBADF instead of waiting, what a wait gives
// back, and that every descriptor the layer opens is close-on-exec and never
// one of the standard streams' numbers.
#include "Sys_p.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include <gtest/gtest.h>

#include "SysFile_p.h"
#include "SysLine_p.h"
#include "SysNet_p.h"

namespace {

using kq::sys::OnSignal;
using kq::sys::Result;

TEST(Sys, WaitOutcomes) {
    int pipefd[2];
    ASSERT_EQ(pipe(pipefd), 0);
    int closed[2];
    ASSERT_EQ(pipe(closed), 0);
    close(closed[0]);
    close(closed[1]);
    ASSERT_EQ(write(pipefd[1], "x", 1), 1);
    struct Row {
        const char* what;
        int fd;
        short events;
        long long waitNs;
        long value;  // -1: failure with error
        int error;
    };
    const Row rows[] = {
        {"readable", pipefd[0], POLLIN, 0, POLLIN, 0},
        {"writable end, nothing to read", pipefd[1], POLLIN, 1000000, 0, 0},
        {"not open (no wait, no skipping)", closed[0], POLLIN, -1, -1, EBADF},
        {"negative", -1, POLLIN, -1, -1, EBADF},
    };
    for (const Row& row : rows) {
        for (OnSignal on : {OnSignal::kReport, OnSignal::kRetry}) {
            const Result r = kq::sys::Wait(row.fd, row.events, row.waitNs, on);
            EXPECT_EQ(r.value, row.value) << row.what;
            EXPECT_EQ(r.error, row.error) << row.what;
        }
    }
    close(pipefd[0]);
    close(pipefd[1]);
}

bool CloseOnExec(long fd) {
    const int flags = fcntl(static_cast<int>(fd), F_GETFD);
    return flags >= 0 && (flags & FD_CLOEXEC) != 0;
}

TEST(Sys, EveryDescriptorIsCloseOnExec) {
    const Result file = kq::sys::Open("/dev/null", O_RDONLY);
    const Result device = kq::sys::OpenDevice("/dev/null", O_RDONLY);
    const Result line = kq::sys::OpenLine("/dev/null");
    const Result stream = kq::sys::Socket(AF_INET, SOCK_STREAM);
    const Result datagram = kq::sys::Socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK);
    for (const Result& r : {file, device, line, stream, datagram}) {
        ASSERT_TRUE(r.Ok()) << r.error;
        EXPECT_TRUE(CloseOnExec(r.value));
        int fd = static_cast<int>(r.value);
        kq::sys::ReleaseDescriptor(&fd);
        EXPECT_EQ(fd, -1);
    }
}

// In a host that closed its standard streams nothing the layer opens takes
// their numbers (the console build's lines would go down the line).
TEST(Sys, StandardStreamNumbersAreNeverHandedOut) {
    int report[2];
    ASSERT_EQ(pipe2(report, O_CLOEXEC), 0);
    constexpr int kOpened = 5;
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
            close(fd);
        }
        const long fds[kOpened] = {
            kq::sys::Open("/dev/null", O_RDONLY).value,
            kq::sys::OpenDevice("/dev/null", O_RDONLY).value,
            kq::sys::OpenLine("/dev/null").value,
            kq::sys::Socket(AF_INET, SOCK_STREAM).value,
            kq::sys::Socket(AF_UNIX, SOCK_DGRAM).value,
        };
        _exit(write(report[1], fds, sizeof fds) == sizeof fds ? 0 : 1);
    }
    close(report[1]);
    long fds[kOpened] = {};
    const ssize_t got = read(report[0], fds, sizeof fds);
    close(report[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_EQ(got, static_cast<ssize_t>(sizeof fds));
    for (long fd : fds) {
        EXPECT_GT(fd, STDERR_FILENO);
    }
}

TEST(Sys, AFailureKeepsItsErrno) {
    errno = 0;
    const Result r = kq::sys::Read(-1, nullptr, 0, OnSignal::kReport);
    EXPECT_EQ(r.value, -1);
    EXPECT_EQ(r.error, EBADF);
    const Result ok = kq::sys::Write(STDERR_FILENO, "", 0, OnSignal::kRetry);
    EXPECT_TRUE(ok.Ok());
    EXPECT_EQ(ok.error, 0);
}

}  // namespace
