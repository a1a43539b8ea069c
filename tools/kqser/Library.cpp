// SPDX-License-Identifier: MIT
#include "Library.h"

#include <dlfcn.h>
#include <limits.h>
#include <link.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace kqtool {

namespace {

std::string ExecutableDir() {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return "";
    path[n] = '\0';
    std::string dir(path);
    const size_t slash = dir.rfind('/');
    return slash == std::string::npos ? "" : dir.substr(0, slash);
}

bool Exists(const std::string& path) {
    return access(path.c_str(), R_OK) == 0;
}

template <typename Fn>
bool Resolve(void* handle, const char* name, Fn* fn, const std::string& path, std::string* error) {
    dlerror();
    *fn = reinterpret_cast<Fn>(dlsym(handle, name));
    if (*fn == nullptr) {
        *error = "library " + path + " lacks the entry point " + name;
        return false;
    }
    return true;
}

}  // namespace

std::string DefaultLibraryPath() {
    const std::string dir = ExecutableDir();
    if (!dir.empty()) {
        std::vector<std::string> relatives = {"/../silent/kqSer.so"};
#ifdef KQSER_INSTALL_RELLIBDIR
        // PREFIX/bin/kqser finds PREFIX/LIBDIR/kqSer.so, LIBDIR relative.
        if (KQSER_INSTALL_RELLIBDIR[0] != '/') {
            relatives.push_back(std::string("/../") + KQSER_INSTALL_RELLIBDIR + "/kqSer.so");
        }
#endif
        relatives.push_back("/../lib/kqSer.so");
        for (const std::string& relative : relatives) {
            const std::string candidate = dir + relative;
            if (Exists(candidate)) {
                char resolved[PATH_MAX];
                return realpath(candidate.c_str(), resolved) != nullptr ? resolved : candidate;
            }
        }
    }
#ifdef KQSER_INSTALL_LIBDIR
    const std::string installed = std::string(KQSER_INSTALL_LIBDIR) + "/kqSer.so";
    if (Exists(installed)) return installed;
#endif
    return "kqSer.so";
}

bool LoadKqLibrary(const std::string& path, KqLibrary* lib, std::string* error) {
    KqLibrary loaded;
    loaded.path = path;
    dlerror();
    loaded.handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (loaded.handle == nullptr) {
        const char* why = dlerror();
        *error = "cannot load library " + path + ": " + (why != nullptr ? why : "unknown error");
        return false;
    }
    if (!Resolve(loaded.handle, "DllType", &loaded.dllType, path, error) ||
        !Resolve(loaded.handle, "DllNote", &loaded.dllNote, path, error) ||
        !Resolve(loaded.handle, "DllVersion", &loaded.dllVersion, path, error) ||
        !Resolve(loaded.handle, "GetSerManager", &loaded.getSerManager, path, error) ||
        !Resolve(loaded.handle, "FreeSerManager", &loaded.freeSerManager, path, error)) {
        dlclose(loaded.handle);
        return false;
    }
    // Looked up in the library's own scope, so this tool's trace_log does not count.
    dlerror();
    loaded.silent = dlsym(loaded.handle, "trace_log") != nullptr;
    // The file dlopen found: a bare name is searched for.
    link_map* map = nullptr;
    if (dlinfo(loaded.handle, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr &&
        map->l_name != nullptr && map->l_name[0] != '\0') {
        loaded.path = map->l_name;
    }
    loaded.logConfigPath = static_cast<const char**>(dlsym(loaded.handle, "filename"));
    *lib = loaded;
    return true;
}

}  // namespace kqtool
