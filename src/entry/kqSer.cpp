// Exported entry points and, in the silent build, the log-config file.
#include "kqSer.h"

#include "KqLog_p.h"
#include "SerManager_p.h"

#if !KQSER_CONSOLE_LOG

#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "AtomicFile_p.h"

// Compile the parser in (header only, narrow characters).
#define SI_NO_CONVERSION
#define SI_IMPLEMENTATION
#include <SimpleIni.h>

KQ_API const char* filename = "/NandFlash/tmp/kqser.log.ini";
KQ_API CSimpleIniTempl<char, SI_GenericNoCase<char>, SI_ConvertA<char>> flogIni(false, false,
                                                                                false);

namespace {

// What the latest load in this process achieved. The file is rewritten only
// from a successful load of the same path: a file that could not be read must
// not be replaced by an empty one.
bool g_loaded = false;
std::string g_loadedPath;

void LoadLogConfig() {
    const char* path = filename;
    g_loaded = false;
    if (path == nullptr) {
        return;
    }
    g_loadedPath = path;
    g_loaded = flogIni.LoadFile(path) >= 0;
}

int SaveLogConfig() {
    const char* path = filename;
    if (path == nullptr) {
        return SI_FAIL;
    }
    struct stat st;
    const bool missing = ::stat(path, &st) != 0 && errno == ENOENT;
    if (!missing && !(g_loaded && g_loadedPath == path)) {
        return SI_FAIL;
    }
    std::string text;
    const SI_Error rc = flogIni.Save(text, true);
    if (rc < 0) {
        return rc;
    }
    return kq::ReplaceFile(path, text) ? SI_OK : SI_FILE;
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
