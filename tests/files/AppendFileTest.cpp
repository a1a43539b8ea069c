// SPDX-License-Identifier: MIT
// The appending file behind the log file and the capture files: rotation,
// lines that cannot be written, a file removed under it, the process's file
// size limit, and two processes appending at once. Real files, real
// processes.
#include "AppendFile_p.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

class AppendFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/kqappend.XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        path_ = dir_ + "/out.log";
    }
    void TearDown() override {
        for (const std::string& p : {path_, path_ + ".1", path_ + ".2"}) {
            unlink(p.c_str());
        }
        rmdir((dir_ + "/gone").c_str());
        rmdir(dir_.c_str());
    }

    static std::string Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    static bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

public:
    static std::vector<std::string> LinesOf(const std::string& text) {
        std::vector<std::string> lines;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        return lines;
    }

    std::string dir_;
    std::string path_;
};

// A text that takes no notice of the dropped count.
auto Text(const std::string& text) {
    return [text](unsigned long long) { return text; };
}

TEST(AppendFileRules, RotateBefore) {
    const struct {
        long long size;
        size_t add;
        long long max;
        bool rotate;
    } rows[] = {
        {0, 10, 1024, false},   {1014, 10, 1024, false}, {1015, 10, 1024, true},
        {0, 5000, 1024, false},  // a long line still goes into an empty file
        {2000, 1, 1024, true},  {1, 1024, 1024, true},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(kq::RotateBefore(row.size, row.add, row.max), row.rotate)
            << row.size << " + " << row.add << " / " << row.max;
    }
    EXPECT_EQ(kq::OlderGeneration("/var/log/kq.log"), "/var/log/kq.log.1");
}

TEST_F(AppendFileTest, RotatesAtTheBoundKeepingOneGeneration) {
    kq::AppendFile file(path_, 1024, "# header\n");
    for (int i = 0; i < 100; ++i) {
        char line[64];
        std::snprintf(line, sizeof line, "line %03d %s\n", i, std::string(36, 'x').c_str());
        ASSERT_TRUE(file.Append(Text(line), 1000));
    }
    const std::string now = Read(path_);
    const std::string older = Read(path_ + ".1");
    EXPECT_FALSE(Exists(path_ + ".2"));
    EXPECT_LE(now.size(), 1024u);
    EXPECT_LE(older.size(), 1024u);
    EXPECT_GT(older.size(), 1024u - 50);  // full: it took lines up to the bound
    EXPECT_EQ(now.rfind("# header\n", 0), 0u);
    EXPECT_EQ(older.rfind("# header\n", 0), 0u);
    // The older generation and the new file hold the last lines, in order.
    std::vector<std::string> lines = LinesOf(older);
    for (const std::string& line : LinesOf(now)) {
        lines.push_back(line);
    }
    std::vector<int> numbers;
    for (const std::string& line : lines) {
        if (line[0] != '#') {
            numbers.push_back(std::atoi(line.c_str() + 5));
        }
    }
    ASSERT_FALSE(numbers.empty());
    EXPECT_EQ(numbers.back(), 99);
    for (size_t i = 1; i < numbers.size(); ++i) {
        EXPECT_EQ(numbers[i], numbers[i - 1] + 1);
    }
}

TEST_F(AppendFileTest, LinesThatCannotBeWrittenAreCountedAndTheCountArrives) {
    const std::string dir = dir_ + "/gone";
    kq::AppendFile file(dir + "/out.log", 1 << 20, "");
    unsigned long long told = 0;
    auto counted = [&told](unsigned long long dropped) {
        told = dropped;
        return std::string("line\n");
    };
    EXPECT_FALSE(file.Append(counted, 1000));
    EXPECT_FALSE(file.Append(counted, 1000));
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    // The folder is looked for again once a second, not at every line.
    EXPECT_FALSE(file.Append(counted, 1000));
    EXPECT_EQ(told, 2u);
    EXPECT_TRUE(file.Append(counted, 1001));
    EXPECT_EQ(told, 3u);
    EXPECT_TRUE(file.Append(counted, 1001));
    EXPECT_EQ(told, 0u);
    EXPECT_EQ(Read(dir + "/out.log"), "line\nline\n");
    unlink((dir + "/out.log").c_str());
}

