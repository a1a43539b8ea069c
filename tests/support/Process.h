// What a test measures of its own process: the clock, open descriptors,
// memory figures.
#ifndef KQTEST_PROCESS_H
#define KQTEST_PROCESS_H

#include <functional>

namespace kqtest {

// Milliseconds on the monotonic clock.
double NowMs();

// Descriptors this process holds open (entries of /proc/self/fd), or -1.
int OpenFdCount();

// A memory figure of /proc/self/status in KiB ("VmRSS", "RssAnon"), or -1.
long StatusKb(const char* field);

// Heap bytes in use: the sanitizers keep their own count, else the C
// library's allocator.
long long HeapInUse();

// Polls a condition that no descriptor can signal, for at most limitMs.
bool WaitUntil(const std::function<bool()>& done, int limitMs);

}  // namespace kqtest

#endif
