// SPDX-License-Identifier: MIT
// kqser.conf as GetSerManager reads it: from $KQSER_CONF or /etc/kqser.conf,
// once per manager, every problem one log line, nothing that can hang,
// crash or fail the manager.
#include "kqSer.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "Capture.h"
#include "Process.h"

namespace {

// The largest file read.
constexpr size_t kLimit = 1 << 20;

class ConfigFile : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(temp_.ok());
        ASSERT_EQ(setenv("KQSER_CONF", path_.c_str(), 1), 0);
    }
    void TearDown() override {
        FreeSerManager();
        unsetenv("KQSER_CONF");
    }

    void Write(const std::string& text) {
        std::ofstream out(path_, std::ios::binary | std::ios::trunc);
        out << text;
    }

    // The log lines of one GetSerManager that creates the manager, without
    // the manager's own.
    std::string LoadLines() {
        FreeSerManager();
        ISerManager* manager = nullptr;
        const kqtest::Captured got = kqtest::Capture([&] { manager = GetSerManager(); });
        EXPECT_NE(manager, nullptr);
        std::string lines;
        for (const std::string& line : kqtest::Lines(got.log)) {
            if (line.rfind("SerManager new: ", 0) != 0) {
                lines += line;
            }
        }
        return lines;
    }

    kqtest::TempDir temp_;
    std::string path_ = temp_.File("kqser.conf");
};

TEST_F(ConfigFile, MissingEmptyAndUnsetAreSilence) {
    EXPECT_EQ(LoadLines(), "");  // no file at the path
    Write("");
    EXPECT_EQ(LoadLines(), "");
    ASSERT_EQ(setenv("KQSER_CONF", "", 1), 0);  // set and empty: no file at all
    EXPECT_EQ(LoadLines(), "");
}

TEST_F(ConfigFile, ReadOncePerManager) {
    Write("[serial]\nframe_gap = often\n");
    const std::string problem = "config " + path_ +
                                ": [serial] frame_gap = \"often\": not off, auto or 0.5 to 200 "
                                "(milliseconds); the default off stays\n";
    EXPECT_EQ(LoadLines(), problem);
    // While the manager lives the file is not read again...
    Write("[serial]\nframe_gap = seldom\n");
    const kqtest::Captured again = kqtest::Capture([] { GetSerManager(); });
    EXPECT_EQ(again.log, "");
    // ...the next manager reads it.
    EXPECT_NE(LoadLines().find("\"seldom\""), std::string::npos);
}

TEST_F(ConfigFile, EachProblemIsOneLogLine) {
    Write("[serial]\nframe_gap = sometimes\n[modem]\nx = 1\n");
    EXPECT_EQ(LoadLines(), "config " + path_ +
                               ": [serial] frame_gap = \"sometimes\": not off, auto or 0.5 to 200 "
                               "(milliseconds); the default off stays\n"
                               "config " +
                               path_ +
                               ": [modem] (1 keys): unknown section; its keys are not used\n");
}

TEST_F(ConfigFile, WhatIsNoRegularFileIsNamedAndNeverHangs) {
    ASSERT_EQ(mkdir(path_.c_str(), 0700), 0);
    EXPECT_EQ(LoadLines(), "config " + path_ + ": is a folder; every key keeps its default\n");
    ASSERT_EQ(rmdir(path_.c_str()), 0);

    // A FIFO without a writer would block an open for reading for ever.
    ASSERT_EQ(mkfifo(path_.c_str(), 0600), 0);
    EXPECT_EQ(LoadLines(),
              "config " + path_ + ": is a FIFO, socket or device; every key keeps its default\n");
    ASSERT_EQ(unlink(path_.c_str()), 0);

    const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(sock, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    ASSERT_LT(path_.size(), sizeof addr.sun_path);
    path_.copy(addr.sun_path, path_.size());
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_EQ(LoadLines(),
              "config " + path_ + ": is a FIFO, socket or device; every key keeps its default\n");
    close(sock);
}

TEST_F(ConfigFile, GarbageAndOversizeGiveBoundedLines) {
    std::string garbage(kLimit, '\0');
    for (size_t i = 0; i < garbage.size(); ++i) {
        garbage[i] = static_cast<char>((i * 2654435761u) >> 11);
    }
    Write(garbage);
    const std::string lines = LoadLines();
    EXPECT_EQ(kqtest::Lines(lines).size(), 1u) << lines;
    EXPECT_NE(lines.find("NUL"), std::string::npos) << lines;

    Write(std::string(kLimit + 1, '#'));
    EXPECT_EQ(LoadLines(),
              "config " + path_ + ": is larger than 1024 KiB; every key keeps its default\n");
}

}  // namespace
