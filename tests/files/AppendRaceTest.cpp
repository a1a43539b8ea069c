// SPDX-License-Identifier: MIT
// The appending file shared by many processes at its limits: eight that
// rotate a small file between them lose no line without counting it, and
// four that fill it to the process's file size limit are never killed.
// Real processes, real files; the generations a rotation deletes are kept
// for the count by a rename seen through the interposition layer.
#include "AppendFile_p.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Interpose.h"
#include "Process.h"

namespace {

namespace interpose = kqtest::interpose;

std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Before each rename onto PATH.1, the generation it deletes gets a second
// name, and its size at that moment is noted: what a process appends to it
// later went into a deleted file.
class KeepGenerations : public interpose::Handler {
public:
    KeepGenerations(std::string older, std::string dir)
        : older_(std::move(older)), dir_(std::move(dir)) {}

    bool Fail(interpose::Call& call, int* /*err*/) override {
        if (call.fn != interpose::Fn::rename || call.path == nullptr || older_ != call.path) {
            return false;
        }
        const std::string kept =
            dir_ + "/gen." + std::to_string(getpid()) + "." + std::to_string(kept_.size());
        struct stat st {};
        if (link(older_.c_str(), kept.c_str()) == 0 && stat(kept.c_str(), &st) == 0) {
            kept_.push_back(kept + " " + std::to_string(st.st_size));
        }
        return false;
    }
    const std::vector<std::string>& kept() const { return kept_; }

private:
    std::string older_;
    std::string dir_;
    std::vector<std::string> kept_;
};

// Starts count writers together; each runs work(index) and exits with its
// result. The statuses, in order.
template <typename Work>
std::vector<int> RunWriters(int count, Work work) {
    int start[2];
    if (pipe(start) != 0) {
        return {};
    }
    std::vector<pid_t> children;
    for (int i = 0; i < count; ++i) {
        const pid_t child = fork();
        if (child == 0) {
            close(start[1]);
            char go;
            (void)!read(start[0], &go, 1);  // returns when the parent closes its end
            _exit(work(i));
        }
        if (child > 0) {
            children.push_back(child);
        }
    }
    close(start[0]);
    close(start[1]);
    std::vector<int> statuses;
    for (pid_t child : children) {
        int status = 0;
        statuses.push_back(waitpid(child, &status, 0) == child ? status : -1);
    }
    return statuses;
}

class AppendRace : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir_.ok()); }
    kqtest::TempDir dir_;
};

// 8 processes x 5000 lines at a 4 KiB bound: every line is in the file, in
// PATH.1, in a generation a rotation deleted (up to its size then) or
// counted as dropped; none is in two places, none came after a deletion.
TEST_F(AppendRace, EightProcessesRotatingLoseNoLineUncounted) {
    constexpr int kWriters = 8;
    constexpr int kLines = 5000;
    const std::string path = dir_.File("race.log");
    const std::string record = dir_.File("record.");
    const std::vector<int> statuses = RunWriters(kWriters, [&](int writer) {
        KeepGenerations keep(kq::OlderGeneration(path), dir_.path());
        interpose::Add(&keep);
        kq::AppendFile file(path, 4096, "");
        long dropped = 0;
        for (int i = 0; i < kLines; ++i) {
            const std::string line =
                "w" + std::to_string(writer) + " " + std::to_string(i) + " payload\n";
            dropped += file.Append([&](unsigned long long) { return line; }, time(nullptr)) ? 0 : 1;
        }
        interpose::Remove(&keep);
        std::ofstream out(record + std::to_string(writer));
        out << "dropped " << dropped << "\n";
        for (const std::string& kept : keep.kept()) {
            out << kept << "\n";
        }
        return out.good() ? 0 : 1;
    });
    ASSERT_EQ(statuses.size(), static_cast<size_t>(kWriters));
    long dropped = 0;
    // Each kept generation, and how much of it was there when it was deleted.
    std::vector<std::pair<std::string, size_t>> generations = {{path, std::string::npos},
                                                               {path + ".1", std::string::npos}};
    for (int writer = 0; writer < kWriters; ++writer) {
        EXPECT_TRUE(WIFEXITED(statuses[writer]) && WEXITSTATUS(statuses[writer]) == 0);
        std::istringstream in(Read(record + std::to_string(writer)));
        std::string word;
        long count = 0;
        in >> word >> count;
        dropped += count;
        std::string name;
        size_t size = 0;
        while (in >> name >> size) {
            generations.push_back({name, size});
        }
    }
    std::set<std::string> seen;
    size_t twice = 0;
    size_t late = 0;
    for (const auto& generation : generations) {
        const std::string text = Read(generation.first);
        const size_t kept = std::min(text.size(), generation.second);
        std::istringstream lines(text.substr(0, kept));
        for (std::string line; std::getline(lines, line);) {
            twice += seen.insert(line).second ? 0 : 1;
        }
        std::istringstream after(text.substr(kept));
        for (std::string line; std::getline(after, line);) {
            ++late;
        }
    }
    std::printf(
        "%zu lines found, %ld dropped, %zu after their file was deleted, %zu twice; "
        "%zu generations\n",
        seen.size(), dropped, late, twice, generations.size());
    EXPECT_EQ(late, 0u) << "lines appended to a deleted generation";
    EXPECT_EQ(twice, 0u);
    EXPECT_EQ(seen.size() + static_cast<size_t>(dropped), static_cast<size_t>(kWriters * kLines));
    // Appends share the lock: each writer may add one line past the size it saw.
    EXPECT_LE(Read(path).size(), 4096u + kWriters * 32);
    EXPECT_LE(Read(path + ".1").size(), 4096u + kWriters * 32);
}

// RLIMIT_FSIZE shared by four processes: the line that would pass it is not
// written (SIGXFSZ would end a process that keeps the default), and every
// line in the file is whole.
TEST_F(AppendRace, FourProcessesAtTheFileSizeLimitLive) {
    constexpr int kWriters = 4;
    constexpr long kLimit = 64 * 1024;
    constexpr int kLines = 1500;  // 1500 x 4 x 30 bytes: over twice the limit
    const std::string path = dir_.File("limit.log");
    const std::vector<int> statuses = RunWriters(kWriters, [&](int writer) {
        rlimit limit{kLimit, kLimit};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) {
            return 10;
        }
        kq::AppendFile file(path, 1 << 20, "");
        int written = 0;
        for (int i = 0; i < kLines; ++i) {
            char line[64];
            std::snprintf(line, sizeof line, "w%d %05d %s\n", writer, i, "0123456789abcdefghij");
            written +=
                file.Append([&](unsigned long long) { return std::string(line); }, time(nullptr))
                    ? 1
                    : 0;
        }
        return written >= 0 ? 0 : 11;
    });
    ASSERT_EQ(statuses.size(), static_cast<size_t>(kWriters));
    for (int status : statuses) {
        EXPECT_FALSE(WIFSIGNALED(status)) << "killed by signal " << WTERMSIG(status);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    const std::string text = Read(path);
    EXPECT_LE(text.size(), static_cast<size_t>(kLimit));
    EXPECT_GT(text.size(), static_cast<size_t>(kLimit) - 64);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n') << "a line cut short at the limit";
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        ASSERT_EQ(line.size(), 29u) << line;
    }
}

}  // namespace
