// SPDX-License-Identifier: MIT
#include "Capture.h"

#include <unistd.h>

#include <cstdio>
#include <stdexcept>

namespace kqtest {

// Weak so that binaries without the spy link; SinkSpy.cpp defines them.
__attribute__((weak)) bool SpyLinked() {
    return false;
}
__attribute__((weak)) std::vector<SinkCall> TakeSinkCalls() {
    return {};
}

std::string CaptureStdout(const std::function<void()>& fn) {
    std::fflush(stdout);
    FILE* tmp = std::tmpfile();
    if (tmp == nullptr) {
        throw std::runtime_error("tmpfile failed");
    }
    const int saved = dup(STDOUT_FILENO);
    dup2(fileno(tmp), STDOUT_FILENO);
    try {
        fn();
    } catch (...) {
        std::fflush(stdout);
        dup2(saved, STDOUT_FILENO);
        close(saved);
        std::fclose(tmp);
        throw;
    }
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);

    std::string text;
    std::rewind(tmp);
    char chunk[4096];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, tmp)) > 0) {
        text.append(chunk, n);
    }
    std::fclose(tmp);
    return text;
}

Captured Capture(const std::function<void()>& fn) {
    Captured c;
    TakeSinkCalls();
    c.out = CaptureStdout(fn);
    c.calls = TakeSinkCalls();
    if (kConsole) {
        c.log = c.out;
    } else {
        for (const SinkCall& call : c.calls) {
            c.log += call.text;
        }
    }
    return c;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        end = (end == std::string::npos) ? text.size() : end + 1;
        lines.push_back(text.substr(start, end - start));
        start = end;
    }
    return lines;
}

}  // namespace kqtest
