// SPDX-License-Identifier: MIT
#include "AtomicFile_p.h"

#include <fcntl.h>

#include <cerrno>
#include <climits>
#include <vector>

#include "SysFile_p.h"

namespace kq {

namespace {

// The kernel's own limit on symbolic links followed in one path.
constexpr int kMaxLinks = 40;
const char kTempMark[] = ".kqtmp";

enum class Outcome { Done, Failed, InPlace };

std::string DirOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Join(const std::string& dir, const std::string& name) {
    return dir == "/" ? "/" + name : dir + "/" + name;
}

// Follows symbolic links from path to the name they end at, which need not
// exist yet (a link to a file still to be made). st describes it when exists.
bool Resolve(const std::string& path, std::string* target, struct stat* st, bool* exists) {
    std::string p = path;
    for (int hops = 0; hops <= kMaxLinks; ++hops) {
        const sys::Result r = sys::Lstat(p.c_str(), st);
        if (!r.Ok()) {
            *exists = false;
            *target = p;
            return r.error == ENOENT;
        }
        if (!S_ISLNK(st->st_mode)) {
            *exists = true;
            *target = p;
            return true;
        }
        std::string text;
        if (!sys::Readlink(p.c_str(), &text).Ok()) {
            return false;
        }
        p = LinkTarget(p, text);
    }
    return false;  // a loop of links
}

// Each save removes what earlier saves that were killed half way left: at
// most one temporary file per running process can then exist.
void RemoveStaleTemps(const std::string& dir, const std::string& base) {
    std::vector<std::string> names;
    if (!sys::ListDir(dir.c_str(), &names).Ok()) {
        return;  // the save does not need the listing; the files stay for a later one
    }
    const pid_t self = sys::ProcessId();
    for (const std::string& name : names) {
        const pid_t owner = TempOwner(name, base);
        if (owner > 0 && (owner == self || !sys::ProcessExists(owner))) {
            (void)sys::Unlink(Join(dir, name).c_str());  // a concurrent save may be first
        }
    }
}

// From the start of the file. A text longer than the process's file size
// limit is not begun; the write that would pass it fails instead of raising
// SIGXFSZ.
bool WriteAll(int fd, const std::string& data) {
    const long long limit = sys::FileSizeLimit();
    if (limit >= 0 && static_cast<long long>(data.size()) > limit) {
        return false;
    }
    size_t done = 0;
    while (done < data.size()) {
        const sys::Result n = sys::WriteNoSizeSignal(fd, data.data() + done, data.size() - done);
        if (n.value <= 0) {
            return false;
        }
        done += static_cast<size_t>(n.value);
    }
    return true;
}

// Writes, flushes and closes fd; the file's identity goes to id.
bool Finish(int fd, const std::string& data, FileId* id) {
    struct stat st;
    const bool ok = WriteAll(fd, data) && sys::Fsync(fd).Ok() && sys::Fstat(fd, &st).Ok();
    const bool closed = sys::Close(fd).Ok();
    if (ok && closed) {
        *id = IdOf(st);
    }
    return ok && closed;
}

// Makes the rename itself durable. File systems that cannot flush a folder
// (EINVAL) make renames durable without it.
bool SyncDir(const std::string& dir) {
    const sys::Result fd = sys::Open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (!fd.Ok()) {
        return false;
    }
    const sys::Result synced = sys::Fsync(static_cast<int>(fd.value));
    const bool closed = sys::Close(static_cast<int>(fd.value)).Ok();
    return (synced.Ok() || synced.error == EINVAL) && closed;
}

// old: the file being replaced, null for a new one.
Outcome SaveByRename(const std::string& target, const struct stat* old, const std::string& data,
                     FileId* id) {
    const std::string dir = DirOf(target);
    const std::string temp = Join(dir, TempName(BaseOf(target), sys::ProcessId()));
    // A replacement starts private and takes the old file's mode once written
    // over to its owner; a new file gets the default mode.
    const sys::Result fd =
        sys::Open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                  old != nullptr ? 0600 : 0666);
    if (!fd.Ok()) {
        return old != nullptr ? Outcome::InPlace : Outcome::Failed;
    }
    const int d = static_cast<int>(fd.value);
    // Owner first: changing it clears the set-id bits, which the mode restores.
    if (old != nullptr && (!sys::Fchown(d, old->st_uid, old->st_gid).Ok() ||
                           !sys::Fchmod(d, old->st_mode & 07777).Ok())) {
        (void)sys::Close(d);
        (void)sys::Unlink(temp.c_str());
        return Outcome::InPlace;
    }
    FileId written;
    // A file that was missing at the look and is there now was made by
    // someone else meanwhile: it is not replaced.
    const auto place = old != nullptr ? sys::Rename : sys::RenameNoReplace;
    if (!Finish(d, data, &written) || !place(temp.c_str(), target.c_str()).Ok()) {
        (void)sys::Unlink(temp.c_str());
        return Outcome::Failed;
    }
    *id = written;
    return SyncDir(dir) ? Outcome::Done : Outcome::Failed;
}

// Writing over the file is the only way left that keeps what the path is: a
// rename would cut the file's other links or give it this process's owner,
// or the folder cannot take a temporary file. A power cut meanwhile leaves it
// half written.
bool SaveInPlace(const std::string& target, const std::string& data, FileId* id) {
    const sys::Result fd =
        sys::Open(target.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC);
    if (!fd.Ok()) {
        return false;
    }
    const int d = static_cast<int>(fd.value);
    struct stat st;
    if (!sys::Fstat(d, &st).Ok() || !S_ISREG(st.st_mode)) {  // swapped since the look
        (void)sys::Close(d);
        return false;
    }
    // Over the old bytes first, then cut the rest: on a full device only the
    // growth can fail, and the file is never empty in between. A shorter text
    // goes in with line ends over the rest of the old one, so that a cut that
    // fails leaves the text and blank lines, never the old text's tail.
    const size_t old = static_cast<size_t>(st.st_size);
    const std::string padded =
        old > data.size() ? data + std::string(old - data.size(), '\n') : data;
    if (!WriteAll(d, padded) || !sys::Ftruncate(d, static_cast<off_t>(data.size())).Ok()) {
        (void)sys::Close(d);
        return false;
    }
    return Finish(d, std::string(), id);
}

}  // namespace

