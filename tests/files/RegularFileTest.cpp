// SPDX-License-Identifier: MIT
// Reading whatever a path names without blocking or reading without bound,
// and the names and links the saving of a file relies on.
#include "RegularFile_p.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "Process.h"

#include "AtomicFile_p.h"

namespace {

class RegularFile : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(temp_.ok()); }

    std::string Write(const std::string& name, const std::string& text) {
        const std::string path = dir_ + "/" + name;
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }

    kqtest::TempDir temp_;
    const std::string dir_ = temp_.path();
};

TEST_F(RegularFile, ReadsARegularFileWholeWithItsIdentity) {
    const std::string path = Write("a.conf", "[a]\nb=c\n");
    const kq::FileText file = kq::ReadRegularFile(path.c_str(), 1024);
    ASSERT_EQ(file.status, kq::FileStatus::Ok);
    EXPECT_EQ(file.data, "[a]\nb=c\n");
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_TRUE(kq::SameFile(file.id, kq::IdOf(st)));

    const std::string link = dir_ + "/link.conf";
    ASSERT_EQ(symlink(path.c_str(), link.c_str()), 0);
    EXPECT_EQ(kq::ReadRegularFile(link.c_str(), 1024).data, "[a]\nb=c\n");

    const kq::FileText empty = kq::ReadRegularFile(Write("empty", "").c_str(), 1024);
    EXPECT_EQ(empty.status, kq::FileStatus::Ok);
    EXPECT_EQ(empty.data, "");
}

// Garbage of 1 MiB is read to the limit and no further.
TEST_F(RegularFile, SizeLimit) {
    std::string garbage(1 << 20, '\0');
    std::mt19937 random(7);
    for (char& c : garbage) {
        c = static_cast<char>(random());
    }
    const std::string path = Write("garbage", garbage);
    const struct {
        size_t limit;
        kq::FileStatus status;
    } rows[] = {
        {64 * 1024, kq::FileStatus::TooLarge},
        {garbage.size() - 1, kq::FileStatus::TooLarge},
        {garbage.size(), kq::FileStatus::Ok},
        {garbage.size() + 1, kq::FileStatus::Ok},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.limit);
        const kq::FileText file = kq::ReadRegularFile(path.c_str(), row.limit);
        EXPECT_EQ(file.status, row.status);
        EXPECT_EQ(file.data.size(), row.status == kq::FileStatus::Ok ? garbage.size() : 0u);
    }
    EXPECT_EQ(kq::ReadRegularFile(path.c_str(), garbage.size()).data, garbage);
}

