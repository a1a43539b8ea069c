// SPDX-License-Identifier: MIT
// The silent build's log-config file: read by every GetSerManager, written
// back by FreeSerManager, never replaced by something it could not read.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Interpose.h"
#include "Process.h"
#include "SerManager_p.h"
#include "kqSer.h"

#define SI_NO_CONVERSION
#define SI_IMPLEMENTATION
#include <SimpleIni.h>

using IniFile = CSimpleIniTempl<char, SI_GenericNoCase<char>, SI_ConvertA<char>>;

extern const char* filename;
extern IniFile flogIni;

namespace {

using kqtest::HeapInUse;

using kqtest::ReadFile;

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::vector<std::string> Entries(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        }
        closedir(d);
    }
    return names;
}

mode_t TypeOf(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? (st.st_mode & S_IFMT) : 0;
}

struct stat StatOf(const std::string& path) {
    struct stat st;
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st;
}

// How a child process ended: its exit code, or the signal that killed it,
// or hung when it was still running at the bound (it is then killed).
struct ChildEnd {
    int code = -1;
    int signal = 0;
    bool hung = false;
};

// Runs fn in a child process. The child's end of a pipe closes when it ends,
// however it ends, which is what the parent waits for.
ChildEnd RunChild(const std::function<int()>& fn, int boundMs = 30000) {
    ChildEnd end;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return end;
    }
    const pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        _exit(fn() & 0xFF);
    }
    close(fds[1]);
    if (child < 0) {
        close(fds[0]);
        ADD_FAILURE() << "fork: " << std::strerror(errno);
        return end;
    }
    pollfd p = {fds[0], POLLIN, 0};
    while (poll(&p, 1, boundMs) < 0 && errno == EINTR) {
    }
    if (p.revents == 0) {
        end.hung = true;
        kill(child, SIGKILL);
    }
    close(fds[0]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) {
        end.code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        end.signal = WTERMSIG(status);
    }
    return end;
}

// An exit code that carries a result of -16 to 239.
int Code(int result) {
    return result + 16;
}

// Drops to the unprivileged user and group 65534: root passes every
// permission check, a host on the device does not.
bool DropToNobody() {
    return setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0;
}

// A FIFO, a character device (the null device's numbers) or a socket at path.
bool MakeSpecial(mode_t type, const std::string& path) {
    if (type == S_IFIFO) {
        return mkfifo(path.c_str(), 0666) == 0;
    }
    if (type == S_IFCHR) {
        return mknod(path.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;
    }
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    const bool bound = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    if (fd >= 0) {
        close(fd);
    }
    return bound;
}

std::string BigIni(int keys) {
    std::string text = "[big]\n";
    for (int i = 0; i < keys; ++i) {
        text += "key" + std::to_string(i) + "=value of key " + std::to_string(i) + "\n";
    }
    return text;
}

class LogConfig : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(temp_.ok());
        saved_ = filename;
        filename = path_.c_str();
        flogIni.Reset();  // the object lives for the whole process
    }
    void TearDown() override {
        CSerManager::FreeInstance();
        filename = saved_;
    }

    kqtest::TempDir temp_;
    const std::string dir_ = temp_.path();
    const std::string path_ = temp_.File("kqser.log.ini");
    const char* saved_ = nullptr;
};

TEST_F(LogConfig, DefaultPath) {
    EXPECT_STREQ(saved_, "/NandFlash/tmp/kqser.log.ini");
}

TEST_F(LogConfig, MissingFileIsCreatedEmpty) {
    ASSERT_NE(GetSerManager(), nullptr);
    EXPECT_EQ(FreeSerManager(), 0);
    ASSERT_TRUE(Exists(path_));
    EXPECT_EQ(ReadFile(path_), "");
    EXPECT_EQ(Entries(dir_), std::vector<std::string>{"kqser.log.ini"});
}

TEST_F(LogConfig, MissingDirectoryGivesFileErrorAndStillFrees) {
    const std::string path = dir_ + "/no/such/dir/kq.ini";
    filename = path.c_str();
    ISerManager* manager = GetSerManager();
    ASSERT_NE(manager->GetSer(nullptr, 0x100003), nullptr);
    EXPECT_EQ(FreeSerManager(), -3);
    EXPECT_EQ(CSerManager::GetInstance()->FindType(0x100003), -1);  // a fresh manager
    EXPECT_TRUE(Entries(dir_).empty());
}

