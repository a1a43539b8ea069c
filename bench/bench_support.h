// SPDX-License-Identifier: MIT
// What the benchmarks of paced lines share (bench_support.cpp): clocks, a
// pty whose master a thread answers at the line's pace, and the silent
// build loaded with a kqser.conf of the benchmark's own.
#ifndef KQSER_BENCH_BENCH_SUPPORT_H
#define KQSER_BENCH_BENCH_SUPPORT_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "ISerBase.h"
#include "Library.h"

namespace kqbench {

int64_t NowNs();
// CPU time of the calling thread, user and system together.
int64_t ThreadCpuNs();
void SleepUntil(int64_t atNs);
// "kqser_bench WHO: WHAT: errno's text", then exit status 1.
[[noreturn]] void Fail(const char* who, const char* what);

// The silence that ends a frame on a pty (no adapter): 3.5 characters of 10
// bits, 1.75 ms above 19200 bit/s.
int64_t T35Ns(int baud);

// A pty whose master a device thread plays: each request of requestSize
// bytes gets answer's reply, each byte written when its stop bit would be on
// the wire at the baud of SetBaud.
class PacedPty {
public:
    using Answer = std::function<std::vector<unsigned char>(const unsigned char* request)>;
    // realTime: the thread asks for SCHED_FIFO where the system permits it.
    PacedPty(const char* who, int requestSize, Answer answer, bool realTime);
    ~PacedPty();
    PacedPty(const PacedPty&) = delete;
    PacedPty& operator=(const PacedPty&) = delete;

    const std::string& Name() const { return name_; }  // pts/N
    int Slave() const { return slave_; }
    void SetBaud(int baud) { baud_.store(baud); }
    int64_t LastByte() const { return lastByte_.load(); }
    int64_t Lateness() const { return lateness_.load(); }  // of the last reply, its worst byte
    int64_t LastLateness() const { return lastLateness_.load(); }  // and its last byte
    // "SCHED_FIFO", or the policy the thread kept and why.
    std::string Scheduling();

private:
    void Run();

    int master_ = -1;
    int slave_ = -1;
    int requestSize_;
    bool realTime_;
    Answer answer_;
    std::string name_;
    std::atomic<int> baud_{9600};
    std::atomic<int64_t> lastByte_{0};
    std::atomic<int64_t> lateness_{0};
    std::atomic<int64_t> lastLateness_{0};
    std::atomic<int> scheduling_{0};
    std::string schedulingText_;
    std::thread thread_;
};

// One [serial LINE] section of a kqser.conf and its key = value line.
struct SerialSection {
    std::string line;
    std::string setting;
};

// kqSer's silent build, loaded as a host loads it, reading a kqser.conf of
// sections from a folder of its own in /tmp, the log-config file beside it.
// Gone with the object: the manager freed, the files removed.
class ConfiguredLibrary {
public:
    ConfiguredLibrary(const char* who, const std::vector<SerialSection>& sections,
                      int firstPortNumber);
    ~ConfiguredLibrary();
    ConfiguredLibrary(const ConfiguredLibrary&) = delete;
    ConfiguredLibrary& operator=(const ConfiguredLibrary&) = delete;

    // A serial port of its own. Built by number, so that two ptys whose
    // numbers end in the same digit still get ports of their own; Open names
    // the line.
    ISerBase* NewPort();
    // Closes port and opens it again on line at baud, 8N1.
    void Reopen(ISerBase* port, const std::string& line, int baud);

private:
    const char* who_;
    char dir_[20] = "/tmp/kqbench.XXXXXX";
    std::string conf_;
    std::string ini_;
    kqtool::KqLibrary lib_;
    ISerManager* manager_ = nullptr;
    int number_;
};

}  // namespace kqbench

#endif
