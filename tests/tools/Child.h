// SPDX-License-Identifier: MIT
// The built kqser as a subprocess: its output, its exit status, a bound on
// how long it may run.
#ifndef KQTEST_CHILD_H
#define KQTEST_CHILD_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace kqtest {

struct ChildResult {
    int exitCode = -1;  // -1 when it did not exit normally
    int signal = 0;     // the signal that ended it
    bool timedOut = false;
    std::string out;
    std::string err;
};

class Child {
public:
    struct Options {
        std::vector<std::string> env;  // NAME=value added to the environment
        bool stdinPipe = false;        // else /dev/null
        int terminal = -1;  // a pty slave: stdin, stdout and stderr, as a session's terminal
    };

    Child() = default;
    ~Child();  // kills a child that is still running (SIGKILL, by its pid)
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool Start(const std::vector<std::string>& argv, const Options& options);
    // Collects output until stdout holds needle; false after timeoutMs.
    bool WaitForOut(const std::string& needle, int timeoutMs);
    // The same for stderr.
    bool WaitForErr(const std::string& needle, int timeoutMs);
    void WriteStdin(const std::string& bytes);
    void CloseStdin();
    void Signal(int signo);
    // Collects the rest of the output and the exit status; kills the child
    // after timeoutMs.
    ChildResult Wait(int timeoutMs);
    const std::string& out() const { return out_; }
    const std::string& err() const { return err_; }
    pid_t pid() const { return pid_; }

private:
    void Pump(int timeoutMs);
    bool WaitFor(bool onErr, const std::string& needle, int timeoutMs);
    pid_t pid_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    int inFd_ = -1;
    std::string out_;
    std::string err_;
};

// The command line that starts the built kqser with args (through the
// emulator in a cross build). LD_PRELOAD in *env is handed to the emulated
// program instead of the emulator.
std::vector<std::string> KqserCommand(const std::vector<std::string>& args,
                                      std::vector<std::string>* env);

// Runs the tool to the end with the given arguments.
ChildResult RunKqser(const std::vector<std::string>& args, int timeoutMs = 30000,
                     const std::vector<std::string>& env = {});

}  // namespace kqtest

#endif
