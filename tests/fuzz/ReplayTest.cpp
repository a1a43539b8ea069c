// SPDX-License-Identifier: MIT
// Runs a fuzz target over its seed corpus and its kept crash reproducers, so
// the inputs that once found a fault keep being checked in every build.
#include "FuzzCheck.h"

#include <dirent.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

std::vector<std::string> FilesIn(const std::string& dir) {
    std::vector<std::string> files;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name[0] != '.' && name != "README") {
                files.push_back(dir + "/" + name);
            }
        }
        closedir(d);
    }
    std::sort(files.begin(), files.end());
    return files;
}

void RunAll(const std::vector<std::string>& files) {
    for (const std::string& file : files) {
        SCOPED_TRACE(file);
        std::ifstream in(file, std::ios::binary);
        ASSERT_TRUE(in.good());
        const std::string bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
        // A copy of exactly the file's size, so an overread is caught.
        std::vector<uint8_t> data(bytes.begin(), bytes.end());
        LLVMFuzzerTestOneInput(data.empty() ? nullptr : data.data(), data.size());
    }
}

TEST(FuzzReplay, SeedCorpus) {
    const std::vector<std::string> files = FilesIn(KQFUZZ_DIR "/corpus/" KQFUZZ_NAME);
    ASSERT_FALSE(files.empty()) << "no seeds in " << KQFUZZ_DIR "/corpus/" KQFUZZ_NAME;
    RunAll(files);
}

TEST(FuzzReplay, Regressions) {
    RunAll(FilesIn(KQFUZZ_DIR "/regressions/" KQFUZZ_NAME));
}

TEST(FuzzReplay, EmptyInput) {
    LLVMFuzzerTestOneInput(nullptr, 0);
}

}  // namespace
