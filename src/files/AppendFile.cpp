// SPDX-License-Identifier: MIT
#include "AppendFile_p.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <utility>

#include "SysFile_p.h"

namespace kq {

namespace {

// At most 20 ms in all, and only while another process holds the lock (a
// rotation takes microseconds; a process stopped half way must not stop us).
constexpr int kLockWaits = 100;
constexpr long kLockWaitNs = 200L * 1000;

std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

bool Sticky(const struct stat& folder) {
    return (folder.st_mode & S_ISVTX) != 0 && (folder.st_mode & S_IWOTH) != 0;
}

// Whether the file open at fd may be written: a regular file, owned as the
// folder asks.
bool TrustedFile(int fd, const std::string& folder) {
    struct stat st {};
    struct stat dir {};
    return sys::Fstat(fd, &st).Ok() && S_ISREG(st.st_mode) &&
           sys::Stat(folder.c_str(), &dir).Ok() &&
           OwnerTrusted(dir, st.st_uid, sys::EffectiveUser());
}

}  // namespace

bool RotateBefore(long long size, size_t add, long long maxBytes) {
    return size > 0 && size + static_cast<long long>(add) > maxBytes;
}

std::string OlderGeneration(const std::string& path) {
    return path + ".1";
}

bool OwnerTrusted(const struct stat& folder, uid_t fileOwner, uid_t euid) {
    return !Sticky(folder) || fileOwner == euid || fileOwner == 0 || fileOwner == folder.st_uid;
}

std::string PathRefusal(const std::string& path) {
    const uid_t euid = sys::EffectiveUser();
    // Each name on the way, in the folder before it: the rule the kernel's
    // protected_symlinks applies to links, applied to the file too.
    for (size_t at = path.find('/', 1);; at = path.find('/', at + 1)) {
        const std::string part = at == std::string::npos ? path : path.substr(0, at);
        struct stat st {};
        struct stat dir {};
        if (!sys::Lstat(part.c_str(), &st).Ok()) {
            return "";  // the rest is still to be made, by this process
        }
        const bool last = at == std::string::npos;
        if (last && S_ISLNK(st.st_mode)) {
            return "is a symbolic link";
        }
        if (last && !S_ISREG(st.st_mode)) {
            return "is not a regular file";
        }
        if ((last || S_ISLNK(st.st_mode)) && sys::Stat(FolderOf(part).c_str(), &dir).Ok() &&
            !OwnerTrusted(dir, st.st_uid, euid)) {
            return (S_ISLNK(st.st_mode) ? "passes a link of user " : "is a file of user ") +
                   std::to_string(st.st_uid) + " in a folder anyone may write to";
        }
        if (last) {
            return "";
        }
    }
}

AppendFile::AppendFile(std::string path, long long maxBytes, std::string header)
    : path_(std::move(path)), maxBytes_(maxBytes), header_(std::move(header)) {}

AppendFile::~AppendFile() {
    CloseFile();
    if (folderFd_ >= 0) {
        (void)sys::Close(folderFd_);
    }
}

void AppendFile::CloseFile() {
    if (fd_ >= 0) {
        (void)sys::Close(fd_);
        fd_ = -1;
    }
}

// O_NONBLOCK: a FIFO put at the path must not stop the caller; only a
// regular file is kept. O_NOFOLLOW: a link put at the path is not followed.
void AppendFile::OpenPath(time_t now) {
    CloseFile();
    if (openFailed_ && now == openFailedAt_) {
        return;
    }
    const sys::Result fd = sys::Open(
        path_.c_str(),
        O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW, 0644);
    openFailed_ = !fd.Ok();
    openFailedAt_ = now;
    if (openFailed_) {
        return;
    }
    fd_ = static_cast<int>(fd.value);
    struct stat st {};
    if (!TrustedFile(fd_, FolderOf(path_)) || !sys::Fstat(fd_, &st).Ok()) {
        CloseFile();
        openFailed_ = true;
        return;
    }
    dev_ = st.st_dev;
    ino_ = st.st_ino;
}

// Once a second: the process's file size limit, and the folder (one that
// was removed and made again is a new folder, with a lock of its own).
void AppendFile::Look(time_t now) {
    if (looked_ && now == lookedAt_) {
        return;
    }
    looked_ = true;
    lookedAt_ = now;
    sizeLimit_ = sys::FileSizeLimit();
    const std::string folder = FolderOf(path_);
    struct stat st {};
    const bool same = folderFd_ >= 0 && sys::Stat(folder.c_str(), &st).Ok() &&
                      st.st_dev == folderDev_ && st.st_ino == folderIno_;
    if (same) {
        return;
    }
    if (folderFd_ >= 0) {
        (void)sys::Close(folderFd_);
        folderFd_ = -1;
    }
    const sys::Result fd = sys::Open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd.Ok()) {
        folderFd_ = static_cast<int>(fd.value);
        if (sys::Fstat(folderFd_, &st).Ok()) {
            folderDev_ = st.st_dev;
            folderIno_ = st.st_ino;
        }
    }
}