TEST_F(AppendFileTest, AFileRemovedOrReplacedIsFollowedWithinASecond) {
    kq::AppendFile file(path_, 1 << 20, "");
    ASSERT_TRUE(file.Append(Text("one\n"), 1000));
    ASSERT_EQ(unlink(path_.c_str()), 0);
    // Never into the removed file: a new one at once.
    EXPECT_TRUE(file.Append(Text("kept\n"), 1000));
    EXPECT_TRUE(file.Append(Text("two\n"), 1001));
    EXPECT_EQ(Read(path_), "kept\ntwo\n");
    // A FIFO put at the path is no file to write: dropped, and nothing blocks.
    ASSERT_EQ(unlink(path_.c_str()), 0);
    ASSERT_EQ(mkfifo(path_.c_str(), 0644), 0);
    EXPECT_FALSE(file.Append(Text("three\n"), 1002));
}

// RLIMIT_FSIZE: a write past it raises SIGXFSZ, which ends a process that
// keeps its default. The line is dropped instead; the process lives on.
TEST_F(AppendFileTest, TheFileSizeLimitDropsLinesAndKillsNobody) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        rlimit limit{1000, 1000};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) {
            _exit(10);
        }
        kq::AppendFile file(path_, 1 << 20, "");
        int written = 0;
        int dropped = 0;
        for (int i = 0; i < 50; ++i) {
            (file.Append(Text(std::string(99, 'a') + "\n"), 1000) ? written : dropped)++;
        }
        _exit(written == 10 && dropped == 40 ? 0 : 11);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_FALSE(WIFSIGNALED(status)) << "signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(Read(path_).size(), 1000u);
}

// Two processes, started together, each appending lines of its own letter
// and number. True when both appended every line.
bool RunTwoWriters(const std::string& path, long long maxBytes, int lines, size_t length) {
    int start[2];
    if (pipe(start) != 0) {
        return false;
    }
    std::vector<pid_t> children;
    for (char letter : {'A', 'B'}) {
        const pid_t child = fork();
        if (child < 0) {
            break;
        }
        if (child == 0) {
            close(start[1]);
            char go;
            (void)read(start[0], &go, 1);  // returns when the parent closes its end
            kq::AppendFile file(path, maxBytes, "");
            int dropped = 0;
            for (int i = 0; i < lines; ++i) {
                const std::string line = std::string(length, letter) + " " + std::to_string(i);
                dropped += file.Append(Text(line + "\n"), 1000) ? 0 : 1;
            }
            _exit(dropped == 0 ? 0 : 1);
        }
        children.push_back(child);
    }
    close(start[0]);
    close(start[1]);
    bool ok = children.size() == 2;
    for (pid_t child : children) {
        int status = 0;
        ok = waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
             ok;
    }
    return ok;
}

// Checks that every line is one writer's whole line and that each writer's
// lines keep their order; *last gets each writer's last number.
void CheckLines(const std::string& text, size_t length, int last[2], size_t* count) {
    for (const std::string& line : AppendFileTest::LinesOf(text)) {
        ASSERT_GT(line.size(), length + 1);
        const char letter = line[0];
        ASSERT_TRUE(letter == 'A' || letter == 'B');
        ASSERT_EQ(line.find_first_not_of(letter), length) << line.substr(0, 80);
        const int number = std::atoi(line.c_str() + length + 1);
        EXPECT_GT(number, last[letter - 'A']);
        last[letter - 'A'] = number;
        ++*count;
    }
}

// O_APPEND and one write a line: lines of two processes never mix.
TEST_F(AppendFileTest, TwoProcessesNeverMixLines) {
    constexpr int kLines = 400;
    constexpr size_t kLength = 3000;
    ASSERT_TRUE(RunTwoWriters(path_, 16 << 20, kLines, kLength));
    int last[2] = {-1, -1};
    size_t count = 0;
    CheckLines(Read(path_), kLength, last, &count);
    EXPECT_EQ(count, 2u * kLines);
    EXPECT_EQ(last[0], kLines - 1);
    EXPECT_EQ(last[1], kLines - 1);
    EXPECT_FALSE(Exists(path_ + ".1"));
}

