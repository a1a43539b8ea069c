// SPDX-License-Identifier: MIT
// Reading a whole file that a host or a user may have put anything at: a
// regular file is read up to a size limit; a directory, FIFO, socket or
// device is named as such and never opened, so nothing blocks or rewinds.
// Internal.
#ifndef KQSER_REGULARFILE_P_H
#define KQSER_REGULARFILE_P_H

#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

#include <cstddef>
#include <string>

namespace kq {

// What was found at a path.
enum class FileStatus {
    Ok,          // a regular file, read whole
    Missing,     // nothing there (ENOENT)
    Directory,   // a folder
    Special,     // a FIFO, socket or device
    TooLarge,    // a regular file longer than the limit
    OpenFailed,  // stat or open failed (error says why: EACCES, ENOTDIR, ELOOP, ...)
    ReadFailed,  // a read failed (error says why), or memory ran out (ENOMEM)
};

// Which file, and which state of it: two equal identities are the same file,
// unchanged, as far as its times can tell (see IsSettled).
struct FileId {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    timespec mtime{};
};

FileId IdOf(const struct stat& st);
bool SameFile(const FileId& a, const FileId& b);

// Whether a file modified at mtime, seen at now, would show a later change in
// its modification time. A change within the same tick of the file system's
// clock (up to 2 s on FAT) keeps the time unchanged; only a file last changed
// longer ago than that can be trusted on its identity alone.
bool IsSettled(const timespec& mtime, const timespec& now);

// What is at path, without opening it; id is filled for a regular file and
// error for OpenFailed. Symbolic links are followed.
FileStatus StatRegularFile(const char* path, FileId* id, int* error);

struct FileText {
    FileStatus status = FileStatus::Missing;
    int error = 0;  // errno of the failed call, for OpenFailed and ReadFailed
    FileId id;      // of the open file, for Ok
    std::string data;
};

// Reads the regular file at path whole, at most limit bytes; data is empty
// unless status is Ok. Opens without blocking (a FIFO put there between the
// look and the open cannot stop the caller) and without making a terminal the
// controlling one.
FileText ReadRegularFile(const char* path, size_t limit);

}  // namespace kq

#endif