bool AppendFile::Hold(int operation) {
    if (folderFd_ < 0) {
        return true;
    }
    for (int tries = 0; !sys::Flock(folderFd_, operation | LOCK_NB).Ok(); ++tries) {
        if (tries >= kLockWaits) {
            return false;
        }
        sys::SleepNs(kLockWaitNs, sys::OnSignal::kReport);
    }
    return true;
}

void AppendFile::Release() {
    if (folderFd_ >= 0) {
        (void)sys::Flock(folderFd_, LOCK_UN);
    }
}

bool AppendFile::Follow(time_t now) {
    struct stat st {};
    if (fd_ < 0 || !sys::Stat(path_.c_str(), &st).Ok() || st.st_dev != dev_ || st.st_ino != ino_) {
        OpenPath(now);
    }
    return fd_ >= 0;
}

// Under the exclusive lock: no other process appends meanwhile, so the old
// PATH.1 that the rename deletes takes no more lines.
bool AppendFile::Rotate(time_t now) {
    if (!sys::Rename(path_.c_str(), OlderGeneration(path_).c_str()).Ok()) {
        return false;
    }
    OpenPath(now);
    return fd_ >= 0;
}

bool AppendFile::WriteText(const std::string& text) {
    // The limit was looked at up to a second ago, and a host may write the
    // file too: the write that would still pass it fails instead of raising
    // SIGXFSZ.
    const sys::Result n = sys::WriteNoSizeSignal(fd_, text.data(), text.size());
    if (n.Ok() && static_cast<size_t>(n.value) == text.size()) {
        return true;
    }
    if (n.value > 0) {
        // End the piece, so the next line starts a line.
        (void)sys::WriteNoSizeSignal(fd_, "\n", 1);
    }
    return false;
}

bool AppendFile::Append(const std::function<std::string(unsigned long long dropped)>& make,
                        time_t now) {
    std::lock_guard<std::mutex> hold(lock_);
    Look(now);
    const std::string line = make(dropped_);
    // Under a file size limit the size is checked and the line appended with
    // no other process appending in between: exclusively.
    int mode = sizeLimit_ >= 0 ? LOCK_EX : LOCK_SH;
    bool written = false;
    if (Hold(mode)) {
        struct stat st {};
        bool room = Follow(now) && sys::Fstat(fd_, &st).Ok();
        if (room && RotateBefore(st.st_size, line.size(), maxBytes_)) {
            // Two that find the file full at once rotate it once: the second
            // finds the new file at the path.
            if (mode != LOCK_EX) {
                Release();
                mode = LOCK_EX;
                room = Hold(mode);
            }
            room = room && Follow(now) && sys::Fstat(fd_, &st).Ok();
            if (room && RotateBefore(st.st_size, line.size(), maxBytes_)) {
                room = Rotate(now) && sys::Fstat(fd_, &st).Ok();
            }
        }
        if (room) {
            // An empty file gets its header in the write of its first line:
            // a header that failed alone would leave lines under no header.
            const std::string text = st.st_size == 0 ? header_ + line : line;
            // Past the process's file size limit a write raises SIGXFSZ:
            // such a line is not written.
            if (sizeLimit_ < 0 || st.st_size + static_cast<long long>(text.size()) <= sizeLimit_) {
                written = WriteText(text);
            }
        }
        Release();
    }
    if (written) {
        dropped_ = 0;
    } else {
        ++dropped_;
    }
    return written;
}

}  // namespace kq
