// SPDX-License-Identifier: MIT
#include "Process.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizer runtimes define it; GCC ships no header that declares it.
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#else
#include <malloc.h>
#endif

#include <algorithm>
#include <vector>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace kqtest {

double NowMs() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

int OpenFdCount() {
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return -1;
    }
    int count = 0;
    while (const dirent* e = readdir(dir)) {
        if (e->d_name[0] != '.') {
            ++count;
        }
    }
    closedir(dir);
    return count - 1;  // the directory's own descriptor
}

long StatusKb(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string key = std::string(field) + ":";
    while (std::getline(status, line)) {
        if (line.compare(0, key.size(), key) == 0) {
            return std::atol(line.c_str() + key.size());
        }
    }
    return -1;
}

long long HeapInUse() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return static_cast<long long>(__sanitizer_get_current_allocated_bytes());
#else
    const struct mallinfo2 m = mallinfo2();
    return static_cast<long long>(m.uordblks + m.hblkhd);
#endif
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> LinesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

bool WaitUntil(const std::function<bool()>& done, int limitMs) {
    const double end = NowMs() + limitMs;
    while (!done()) {
        if (NowMs() > end) {
            return false;
        }
        ::usleep(1000);
    }
    return true;
}

namespace {

int RemoveEntry(const char* path, const struct stat*, int, FTW*) {
    return std::remove(path);
}

void RemoveTree(const std::string& path) {
    nftw(path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string Parent(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "" : path.substr(0, slash);
}

}  // namespace

TempDir::TempDir() {
    char dir[] = "/tmp/kqtest.XXXXXX";
    if (mkdtemp(dir) != nullptr) {
        path_ = dir;
    }
}

TempDir::~TempDir() {
    if (ok()) {
        nftw(path_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
    }
}

bool TempDir::MakeDirs(const std::string& relative) const {
    std::string at = path_;
    size_t start = 0;
    while (start <= relative.size()) {
        size_t end = relative.find('/', start);
        end = end == std::string::npos ? relative.size() : end;
        if (end > start) {
            at += "/" + relative.substr(start, end - start);
            if (::mkdir(at.c_str(), 0755) != 0 && errno != EEXIST) {
                return false;
            }
        }
        start = end + 1;
    }
    return true;
}

bool TempDir::WriteFile(const std::string& relative, const std::string& text) const {
    if (!MakeDirs(Parent(relative))) {
        return false;
    }
    std::ofstream out(path_ + "/" + relative, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out);
}

bool TempDir::Link(const std::string& relative, const std::string& target) const {
    return MakeDirs(Parent(relative)) &&
           ::symlink(target.c_str(), (path_ + "/" + relative).c_str()) == 0;
}

bool TempDir::Remove(const std::string& relative) const {
    RemoveTree(path_ + "/" + relative);
    return true;
}

void WithoutFreeDescriptors(const std::function<void()>& fn) {
    rlimit lim{};
    getrlimit(RLIMIT_NOFILE, &lim);
    rlimit low = lim;
    low.rlim_cur = std::min<rlim_t>(lim.rlim_cur, 256);
    setrlimit(RLIMIT_NOFILE, &low);
    std::vector<int> fillers;
    for (int fd = open("/dev/null", O_RDONLY); fd >= 0; fd = open("/dev/null", O_RDONLY)) {
        fillers.push_back(fd);
    }
    fn();
    for (int fd : fillers) {
        close(fd);
    }
    setrlimit(RLIMIT_NOFILE, &lim);
}

DigitFile::DigitFile() {
    int digit = 9;
    while (digit > 2 && fcntl(digit, F_GETFD) != -1) {
        --digit;
    }
    file_ = std::tmpfile();
    if (file_ != nullptr && digit > 2 && access("/dev/fd", F_OK) == 0 &&
        dup2(fileno(file_), digit) == digit) {
        digit_ = digit;
    }
}

DigitFile::~DigitFile() {
    if (digit_ >= 0) {
        close(digit_);
    }
    if (file_ != nullptr) {
        std::fclose(file_);
    }
}

}  // namespace kqtest
