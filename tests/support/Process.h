// SPDX-License-Identifier: MIT
// What a test measures of its own process: the clock, open descriptors,
// memory figures.
#ifndef KQTEST_PROCESS_H
#define KQTEST_PROCESS_H

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

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

// The whole content of a file, byte for byte ("" when it cannot be read).
std::string ReadFile(const std::string& path);

// The lines of a text, without their line ends.
std::vector<std::string> LinesOf(const std::string& text);

// Polls a condition that no descriptor can signal, for at most limitMs.
bool WaitUntil(const std::function<bool()>& done, int limitMs);

// A folder of its own under /tmp, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    bool ok() const { return !path_.empty(); }
    const std::string& path() const { return path_; }
    // The path of name inside the folder.
    std::string File(const std::string& name) const { return path_ + "/" + name; }
    // Writes a file, makes folders, a symbolic link, or removes a tree, at a
    // path relative to the folder (the folders on the way are made).
    bool WriteFile(const std::string& relative, const std::string& text) const;
    bool MakeDirs(const std::string& relative) const;
    bool Link(const std::string& relative, const std::string& target) const;
    bool Remove(const std::string& relative) const;

private:
    std::string path_;
};

// Runs fn with every free descriptor taken (the limit held at 256 meanwhile),
// so that nothing fn does can open a file or a socket.
void WithoutFreeDescriptors(const std::function<void()>& fn);

// A temporary regular file on a free single-digit descriptor, so that
// /dev/fd/D names it and a serial definition string "fd/D:..." opens it.
class DigitFile {
public:
    DigitFile();
    ~DigitFile();
    DigitFile(const DigitFile&) = delete;
    DigitFile& operator=(const DigitFile&) = delete;

    // -1 when no single-digit descriptor is free or there is no /dev/fd.
    int digit() const { return digit_; }

private:
    FILE* file_ = nullptr;
    int digit_ = -1;
};

}  // namespace kqtest

#endif