// None of these is opened: a FIFO without a writer would block the caller.
TEST_F(RegularFile, TellsWhyAPathIsNotReadable) {
    const std::string fifo = dir_ + "/fifo";
    const std::string device = dir_ + "/null";
    const std::string socketPath = dir_ + "/socket";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
    ASSERT_EQ(mknod(device.c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", socketPath.c_str());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    close(fd);
    const std::string file = Write("file", "x");
    const std::string loop = dir_ + "/loop";
    ASSERT_EQ(symlink("loop", loop.c_str()), 0);

    const struct {
        std::string path;
        kq::FileStatus status;
        int error;
    } rows[] = {
        {dir_ + "/missing", kq::FileStatus::Missing, ENOENT},
        {dir_, kq::FileStatus::Directory, 0},
        {fifo, kq::FileStatus::Special, 0},
        {device, kq::FileStatus::Special, 0},
        {socketPath, kq::FileStatus::Special, 0},
        {file + "/below", kq::FileStatus::OpenFailed, ENOTDIR},
        {loop, kq::FileStatus::OpenFailed, ELOOP},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.path);
        const kq::FileText got = kq::ReadRegularFile(row.path.c_str(), 1024);
        EXPECT_EQ(got.status, row.status);
        EXPECT_EQ(got.error, row.error);
        EXPECT_EQ(got.data, "");
    }
}

TEST_F(RegularFile, UnreadableFileGivesTheOpenError) {
    ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
    const std::string path = Write("secret", "x");
    ASSERT_EQ(chmod(path.c_str(), 0600), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Root passes every permission check: drop to the unprivileged user.
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) {
            _exit(2);
        }
        const kq::FileText file = kq::ReadRegularFile(path.c_str(), 1024);
        _exit(file.status == kq::FileStatus::OpenFailed && file.error == EACCES ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(FileId, SettledOnlyWhenOlderThanTheCoarsestFileClock) {
    const struct {
        timespec mtime;
        timespec now;
        bool settled;
    } rows[] = {
        {{100, 0}, {100, 0}, false},        {{100, 0}, {101, 999999999}, false},
        {{100, 500}, {102, 500}, false},    {{100, 500}, {102, 501}, true},
        {{100, 999999999}, {103, 0}, true}, {{100, 0}, {5000, 0}, true},
        {{200, 0}, {100, 0}, false},  // a time ahead of the clock
    };
    for (const auto& row : rows) {
        EXPECT_EQ(kq::IsSettled(row.mtime, row.now), row.settled)
            << row.mtime.tv_sec << "." << row.mtime.tv_nsec << " at " << row.now.tv_sec << "."
            << row.now.tv_nsec;
    }
}

TEST(SaveNames, TemporaryFileCarriesItsOwner) {
    EXPECT_EQ(kq::TempName("kqser.log.ini", 4321), "kqser.log.ini.kqtmp4321");
    const struct {
        const char* name;
        pid_t owner;
    } rows[] = {
        {"kqser.log.ini.kqtmp4321", 4321},
        {"kqser.log.ini.kqtmp1", 1},
        {"kqser.log.ini.kqtmp2147483647", 2147483647},
        {"kqser.log.ini.kqtmp2147483648", -1},
        {"kqser.log.ini.kqtmp99999999999999999999", -1},
        {"kqser.log.ini.kqtmp", -1},
        {"kqser.log.ini.kqtmp012", -1},
        {"kqser.log.ini.kqtmp12a", -1},
        {"kqser.log.ini.kqtmp-1", -1},
        {"kqser.log.ini", -1},
        {"other.ini.kqtmp12", -1},
        {"xkqser.log.ini.kqtmp12", -1},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(kq::TempOwner(row.name, "kqser.log.ini"), row.owner) << row.name;
    }
}

TEST(SaveNames, LinkTargetIsTakenFromTheLinksFolder) {
    const struct {
        const char* link;
        const char* text;
        const char* target;
    } rows[] = {
        {"/NandFlash/tmp/kqser.log.ini", "/data/kqser.log.ini", "/data/kqser.log.ini"},
        {"/NandFlash/tmp/kqser.log.ini", "../cfg/log.ini", "/NandFlash/tmp/../cfg/log.ini"},
        {"/kqser.log.ini", "data/log.ini", "/data/log.ini"},
        {"kqser.log.ini", "data/log.ini", "data/log.ini"},
        {"cfg/kqser.log.ini", "log.ini", "cfg/log.ini"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(kq::LinkTarget(row.link, row.text), row.target) << row.link;
    }
}

TEST_F(RegularFile, SaveGivesTheIdentityOfWhatItWrote) {
    const std::string path = dir_ + "/saved.ini";
    kq::FileId id;
    ASSERT_TRUE(kq::ReplaceFile(path.c_str(), "[a]\n", &id));
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_TRUE(kq::SameFile(id, kq::IdOf(st)));
    const mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(st.st_mode & 07777, 0666u & ~mask);

    const std::string loop = dir_ + "/loop";
    ASSERT_EQ(symlink("loop", loop.c_str()), 0);
    EXPECT_FALSE(kq::ReplaceFile(loop.c_str(), "x"));
    EXPECT_FALSE(kq::ReplaceFile((dir_ + "/").c_str(), "x"));
    EXPECT_FALSE(kq::ReplaceFile("", "x"));
}

// Under RLIMIT_FSIZE a save that would pass the limit fails and leaves the
// old text; the process is not ended by SIGXFSZ, by a new file or in place.
TEST_F(RegularFile, SaveBeyondTheFileSizeLimitFailsAndKillsNobody) {
    const std::string fresh = dir_ + "/fresh.ini";
    const std::string linked = Write("linked.ini", "[old]\n");
    ASSERT_EQ(link(linked.c_str(), (dir_ + "/second").c_str()), 0);  // saved in place
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        rlimit limit{100, 100};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) {
            _exit(10);
        }
        const std::string big(4096, 'x');
        const bool refused = !kq::ReplaceFile(fresh.c_str(), big) &&
                             !kq::ReplaceFile(linked.c_str(), big) &&
                             kq::ReplaceFile(fresh.c_str(), "[small]\n");
        _exit(refused ? 0 : 11);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_FALSE(WIFSIGNALED(status)) << "signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    std::ifstream in(linked);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "[old]\n");
}

}  // namespace
