// SPDX-License-Identifier: MIT
// A pseudo-terminal pair: the library opens the slave as a serial line, the
// test plays the device on the master side.
#ifndef KQTEST_PTY_H
#define KQTEST_PTY_H

#include <string>

#include "Process.h"

namespace kqtest {

class PtyPair {
public:
    PtyPair();  // fails the current test (and leaves fds at -1) when openpty fails
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    int master() const { return master_; }
    int slave() const { return slave_; }
    bool ok() const { return master_ >= 0 && slave_ >= 0; }

    // "pts/N": the device name and port digit of a serial definition string.
    std::string SlaveName() const;
    // "pts/N:<params>", e.g. Def("115200,N,8,1").
    std::string Def(const std::string& params = "9600,N,8,1") const;

    // Writes all bytes to the master side.
    bool WriteMaster(const std::string& bytes);
    // Reads from the master until n bytes came or timeoutMs of silence passed.
    std::string ReadMaster(size_t n, int timeoutMs);
    // Reads whatever arrives within timeoutMs.
    std::string Drain(int timeoutMs);

    void CloseMaster();
    void CloseSlave();

private:
    int master_ = -1;
    int slave_ = -1;
    std::string name_;
};

}  // namespace kqtest

#endif
