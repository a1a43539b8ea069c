// SPDX-License-Identifier: MIT
// Exported entry points and, in the silent build, the log-config file.
#include "kqSer.h"

#include <string>
#include <vector>

#include "KqLog_p.h"
#include "LogRoute_p.h"
#include "SerManager_p.h"
#include "Settings_p.h"

#if !KQSER_CONSOLE_LOG

#include <functional>
#include <string>

#include "AtomicFile_p.h"
#include "RegularFile_p.h"
#include "SysFile_p.h"

// Compile the parser in (header only, narrow characters).
#define SI_NO_CONVERSION
#define SI_IMPLEMENTATION
#include <SimpleIni.h>

using LogIni = CSimpleIniTempl<char, SI_GenericNoCase<char>, SI_ConvertA<char>>;
KQ_API const char* filename = "/NandFlash/tmp/kqser.log.ini";
KQ_API LogIni flogIni(false, false, false);

namespace {

// Far above any log config; it bounds what a wrong path can make us read.
constexpr size_t kLogConfigLimit = 16u << 20;

// What this process knows of the file at one path. The file is rewritten only
// when it was read from that path or written there by this library: a file
// that could not be read must not be replaced by an empty one. The parser
// keeps a copy of every text loaded into it, so an unchanged file is not
// loaded again.
struct LogConfigFile {
    std::string path;
    bool mayRewrite = false;
    bool known = false;  // id and hash describe the file as flogIni last took it in
    kq::FileId id;
    size_t hash = 0;
    bool settled = false;  // id alone tells a later change (kq::IsSettled)
};
LogConfigFile g_file;

void Remember(const kq::FileId& id, const std::string& text, const timespec& seen) {
    g_file.mayRewrite = true;
    g_file.known = true;
    g_file.id = id;
    g_file.hash = std::hash<std::string>{}(text);
    g_file.settled = kq::IsSettled(id.mtime, seen);
}

// Whether flogIni holds exactly what text says: the text a save wrote before
// it failed, or the file read again after a read that failed. Loading it
// would add only the parser's copies of its strings, which it never frees.
bool AlreadyHeld(const std::string& text) {
    LogIni parsed(false, false, false);
    std::string held;
    std::string said;
    return parsed.LoadData(text.data(), text.size()) >= 0 && parsed.Save(said, false) >= 0 &&
           flogIni.Save(held, false) >= 0 && held == said;
}

void LoadLogConfig() {
    const char* path = filename;
    if (path == nullptr) {
        g_file = LogConfigFile();
        return;
    }
    if (g_file.path != path) {
        g_file = LogConfigFile();
        g_file.path = path;
    }
    const timespec seen = kq::sys::Now();  // before the look: a later change is later than this
    kq::FileId id;
    int error = 0;
    if (kq::StatRegularFile(path, &id, &error) == kq::FileStatus::Ok && g_file.known &&
        g_file.settled && kq::SameFile(id, g_file.id)) {
        return;
    }
    const kq::FileText file = kq::ReadRegularFile(path, kLogConfigLimit);
    if (file.status != kq::FileStatus::Ok) {
        g_file.mayRewrite = false;
        g_file.known = false;
        return;
    }
    if (g_file.known && kq::SameFile(file.id, g_file.id) &&
        std::hash<std::string>{}(file.data) == g_file.hash) {
        g_file.settled = kq::IsSettled(file.id.mtime, seen);
        return;
    }
    if (AlreadyHeld(file.data)) {
        Remember(file.id, file.data, seen);
        return;
    }
    if (flogIni.LoadData(file.data.data(), file.data.size()) < 0) {
        g_file.mayRewrite = false;
        g_file.known = false;
        return;
    }
    Remember(file.id, file.data, seen);
}

int SaveLogConfig() {
    const char* path = filename;
    if (path == nullptr) {
        return SI_FAIL;
    }
    kq::FileId id;
    int error = 0;
    const kq::FileStatus found = kq::StatRegularFile(path, &id, &error);
    if (found == kq::FileStatus::Directory) {
        return SI_FILE;  // as opening it for writing fails
    }
    if (found != kq::FileStatus::Missing && !(g_file.mayRewrite && g_file.path == path)) {
        return SI_FAIL;
    }
    std::string text;
    const SI_Error rc = flogIni.Save(text, true);
    if (rc < 0) {
        return rc;
    }
    const timespec seen = kq::sys::Now();
    if (!kq::ReplaceFile(path, text, &id)) {
        return SI_FILE;
    }
    if (g_file.path != path) {
        g_file = LogConfigFile();
        g_file.path = path;
    }
    Remember(id, text, seen);
    return SI_OK;
}

}  // namespace

#endif

namespace {
const char kNote[] = "kqSer.so for ISerBase, support COM, DIO, Net and USB";
}

extern "C" {

int DllType(void) {
    return 0;
}

const char* DllNote(void) {
    return kNote;
}

int DllVersion(void) {
    return 1;
}

ISerManager* GetSerManager(void) {
#if !KQSER_CONSOLE_LOG
    LoadLogConfig();
#endif
    // Field options are read once per manager, before it logs its first line.
    if (!CSerManager::Exists()) {
        bool read = false;
        const std::vector<std::string> problems = kq::ReadActiveConfig(&read);
        // The lines about the file go where the file says lines go.
        kq::ApplyLogOptions(read ? kq::ActiveConfig().Log() : kq::LogOptions());
        for (const std::string& line : problems) {
            KQ_LOG("%s\n", line.c_str());
        }
    }
    return CSerManager::GetInstance();
}

int FreeSerManager(void) {
    CSerManager::FreeInstance();
#if !KQSER_CONSOLE_LOG
    return SaveLogConfig();
#else
    return 0;
#endif
}

}  // extern "C"