TEST_F(LogConfig, RewrittenInTheParserLayoutWithoutSignature) {
    const std::string original =
        "; device settings\n"
        "[Log]\n"
        "Level = 3\n"
        "level = 4\n"
        "Target=serial\n"
        "\n"
        "# second section\n"
        "[Net]\n"
        "host=127.0.0.1\n";
    WriteFile(path_, original);
    GetSerManager();
    GetSerManager();  // read twice into the same object: still one value per key
    EXPECT_EQ(FreeSerManager(), 0);

    const std::string saved = ReadFile(path_);
    ASSERT_GE(saved.size(), 3u);
    EXPECT_NE(saved.substr(0, 3), "\xEF\xBB\xBF");

    // What the parser itself writes for this content.
    IniFile reference(false, false, false);
    ASSERT_GE(reference.LoadData(original), 0);
    std::string expected;
    ASSERT_GE(reference.Save(expected, true), 0);
    EXPECT_EQ(saved, expected);

    IniFile back(false, false, false);
    ASSERT_GE(back.LoadData(saved), 0);
    EXPECT_STREQ(back.GetValue("log", "LEVEL", ""), "4");
    EXPECT_STREQ(back.GetValue("LOG", "target", ""), "serial");
    EXPECT_STREQ(back.GetValue("net", "host", ""), "127.0.0.1");
    CSimpleIniA::TNamesDepend keys;
    back.GetAllKeys("Log", keys);
    EXPECT_EQ(keys.size(), 2u);  // Level and level are one key
    EXPECT_NE(saved.find("; device settings"), std::string::npos);
    EXPECT_EQ(Entries(dir_).size(), 1u);
}

TEST_F(LogConfig, FileThatCouldNotBeReadIsLeftAlone) {
    GetSerManager();  // the load fails: no file yet
    WriteFile(path_, "[kept]\nvalue=1\n");
    EXPECT_EQ(FreeSerManager(), -1);
    EXPECT_EQ(ReadFile(path_), "[kept]\nvalue=1\n");
}

TEST_F(LogConfig, FileNeverLoadedIsLeftAlone) {
    WriteFile(path_, "[kept]\nvalue=2\n");
    GetSerManager();
    const std::string other = dir_ + "/other.ini";
    WriteFile(other, "[other]\nx=1\n");
    filename = other.c_str();  // switched after the load
    EXPECT_EQ(FreeSerManager(), -1);
    EXPECT_EQ(ReadFile(other), "[other]\nx=1\n");
    EXPECT_EQ(ReadFile(path_), "[kept]\nvalue=2\n");
}

TEST_F(LogConfig, FreeTwiceSavesAgain) {
    WriteFile(path_, "[a]\nb=c\n");
    GetSerManager();
    EXPECT_EQ(FreeSerManager(), 0);
    const std::string once = ReadFile(path_);
    EXPECT_EQ(FreeSerManager(), 0);
    EXPECT_EQ(ReadFile(path_), once);
}

