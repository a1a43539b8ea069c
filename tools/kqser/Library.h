// SPDX-License-Identifier: MIT
// kqSer.so as a host loads it: dlopen, then the five entry points by name.
// The one loader of the tool, the tests that act as hosts and the benchmark.
#ifndef KQSER_TOOL_LIBRARY_H
#define KQSER_TOOL_LIBRARY_H

#include <string>

#include "kqSer.h"

namespace kqtool {

struct KqLibrary {
    void* handle = nullptr;
    std::string path;
    KqDllTypeFn dllType = nullptr;
    KqDllNoteFn dllNote = nullptr;
    KqDllVersionFn dllVersion = nullptr;
    KqGetSerManagerFn getSerManager = nullptr;
    KqFreeSerManagerFn freeSerManager = nullptr;
    bool silent = false;  // exports trace_log
    // The silent build's exported log-config path, which a host may point
    // elsewhere before GetSerManager; null in the console build.
    const char** logConfigPath = nullptr;
};

// The library this tool was built with (the silent build beside it in the
// build tree), else the installed one, else the bare name for dlopen's search.
std::string DefaultLibraryPath();

// False with one line in *error when the file cannot be loaded or lacks an
// entry point. The library stays loaded for the life of the process.
bool LoadKqLibrary(const std::string& path, KqLibrary* lib, std::string* error);

}  // namespace kqtool

#endif