std::string TempName(const std::string& base, pid_t pid) {
    return base + kTempMark + std::to_string(pid);
}

pid_t TempOwner(const std::string& name, const std::string& base) {
    const std::string prefix = base + kTempMark;
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
        name[prefix.size()] == '0') {
        return -1;
    }
    long pid = 0;
    for (size_t i = prefix.size(); i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9' || pid > (INT_MAX - (name[i] - '0')) / 10) {
            return -1;
        }
        pid = pid * 10 + (name[i] - '0');
    }
    return static_cast<pid_t>(pid);
}

std::string LinkTarget(const std::string& link, const std::string& text) {
    if (text.empty() || text[0] == '/' || link.find('/') == std::string::npos) {
        return text;
    }
    return Join(DirOf(link), text);
}

bool ReplaceFile(const char* path, const std::string& data, FileId* written) {
    if (path == nullptr || path[0] == '\0') {
        return false;
    }
    std::string target;
    struct stat st;
    bool exists = false;
    if (!Resolve(path, &target, &st, &exists)) {
        return false;
    }
    // A folder fails as opening it for writing would; a FIFO, socket or device
    // is refused too, not written: it would take the text as input (a serial
    // line, a disk) or block on a reader.
    if ((exists && !S_ISREG(st.st_mode)) || BaseOf(target).empty()) {
        return false;
    }
    RemoveStaleTemps(DirOf(target), BaseOf(target));
    FileId id;
    Outcome outcome = Outcome::InPlace;
    if (!exists || st.st_nlink == 1) {
        outcome = SaveByRename(target, exists ? &st : nullptr, data, &id);
    }
    if (outcome == Outcome::InPlace) {
        outcome = SaveInPlace(target, data, &id) ? Outcome::Done : Outcome::Failed;
    }
    if (outcome == Outcome::Done && written != nullptr) {
        *written = id;
    }
    return outcome == Outcome::Done;
}

}  // namespace kq