TEST_F(LogConfig, ReplacedFileKeepsItsMode) {
    WriteFile(path_, "[a]\nb=c\n");
    ASSERT_EQ(chmod(path_.c_str(), 0640), 0);
    GetSerManager();
    EXPECT_EQ(FreeSerManager(), 0);
    struct stat st;
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

// A write that fails half way (here: the file-size limit) leaves the old file
// whole and no temporary file behind.
TEST_F(LogConfig, FailedSaveLeavesTheOldFileWhole) {
    std::string original = "[big]\n";
    for (int i = 0; i < 200; ++i) {
        original += "key" + std::to_string(i) + "=value\n";
    }
    WriteFile(path_, original);
    GetSerManager();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit = {64, 64};
        setrlimit(RLIMIT_FSIZE, &limit);
        _exit(FreeSerManager() == -3 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the failed save did not answer -3";
    EXPECT_EQ(ReadFile(path_), original);
    EXPECT_EQ(Entries(dir_), std::vector<std::string>{"kqser.log.ini"});
}

// What is at the path decides how it is saved: a link is followed, a folder,
// FIFO, socket or device is never replaced, and nothing blocks.

TEST_F(LogConfig, SymbolicLinkStaysALinkAndItsTargetIsSaved) {
    ASSERT_EQ(mkdir((dir_ + "/store").c_str(), 0755), 0);
    WriteFile(dir_ + "/store/real.ini", "[a]\nb=c\n");
    ASSERT_EQ(symlink("store/real.ini", path_.c_str()), 0);
    GetSerManager();
    flogIni.SetValue("a", "added", "1");
    EXPECT_EQ(FreeSerManager(), 0);
    EXPECT_EQ(TypeOf(path_), static_cast<mode_t>(S_IFLNK));
    EXPECT_NE(ReadFile(dir_ + "/store/real.ini").find("added"), std::string::npos);
    EXPECT_EQ(Entries(dir_ + "/store"), std::vector<std::string>{"real.ini"});

    // A link to a file still to be made: the file is made where it points.
    const std::string link = dir_ + "/new.ini";
    ASSERT_EQ(symlink((dir_ + "/store/made.ini").c_str(), link.c_str()), 0);
    filename = link.c_str();
    GetSerManager();
    EXPECT_EQ(FreeSerManager(), 0);
    EXPECT_EQ(TypeOf(link), static_cast<mode_t>(S_IFLNK));
    EXPECT_EQ(TypeOf(dir_ + "/store/made.ini"), static_cast<mode_t>(S_IFREG));
}

TEST_F(LogConfig, SpecialFileIsNeitherWaitedOnNorReplaced) {
    for (const mode_t type : {S_IFIFO, S_IFCHR, S_IFSOCK}) {
        SCOPED_TRACE(type);
        ASSERT_TRUE(MakeSpecial(type, path_)) << std::strerror(errno);
        const ChildEnd end = RunChild([] { return GetSerManager() ? Code(FreeSerManager()) : 1; });
        EXPECT_FALSE(end.hung) << "GetSerManager or FreeSerManager waited on it";
        EXPECT_EQ(end.code, Code(-1)) << "signal " << end.signal;
        EXPECT_EQ(TypeOf(path_), type);
        ASSERT_EQ(unlink(path_.c_str()), 0);
    }
}

// Put there after a load that did read a file: the save refuses it.
TEST_F(LogConfig, SpecialFileSwappedInAfterTheLoadIsRefused) {
    for (const mode_t type : {S_IFIFO, S_IFCHR}) {
        SCOPED_TRACE(type);
        WriteFile(path_, "[a]\nb=c\n");
        GetSerManager();
        ASSERT_EQ(unlink(path_.c_str()), 0);
        ASSERT_TRUE(MakeSpecial(type, path_));
        const ChildEnd end = RunChild([] { return Code(FreeSerManager()); });
        EXPECT_FALSE(end.hung);
        EXPECT_EQ(end.code, Code(-3));
        EXPECT_EQ(TypeOf(path_), type);
        EXPECT_EQ(Entries(dir_).size(), 1u);
        ASSERT_EQ(unlink(path_.c_str()), 0);
    }
}

TEST_F(LogConfig, DirectoryGivesFileError) {
    ASSERT_EQ(mkdir(path_.c_str(), 0755), 0);
    const ChildEnd end = RunChild([] { return GetSerManager() ? Code(FreeSerManager()) : 1; });
    EXPECT_EQ(end.code, Code(-3)) << "signal " << end.signal;
    EXPECT_EQ(TypeOf(path_), static_cast<mode_t>(S_IFDIR));
}

// The parser keeps a copy of every text loaded into it: an unchanged file is
// not loaded again, whether it was read or written last.
TEST_F(LogConfig, UnchangedFileIsNotLoadedAgain) {
    WriteFile(path_, BigIni(4400));
    ASSERT_GT(ReadFile(path_).size(), 100000u);
    GetSerManager();
    ASSERT_STREQ(flogIni.GetValue("big", "key4399", ""), "value of key 4399");
    const long long bound = 1 << 20;  // one more copy of the file is a tenth of it

    const long long before = HeapInUse();
    for (int i = 0; i < 200; ++i) {
        GetSerManager();
    }
    EXPECT_LT(HeapInUse() - before, bound) << "200 loads of the same file";

    const long long cycled = HeapInUse();
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(FreeSerManager(), 0);
        GetSerManager();
    }
    EXPECT_LT(HeapInUse() - cycled, bound) << "100 saves and loads";
    EXPECT_STREQ(flogIni.GetValue("big", "key0", ""), "value of key 0");
}

TEST_F(LogConfig, ChangedFileIsMergedAsBefore) {
    WriteFile(path_, "[a]\nk=1\n");
    GetSerManager();
    WriteFile(path_, "[a]\nk=2\nj=3\n");
    GetSerManager();
    EXPECT_STREQ(flogIni.GetValue("a", "k", ""), "2");
    EXPECT_STREQ(flogIni.GetValue("a", "j", ""), "3");
    // At once, same size, same inode, and the time kept as a coarse file
    // clock keeps it: the change is still seen.
    const struct stat before = StatOf(path_);
    WriteFile(path_, "[a]\nk=4\nj=5\n");
    const timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, path_.c_str(), times, 0), 0);
    ASSERT_EQ(StatOf(path_).st_ino, before.st_ino);
    GetSerManager();
    EXPECT_STREQ(flogIni.GetValue("a", "k", ""), "4");
    // Merged, not replaced: a key gone from the file stays.
    WriteFile(path_, "[a]\nk=6\n");
    GetSerManager();
    EXPECT_STREQ(flogIni.GetValue("a", "k", ""), "6");
    EXPECT_STREQ(flogIni.GetValue("a", "j", ""), "5");
}

