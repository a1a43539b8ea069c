// SPDX-License-Identifier: MIT
// kqser with kqser.conf, run as a user runs it: `config` reports what the
// library will do, `listen` frames by the port's gap or by --gap.
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Capture.h"
#include "Child.h"
#include "FakeSys.h"
#include "Pty.h"

namespace {

using kqtest::Child;
using kqtest::ChildResult;

const std::string kLib = kqtest::kLibrary;

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(KqserConfig, ReportsTheFileAndThePortsGap) {
    kqtest::ConfFile conf;
    ASSERT_TRUE(conf.Write("[serial]\nframe_gap = auto\n[serial pts/9]\nframe_gap = 4\nx = 1\n"));
    const std::vector<std::string> env = {"KQSER_CONF=" + conf.path()};
    ChildResult r = kqtest::RunKqser({"config", "pts/9:19200,E,8,1"}, 30000, env);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(Has(r.out, "file: " + conf.path() + " (read)\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "[serial pts/9] x = \"1\": unknown key")) << r.out;
    EXPECT_TRUE(Has(r.out, "frame gap at Open: 4.000 ms (frame_gap 4.000 ms)\n")) << r.out;
    r = kqtest::RunKqser({"config", "pts/8:19200,E,8,1"}, 30000, env);
    EXPECT_TRUE(Has(r.out,
                    "frame gap at Open: 2.005 ms (auto: 3.5 characters of 11 bits at "
                    "19200 bit/s)\n"))
        << r.out;

    r = kqtest::RunKqser({"config", "nonsense", "more"}, 30000, env);
    EXPECT_EQ(r.exitCode, 2);
    r = kqtest::RunKqser({"config", "COM:9600"}, 30000, env);
    EXPECT_EQ(r.exitCode, 2);
}

// Two bursts 150 ms apart: one frame at the line's 0.2 s, two at a 40 ms gap.
class KqserListenGap : public ::testing::Test {
protected:
    ChildResult Listen(std::vector<std::string> extra, const std::vector<std::string>& env) {
        std::vector<std::string> args = {"--lib", kLib, "listen", pty.Def(), "--timeout", "1500"};
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<std::string> childEnv = env;
        const std::vector<std::string> command = kqtest::KqserCommand(args, &childEnv);
        Child child;
        Child::Options options;
        options.env = childEnv;
        EXPECT_TRUE(child.Start(command, options));
        EXPECT_TRUE(child.WaitForErr("Ctrl-C stops\n", 10000)) << child.err();
        pty.WriteMaster("ab");
        std::this_thread::sleep_for(std::chrono::milliseconds(150));  // the device's pause
        pty.WriteMaster("cd");
        return child.Wait(10000);
    }
    kqtest::PtyPair pty;
    kqtest::ConfFile conf;
};

TEST_F(KqserListenGap, TheLinesReadTimingKeepsBothBurstsInOneFrame) {
    ASSERT_TRUE(pty.ok());
    const ChildResult r = Listen({}, {});
    EXPECT_TRUE(Has(r.err, "frame gap off (a reply ends at 0.2 s of silence)")) << r.err;
    EXPECT_TRUE(Has(r.err, "1 frames, 4 bytes")) << r.err;
}

TEST_F(KqserListenGap, GapFromTheOptionOrTheFile) {
    ASSERT_TRUE(pty.ok());
    ChildResult r = Listen({"--gap", "40"}, {});
    EXPECT_TRUE(Has(r.err, "frame gap 40.000 ms (frame_gap 40.000 ms)")) << r.err;
    EXPECT_TRUE(Has(r.err, "2 frames, 4 bytes")) << r.err;

    ASSERT_TRUE(conf.Write("[serial " + pty.SlaveName() + "]\nframe_gap = 40\n"));
    r = Listen({}, {"KQSER_CONF=" + conf.path()});
    EXPECT_TRUE(Has(r.err, "frame gap 40.000 ms")) << r.err;
    EXPECT_TRUE(Has(r.err, "2 frames, 4 bytes")) << r.err;

    r = kqtest::RunKqser({"--lib", kLib, "listen", pty.Def(), "--gap", "0.1"});
    EXPECT_EQ(r.exitCode, 2) << r.err;
    EXPECT_TRUE(Has(r.err, "not off, auto or 0.5 to 200")) << r.err;
    r = kqtest::RunKqser({"--lib", kLib, "listen", "127.0.0.1:9", "--gap", "5"});
    EXPECT_EQ(r.exitCode, 2) << r.err;
}

TEST(KqserListenFrame, ModbusRepliesEndWithTheirLastByteAndEachFrameIsDecoded) {
    kqtest::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    Child child;
    std::vector<std::string> env;
    const std::vector<std::string> command =
        kqtest::KqserCommand({"--lib", kLib, "listen", pty.Def(), "--frame", "modbus", "--count",
                              "2", "--timeout", "20000"},
                             &env);
    Child::Options options;
    options.env = env;
    ASSERT_TRUE(child.Start(command, options));
    ASSERT_TRUE(child.WaitForErr("Ctrl-C stops\n", 10000)) << child.err();
    // A reply and a request in one burst: the reply is one Read; the request
    // is no reply, so the gap ends it, and the cut finds it.
    pty.WriteMaster(
        std::string("\x01\x03\x04\x00\x0A\x00\x0B\x9B\xF6"
                    "\x01\x03\x00\x00\x00\x02\xC4\x0B",
                    17));
    const ChildResult r = child.Wait(10000);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(Has(r.err, "Modbus RTU replies end with their last byte")) << r.err;
    EXPECT_TRUE(Has(r.out, "  9 bytes\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "modbus reply unit 1: read holding registers: 2 values 10 11; CRC ok"))
        << r.out;
    EXPECT_TRUE(Has(r.out, "modbus request unit 1: read holding registers 0-1 (2); CRC ok"))
        << r.out;

    const ChildResult bad =
        kqtest::RunKqser({"--lib", kLib, "listen", pty.Def(), "--frame", "dnp3"});
    EXPECT_EQ(bad.exitCode, 2) << bad.err;
    EXPECT_TRUE(Has(bad.err, "--frame 'dnp3': not modbus")) << bad.err;
}

TEST(KqserLine, SettingsReadBackWarningsAndADevPrefix) {
    kqtest::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    const ChildResult r =
        kqtest::RunKqser({"--lib", kLib, "send", "/dev/" + pty.SlaveName() + ":250000,M,8,1.5",
                          "41", "--read", "0"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(pty.ReadMaster(1, 5000), "A");
    EXPECT_TRUE(Has(r.err, "kqser send: warning: 250000 bit/s is not in the speed table")) << r.err;
    EXPECT_TRUE(Has(r.err, "kqser send: warning: mark parity is not supported")) << r.err;
    EXPECT_TRUE(Has(r.err, "kqser send: warning: 1.5 stop bits are not supported")) << r.err;
    EXPECT_TRUE(Has(r.err, "line: 115200 bit/s, 8 data bits, no parity, 1 stop bit\n")) << r.err;

    if (kqtest::kEmulated) {
        GTEST_SKIP() << "user-mode emulation does not translate TCGETS2/TCSETS2";
    }
    kqtest::ConfFile conf;
    ASSERT_TRUE(conf.Write("[serial " + pty.SlaveName() + "]\ncustom_baud = on\n"));
    const ChildResult custom =
        kqtest::RunKqser({"--lib", kLib, "send", pty.Def("250000,N,8,1"), "42", "--read", "0"},
                         30000, {"KQSER_CONF=" + conf.path()});
    EXPECT_EQ(custom.exitCode, 0) << custom.err;
    EXPECT_FALSE(Has(custom.err, "warning")) << custom.err;
    EXPECT_TRUE(Has(custom.err, "line: 250000 bit/s, 8 data bits")) << custom.err;
}

TEST(KqserPorts, ListsWithoutOpeningAndTakesNoArguments) {
    ChildResult r = kqtest::RunKqser({"ports"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out.rfind("NAME ", 0), 0u) << r.out;
    r = kqtest::RunKqser({"ports", "ttyS0"});
    EXPECT_EQ(r.exitCode, 2) << r.err;
}

}  // namespace
