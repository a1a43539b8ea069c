// SPDX-License-Identifier: MIT
#include "AppendFile_p.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <utility>

#include "SysFile_p.h"

namespace kq {

namespace {

// At most 20 ms in all, and only while another process holds the rotation.
constexpr int kRotateWaits = 100;
constexpr long kRotateWaitNs = 200L * 1000;

}  // namespace

bool RotateBefore(long long size, size_t add, long long maxBytes) {
    return size > 0 && size + static_cast<long long>(add) > maxBytes;
}

std::string OlderGeneration(const std::string& path) {
    return path + ".1";
}

AppendFile::AppendFile(std::string path, long long maxBytes, std::string header)
    : path_(std::move(path)), maxBytes_(maxBytes), header_(std::move(header)) {}

AppendFile::~AppendFile() {
    CloseFile();
}

void AppendFile::CloseFile() {
    if (fd_ >= 0) {
        (void)sys::Close(fd_);
        fd_ = -1;
    }
}

// O_NONBLOCK: a FIFO put at the path must not stop the caller; only a
// regular file is kept.
void AppendFile::OpenPath() {
    CloseFile();
    const sys::Result fd = sys::Open(
        path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
    if (!fd.Ok()) {
        return;
    }
    fd_ = static_cast<int>(fd.value);
    struct stat st {};
    if (!sys::Fstat(fd_, &st).Ok() || !S_ISREG(st.st_mode)) {
        CloseFile();
        return;
    }
    dev_ = st.st_dev;
    ino_ = st.st_ino;
}

void AppendFile::Look(time_t now) {
    if (looked_ && now == lookedAt_) {
        return;
    }
    looked_ = true;
    lookedAt_ = now;
    sizeLimit_ = sys::FileSizeLimit();
    struct stat st {};
    if (fd_ < 0 || !sys::Stat(path_.c_str(), &st).Ok() || st.st_dev != dev_ || st.st_ino != ino_) {
        OpenPath();
    }
}

// Under a lock no other process waits for: two that find the file full at
// once rotate it once, and the second follows the first to the new file.
// True when the descriptor in hand takes the line.
bool AppendFile::Rotate(long long size) {
    // Another process is rotating the file: its rename and open take
    // microseconds, so a line or two more go into the old file. A rotating
    // process that the scheduler stopped half way would let the old file
    // grow with every line, so past a margin the lock is waited for, briefly.
    const long long margin = maxBytes_ / 8;
    int tries = 0;
    while (!sys::Flock(fd_, LOCK_EX | LOCK_NB).Ok()) {
        if (size <= maxBytes_ + margin || ++tries > kRotateWaits) {
            return true;
        }
        sys::SleepNs(kRotateWaitNs, sys::OnSignal::kReport);
    }
    struct stat st {};
    const bool ours = sys::Stat(path_.c_str(), &st).Ok() && st.st_dev == dev_ && st.st_ino == ino_;
    if (ours && !sys::Rename(path_.c_str(), OlderGeneration(path_).c_str()).Ok()) {
        (void)sys::Flock(fd_, LOCK_UN);
        return false;
    }
    OpenPath();  // closing the old descriptor lets go of the lock
    return fd_ >= 0;
}

bool AppendFile::WriteText(const std::string& text) {
    const sys::Result n = sys::Write(fd_, text.data(), text.size(), sys::OnSignal::kRetry);
    if (n.Ok() && static_cast<size_t>(n.value) == text.size()) {
        return true;
    }
    if (n.value > 0) {
        (void)sys::Write(fd_, "\n", 1,
                         sys::OnSignal::kRetry);  // end the piece, so the next line starts a line
    }
    return false;
}

bool AppendFile::Append(const std::function<std::string(unsigned long long dropped)>& make,
                        time_t now) {
    std::lock_guard<std::mutex> hold(lock_);
    Look(now);
    const std::string line = make(dropped_);
    std::string text;
    bool written = false;
    struct stat st {};
    if (fd_ >= 0 && sys::Fstat(fd_, &st).Ok()) {
        long long size = st.st_size;
        bool room = true;
        if (RotateBefore(size, line.size(), maxBytes_)) {
            room = Rotate(size) && sys::Fstat(fd_, &st).Ok();
            size = st.st_size;
        }
        // An empty file gets its header in the write of its first line: a
        // header that failed alone would leave lines under no header.
        text = size == 0 ? header_ + line : line;
        // Past the process's file size limit a write raises SIGXFSZ, which
        // ends a host that keeps its default: such a line is dropped instead.
        if (room && sizeLimit_ >= 0 && size + static_cast<long long>(text.size()) > sizeLimit_) {
            room = false;
        }
        written = room && WriteText(text);
    }
    if (written) {
        dropped_ = 0;
    } else {
        ++dropped_;
    }
    return written;
}

}  // namespace kq
