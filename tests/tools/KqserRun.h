// SPDX-License-Identifier: MIT
// Running the built kqser against the library under test, as the field
// tests do: to the end, or in the background until it names where to
// connect.
#ifndef KQSER_TESTS_TOOLS_KQSERRUN_H
#define KQSER_TESTS_TOOLS_KQSERRUN_H

#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "Capture.h"
#include "Child.h"
#include "Loopback.h"
#include "Process.h"

namespace kqtest {
// For the tests' "using namespace kqtest::field;".
namespace field {

inline bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

inline std::string Describe(const ChildResult& r) {
    return "exit " + std::to_string(r.exitCode) + "\n--- stdout\n" + r.out + "--- stderr\n" + r.err;
}

// kqser with --lib naming the library under test, run to the end.
inline ChildResult Kqser(std::vector<std::string> args, const std::vector<std::string>& env = {},
                         int timeoutMs = 30000) {
    args.insert(args.begin(), {"--lib", kLibrary});
    return RunKqser(args, timeoutMs, env);
}

inline ChildResult Kqser(std::vector<std::string> args, int timeoutMs) {
    return Kqser(std::move(args), {}, timeoutMs);
}

// The same, started in the background.
inline bool Start(Child* child, std::vector<std::string> args,
                  const std::vector<std::string>& env = {}, bool stdinPipe = false) {
    args.insert(args.begin(), {"--lib", kLibrary});
    std::vector<std::string> childEnv = env;
    Child::Options options;
    const std::vector<std::string> command = KqserCommand(args, &childEnv);
    options.env = childEnv;
    options.stdinPipe = stdinPipe;
    return child->Start(command, options);
}

// The first line on standard output that names where to connect: the
// definition string of sim, or the address of bridge; "" after 10 s. (The
// console build prints its log lines on the same standard output.)
inline std::string WhereTo(Child* child) {
    const std::regex wanted(R"((^|\n)(pts/\d+:\d+,N,8,1|\d+\.\d+\.\d+\.\d+:\d+)\n)");
    std::smatch match;
    const double end = NowMs() + 10000;
    while (NowMs() < end) {
        const std::string out = child->out();
        if (std::regex_search(out, match, wanted)) return match[2];
        child->WaitForOut("\x01(pumps output)", 100);
    }
    return "";
}

inline int PortOf(const std::string& address) {
    return std::atoi(address.substr(address.rfind(':') + 1).c_str());
}

// A TCP client of 127.0.0.1:port; -1 when nothing listens.
inline int ConnectLoopback(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in addr = Ipv4Addr("127.0.0.1", port);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// What bash completion offers for words, the command line so far (its
// last word the one being completed).
inline std::string Complete(const std::string& words) {
    Child bash;
    const std::string script = std::string("source ") + KQTEST_KQSER_COMPLETION + "; COMP_WORDS=(" +
                               words + "); COMP_CWORD=$((${#COMP_WORDS[@]}-1));" +
                               " _kqser; echo \"${COMPREPLY[*]}\"";
    if (!bash.Start({"bash", "-c", script}, {})) return std::string("(no bash)");
    return bash.Wait(10000).out;
}

}  // namespace field
}  // namespace kqtest

#endif
