#include "FormatLog.h"

#include <cstring>

namespace {

constexpr int kRoom = 512;
const char* g_formats[kRoom];
int g_count = 0;

}  // namespace

extern "C" __attribute__((visibility("default"))) int trace_log(const char* /*section*/,
                                                                const char* format, ...) {
    g_formats[g_count % kRoom] = format;
    ++g_count;
    return 1;
}

namespace kqtest {

void ClearFormats() {
    g_count = 0;
}

bool Logged(const char* format) {
    const int n = g_count < kRoom ? g_count : kRoom;
    for (int i = 0; i < n; ++i) {
        if (g_formats[i] != nullptr && std::strcmp(g_formats[i], format) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace kqtest