// Either process may find the file full; it is rotated, not lost, and
// never grows far past its bound.
TEST_F(AppendFileTest, TwoProcessesRotateTheFileBetweenThem) {
    constexpr int kLines = 400;
    constexpr size_t kLength = 1000;
    constexpr long long kMax = 64 * 1024;
    ASSERT_TRUE(RunTwoWriters(path_, kMax, kLines, kLength));
    int last[2] = {-1, -1};
    size_t count = 0;
    for (const std::string& path : {path_ + ".1", path_}) {
        const std::string text = Read(path);
        // The other process may have added lines while a rotation was under
        // way, up to an eighth past the bound (then it waits for the rotation).
        EXPECT_LE(text.size(), static_cast<size_t>(kMax + kMax / 8) + 2 * (kLength + 6)) << path;
        EXPECT_GT(text.size(), 0u) << path;
        CheckLines(text, kLength, last, &count);
    }
    EXPECT_FALSE(Exists(path_ + ".2"));
    // The newest lines of the later writer are in the new file.
    EXPECT_EQ(std::max(last[0], last[1]), kLines - 1);
}

// The rule in a world-writable sticky folder: a file of this user, the
// folder's owner or root is trusted; anywhere else any file is.
TEST(AppendFileRules, OwnerTrusted) {
    struct stat sticky {};
    sticky.st_mode = S_IFDIR | 01777;
    sticky.st_uid = 7;
    struct stat open {};
    open.st_mode = S_IFDIR | 0777;
    struct stat shared {};
    shared.st_mode = S_IFDIR | 01775;  // sticky, but only its group writes
    const struct {
        const struct stat* folder;
        uid_t owner;
        bool trusted;
    } rows[] = {
        {&sticky, 1000, true},   {&sticky, 0, true},   {&sticky, 7, true},
        {&sticky, 65534, false}, {&open, 65534, true}, {&shared, 65534, true},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(kq::OwnerTrusted(*row.folder, row.owner, 1000), row.trusted)
            << std::oct << row.folder->st_mode << " " << std::dec << row.owner;
    }
}

// What is planted at the path: a link (followed by nobody), something other
// than a file, another user's file or link in a sticky folder.
TEST_F(AppendFileTest, APlantedPathIsRefusedAndItsTargetUntouched) {
    const std::string target = dir_ + "/target";
    std::ofstream(target) << "precious\n";
    ASSERT_EQ(symlink(target.c_str(), path_.c_str()), 0);
    EXPECT_EQ(kq::PathRefusal(path_), "is a symbolic link");
    kq::AppendFile file(path_, 1 << 20, "");
    EXPECT_FALSE(file.Append(Text("planted\n"), 1000));
    EXPECT_EQ(Read(target), "precious\n");
    unlink(path_.c_str());
    ASSERT_EQ(mkfifo(path_.c_str(), 0644), 0);
    EXPECT_EQ(kq::PathRefusal(path_), "is not a regular file");
    unlink(path_.c_str());
    EXPECT_EQ(kq::PathRefusal(path_), "");  // nothing there yet: made by this process
    EXPECT_EQ(kq::PathRefusal(dir_ + "/none/out.log"), "");

    const std::string sticky = dir_ + "/gone";  // removed by TearDown
    ASSERT_EQ(mkdir(sticky.c_str(), 0755), 0);
    ASSERT_EQ(chmod(sticky.c_str(), 01777), 0);
    const std::string theirs = sticky + "/out.log";
    std::ofstream(theirs) << "";
    EXPECT_EQ(kq::PathRefusal(theirs), "");
    if (geteuid() != 0 || chown(theirs.c_str(), 65534, 65534) != 0) {
        unlink(theirs.c_str());
        GTEST_SKIP() << "another user's file needs root to make";
    }
    EXPECT_EQ(kq::PathRefusal(theirs), "is a file of user 65534 in a folder anyone may write to");
    kq::AppendFile other(theirs, 1 << 20, "");
    EXPECT_FALSE(other.Append(Text("line\n"), 1000));
    EXPECT_EQ(Read(theirs), "");
    unlink(theirs.c_str());
    // A link on the way, of another user, in the sticky folder.
    const std::string way = sticky + "/way";
    ASSERT_EQ(symlink(dir_.c_str(), way.c_str()), 0);
    ASSERT_EQ(lchown(way.c_str(), 65534, 65534), 0);
    EXPECT_EQ(kq::PathRefusal(way + "/out.log"),
              "passes a link of user 65534 in a folder anyone may write to");
    unlink(way.c_str());
    unlink(target.c_str());
}

}  // namespace
