// SPDX-License-Identifier: MIT
#include "RegularFile_p.h"

#include <fcntl.h>

#include <cerrno>
#include <new>

#include "SysFile_p.h"

namespace kq {

namespace {

// FAT keeps modification times in steps of 2 s; other file systems in finer ones.
constexpr time_t kCoarsestTickSeconds = 2;
constexpr size_t kChunk = 65536;

FileStatus Classify(const struct stat& st) {
    if (S_ISREG(st.st_mode)) {
        return FileStatus::Ok;
    }
    return S_ISDIR(st.st_mode) ? FileStatus::Directory : FileStatus::Special;
}

// Reads to the end of the file, or to one byte past the limit.
FileStatus ReadAll(int fd, size_t limit, std::string* data, int* error) {
    try {
        for (;;) {
            const size_t have = data->size();
            const size_t want = limit - have < kChunk ? limit - have + 1 : kChunk;
            data->resize(have + want);
            const sys::Result n = sys::Read(fd, &(*data)[have], want, sys::OnSignal::kRetry);
            data->resize(have + (n.Ok() ? static_cast<size_t>(n.value) : 0));
            if (!n.Ok()) {
                *error = n.error;
                return FileStatus::ReadFailed;
            }
            if (n.value == 0) {
                return FileStatus::Ok;
            }
            if (data->size() > limit) {
                return FileStatus::TooLarge;
            }
        }
    } catch (const std::bad_alloc&) {
        *error = ENOMEM;
        return FileStatus::ReadFailed;
    }
}

}  // namespace

FileId IdOf(const struct stat& st) {
    FileId id;
    id.dev = st.st_dev;
    id.ino = st.st_ino;
    id.size = st.st_size;
    id.mtime = st.st_mtim;
    return id;
}

bool SameFile(const FileId& a, const FileId& b) {
    return a.dev == b.dev && a.ino == b.ino && a.size == b.size &&
           a.mtime.tv_sec == b.mtime.tv_sec && a.mtime.tv_nsec == b.mtime.tv_nsec;
}

bool IsSettled(const timespec& mtime, const timespec& now) {
    if (now.tv_sec - mtime.tv_sec != kCoarsestTickSeconds) {
        return now.tv_sec - mtime.tv_sec > kCoarsestTickSeconds;
    }
    return now.tv_nsec > mtime.tv_nsec;
}

FileStatus StatRegularFile(const char* path, FileId* id, int* error) {
    struct stat st;
    const sys::Result r = sys::Stat(path, &st);
    if (!r.Ok()) {
        *error = r.error;
        return r.error == ENOENT ? FileStatus::Missing : FileStatus::OpenFailed;
    }
    *error = 0;
    *id = IdOf(st);
    return Classify(st);
}

FileText ReadRegularFile(const char* path, size_t limit) {
    FileText out;
    // Look first: opening a device can act on it (a serial line raises its
    // modem lines, a tape rewinds).
    out.status = StatRegularFile(path, &out.id, &out.error);
    if (out.status != FileStatus::Ok) {
        return out;
    }
    const sys::Result fd = sys::Open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (!fd.Ok()) {
        out.status = fd.error == ENOENT ? FileStatus::Missing : FileStatus::OpenFailed;
        out.error = fd.error;
        return out;
    }
    const int d = static_cast<int>(fd.value);
    struct stat st;
    const sys::Result got = sys::Fstat(d, &st);
    if (!got.Ok()) {
        out.status = FileStatus::OpenFailed;
        out.error = got.error;
    } else {
        out.id = IdOf(st);
        out.status = Classify(st);  // what was opened, which may have been swapped in
        if (out.status == FileStatus::Ok && static_cast<size_t>(st.st_size) > limit) {
            out.status = FileStatus::TooLarge;
        }
    }
    if (out.status == FileStatus::Ok) {
        out.status = ReadAll(d, limit, &out.data, &out.error);
    }
    // A descriptor opened for reading loses nothing when its close fails.
    (void)sys::Close(d);
    if (out.status != FileStatus::Ok) {
        out.data.clear();
        out.data.shrink_to_fit();
    }
    return out;
}

}  // namespace kq
