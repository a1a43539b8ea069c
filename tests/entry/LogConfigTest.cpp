// The silent build's log-config file: read by every GetSerManager, written
// back by FreeSerManager, never replaced by something it could not read.
#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "SerManager_p.h"
#include "kqSer.h"

#define SI_NO_CONVERSION
#define SI_IMPLEMENTATION
#include <SimpleIni.h>

using IniFile = CSimpleIniTempl<char, SI_GenericNoCase<char>, SI_ConvertA<char>>;

extern const char* filename;
extern IniFile flogIni;

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

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

class LogConfig : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/kqini.XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        path_ = dir_ + "/kqser.log.ini";
        saved_ = filename;
        filename = path_.c_str();
        flogIni.Reset();  // the object lives for the whole process
    }
    void TearDown() override {
        CSerManager::FreeInstance();
        filename = saved_;
        for (const std::string& name : Entries(dir_)) {
            std::remove((dir_ + "/" + name).c_str());
        }
        rmdir(dir_.c_str());
    }

    std::string dir_;
    std::string path_;
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

}  // namespace
