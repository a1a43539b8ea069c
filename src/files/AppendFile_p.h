// SPDX-License-Identifier: MIT
// A file that lines are appended to, by this process and others, without
// ever holding up the caller: the log file and the capture files. Internal.
//
// Each append is one write(2) on a descriptor opened with O_APPEND, so lines
// of several processes never mix inside a line. When a line would take the
// file past its size bound, the file is renamed to PATH.1 (one older
// generation kept) and a new one begun, so the flash sees a bounded amount of
// writing. A line that cannot be written (no folder, a full disk, the file
// size limit of the process) is dropped and counted, and the count is handed
// to the next line, which carries it.
//
// Processes that share the file order their appends by a lock on its folder
// (flock): appends hold it shared, a rotation exclusive. Under it, every
// append first makes sure its descriptor still is the file at the path, so
// a line goes into the current file or is dropped, never into a generation
// that a rotation elsewhere has deleted. No one waits long for the lock: a
// line that cannot have it within about 20 ms is dropped. A file that cannot
// be opened is tried again once a second.
//
// The file is opened without following a link at its path and must be a
// regular file; in a folder that anyone may write to and whose sticky bit
// is set (/tmp), it must belong to this process's user, the folder's owner
// or root (see PathRefusal).
#ifndef KQSER_APPENDFILE_P_H
#define KQSER_APPENDFILE_P_H

#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

#include <functional>
#include <mutex>
#include <string>

namespace kq {

// Whether a file of size bytes is renamed away before add more bytes are
// appended to it, under a bound of maxBytes. A line longer than the bound
// still goes into an empty file.
bool RotateBefore(long long size, size_t add, long long maxBytes);

// The name the older generation of a file gets.
std::string OlderGeneration(const std::string& path);

// Whether a file of uid in a folder described by folder may be appended
// to by a process of euid: anywhere but in a world-writable sticky folder,
// and there when it belongs to euid, root or the folder's owner.
bool OwnerTrusted(const struct stat& folder, uid_t fileOwner, uid_t euid);

// Why the path may not be used for appending ("" when it may): a link at
// the path, something other than a regular file there, a file or a link on
// the way that another user planted in a world-writable sticky folder.
std::string PathRefusal(const std::string& path);

class AppendFile {
public:
    // header: the first line of every new file, its "\n" included ("": none),
    // written with the file's first line.
    AppendFile(std::string path, long long maxBytes, std::string header);
    ~AppendFile();
    AppendFile(const AppendFile&) = delete;
    AppendFile& operator=(const AppendFile&) = delete;

    // Appends the text that make gives, in one write. make receives the count
    // of lines dropped since the last that got through, to say so in its text.
    // now: the wall clock's seconds, which pace the looks at the path. False
    // when the text was dropped (and counted).
    bool Append(const std::function<std::string(unsigned long long dropped)>& make, time_t now);

    const std::string& path() const { return path_; }
    long long maxBytes() const { return maxBytes_; }

private:
    void Look(time_t now);
    void OpenPath(time_t now);
    void CloseFile();
    // Takes the folder's lock (LOCK_SH or LOCK_EX) within the wait it allows.
    bool Hold(int operation);
    void Release();
    // Under the lock: the descriptor is the file at the path, opened again
    // if it is not. False when there is no file to write.
    bool Follow(time_t now);
    bool Rotate(time_t now);
    bool WriteText(const std::string& text);

    const std::string path_;
    const long long maxBytes_;
    const std::string header_;

    std::mutex lock_;
    int fd_ = -1;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    int folderFd_ = -1;  // the folder, for its lock; -1: appends go unlocked
    dev_t folderDev_ = 0;
    ino_t folderIno_ = 0;
    long long sizeLimit_ = -1;  // RLIMIT_FSIZE, -1 for none
    bool looked_ = false;
    time_t lookedAt_ = 0;
    bool openFailed_ = false;
    time_t openFailedAt_ = 0;
    unsigned long long dropped_ = 0;
};

}  // namespace kq

#endif