TEST_F(LogConfig, FileTheLibraryCreatedIsSavedAgain) {
    GetSerManager();  // no file yet
    EXPECT_EQ(FreeSerManager(), 0);
    flogIni.SetValue("later", "key", "1");
    EXPECT_EQ(FreeSerManager(), 0);
    EXPECT_NE(ReadFile(path_).find("[later]"), std::string::npos);
    GetSerManager();
    EXPECT_EQ(FreeSerManager(), 0);
}

// What the file is beyond its text stays: its links, owner, group and mode.

TEST_F(LogConfig, HardLinkedFileIsWrittenInPlace) {
    WriteFile(path_, "[a]\nb=c\n");
    const std::string other = dir_ + "/other.ini";
    ASSERT_EQ(link(path_.c_str(), other.c_str()), 0);
    const ino_t inode = StatOf(path_).st_ino;
    GetSerManager();
    flogIni.SetValue("a", "added", "1");
    EXPECT_EQ(FreeSerManager(), 0);
    EXPECT_EQ(StatOf(path_).st_ino, inode);
    EXPECT_EQ(StatOf(path_).st_nlink, 2u);
    EXPECT_NE(ReadFile(other).find("added"), std::string::npos);
    EXPECT_EQ(Entries(dir_).size(), 2u);
}

TEST_F(LogConfig, ReplacedFileKeepsOwnerGroupAndMode) {
    WriteFile(path_, "[a]\nb=c\n");
    ASSERT_EQ(chown(path_.c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod(path_.c_str(), 02640), 0);
    GetSerManager();
    EXPECT_EQ(FreeSerManager(), 0);
    const struct stat st = StatOf(path_);
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_gid, 65534u);
    EXPECT_EQ(st.st_mode & 07777, 02640u);
}

// An unprivileged process: a file it may write in a folder it may not, and
// a file of its own whose group it is not in. Both are written in place.
TEST_F(LogConfig, FileThatCannotBeReplacedIsWrittenInPlace) {
    ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
    struct Row {
        const char* folder;
        uid_t folderOwner;
        gid_t fileGroup;
    };
    for (const Row& row : {Row{"locked", 0, 65534}, Row{"own", 65534, 0}}) {
        SCOPED_TRACE(row.folder);
        const std::string folder = dir_ + "/" + row.folder;
        const std::string path = folder + "/kqser.log.ini";
        ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
        ASSERT_EQ(chown(folder.c_str(), row.folderOwner, row.folderOwner), 0);
        WriteFile(path, "[a]\nb=c\n");
        ASSERT_EQ(chown(path.c_str(), 65534, row.fileGroup), 0);
        ASSERT_EQ(chmod(path.c_str(), 0664), 0);
        const ino_t inode = StatOf(path).st_ino;
        filename = path.c_str();
        const ChildEnd end = RunChild([] {
            if (!DropToNobody()) {
                return 1;
            }
            GetSerManager();
            flogIni.SetValue("a", "added", "1");
            return Code(FreeSerManager());
        });
        EXPECT_EQ(end.code, Code(0));
        const struct stat st = StatOf(path);
        EXPECT_EQ(st.st_ino, inode);
        EXPECT_EQ(st.st_gid, row.fileGroup);
        EXPECT_NE(ReadFile(path).find("added"), std::string::npos);
        EXPECT_EQ(Entries(folder), std::vector<std::string>{"kqser.log.ini"});
    }
}

// Ends the process at its first write to a temporary file of a save.
class KillAtTemporaryWrite : public kqtest::interpose::Handler {
public:
    bool Fail(kqtest::interpose::Call& call, int* /*err*/) override {
        if (call.fn != kqtest::interpose::Fn::write || call.fd < 0) {
            return false;
        }
        char link[512] = {};
        const std::string fd = "/proc/self/fd/" + std::to_string(call.fd);
        if (readlink(fd.c_str(), link, sizeof link - 1) > 0 && std::strstr(link, ".kqtmp")) {
            kill(getpid(), SIGKILL);
        }
        return false;
    }
};

// Saves killed half way leave at most one temporary file, which the next
// save removes; the old file stays whole.
TEST_F(LogConfig, KilledSavesLeaveAtMostOneTemporaryFile) {
    const std::string original = BigIni(200);
    WriteFile(path_, original);
    GetSerManager();
    for (int i = 0; i < 3; ++i) {
        const ChildEnd end = RunChild([] {
            static KillAtTemporaryWrite killer;
            kqtest::interpose::Add(&killer);
            return Code(FreeSerManager());
        });
        EXPECT_EQ(end.signal, SIGKILL) << "exit code " << end.code;
    }
    EXPECT_LE(Entries(dir_).size(), 2u);
    EXPECT_EQ(ReadFile(path_), original);
    EXPECT_EQ(FreeSerManager(), 0);
    EXPECT_EQ(Entries(dir_), std::vector<std::string>{"kqser.log.ini"});
}

}  // namespace
