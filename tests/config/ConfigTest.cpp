// SPDX-License-Identifier: MIT
// The configuration file's text: sections, keys, values, defaults, where a
// value comes from, and every kind of bad input.
#include "ConfigFile_p.h"
#include "Config_p.h"

#include <stdlib.h>

#include <clocale>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using kq::Config;
using kq::ConfigSource;
using kq::FrameGap;
using kq::ReplyTimeout;
using kq::SectionKind;

Config Parse(const std::string& text, std::vector<std::string>* problems = nullptr) {
    std::vector<std::string> ignored;
    return Config::Parse("/etc/kqser.conf", text, problems != nullptr ? problems : &ignored);
}

TEST(Config, EmptyTextGivesEveryDefault) {
    std::vector<std::string> problems;
    const Config config = Parse("", &problems);
    EXPECT_TRUE(problems.empty());
    EXPECT_TRUE(config.empty());
    const kq::SerialOptions serial = config.Serial("ttyUSB0");
    EXPECT_EQ(serial.frameGap.mode, FrameGap::kOff);
    EXPECT_EQ(serial.replyTimeout, ReplyTimeout::kLoop);
    EXPECT_EQ(config.Net().sendTimeoutMs, 2000);
}

TEST(Config, FrameGapValues) {
    const struct {
        const char* text;
        bool ok;
        FrameGap::Mode mode;
        double ms;
    } rows[] = {
        {"off", true, FrameGap::kOff, 0},       {"OFF", true, FrameGap::kOff, 0},
        {"auto", true, FrameGap::kAuto, 0},     {"Auto", true, FrameGap::kAuto, 0},
        {"5", true, FrameGap::kFixed, 5},       {"0.5", true, FrameGap::kFixed, 0.5},
        {"1.75", true, FrameGap::kFixed, 1.75}, {"200", true, FrameGap::kFixed, 200},
        {"0.4", false, FrameGap::kOff, 0},      {"200.1", false, FrameGap::kOff, 0},
        {"-3", false, FrameGap::kOff, 0},       {"5ms", false, FrameGap::kOff, 0},
        {"", false, FrameGap::kOff, 0},         {"nan", false, FrameGap::kOff, 0},
        {"inf", false, FrameGap::kOff, 0},      {"1e400", false, FrameGap::kOff, 0},
        {"fast", false, FrameGap::kOff, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        std::vector<std::string> problems;
        const Config config =
            Parse(std::string("[serial]\nframe_gap = ") + row.text + "\n", &problems);
        const FrameGap gap = config.Serial("ttyS0").frameGap;
        EXPECT_EQ(problems.empty(), row.ok);
        EXPECT_EQ(gap.mode, row.mode);
        EXPECT_DOUBLE_EQ(gap.ms, row.ms);
        if (!row.ok) {
            ASSERT_EQ(problems.size(), 1u);
            EXPECT_NE(problems[0].find("/etc/kqser.conf"), std::string::npos) << problems[0];
            EXPECT_NE(problems[0].find("[serial] frame_gap"), std::string::npos) << problems[0];
            EXPECT_NE(problems[0].find(std::string("\"") + row.text + "\""), std::string::npos)
                << problems[0];
            EXPECT_NE(problems[0].find("the default off stays"), std::string::npos) << problems[0];
        }
    }
}

TEST(Config, TheFrameRuleMakesTheGapAutoUnlessTheGapIsSet) {
    const struct {
        const char* text;
        const char* port;
        kq::FrameRule rule;
        FrameGap::Mode gap;
        size_t problems;
    } rows[] = {
        {"[serial]\nframe = modbus_rtu\n", "ttyS0", kq::FrameRule::kModbusRtu, FrameGap::kAuto, 0},
        {"[serial]\nframe = MODBUS_RTU\nframe_gap = off\n", "ttyS0", kq::FrameRule::kModbusRtu,
         FrameGap::kOff, 0},
        {"[serial]\nframe_gap = 5\n[serial ttyS0]\nframe = modbus_rtu\n", "ttyS0",
         kq::FrameRule::kModbusRtu, FrameGap::kFixed, 0},
        {"[serial ttyS0]\nframe = modbus_rtu\n", "ttyS1", kq::FrameRule::kOff, FrameGap::kOff, 0},
        {"[serial]\nframe = off\n", "ttyS0", kq::FrameRule::kOff, FrameGap::kOff, 0},
        {"[serial]\nframe = modbus\n", "ttyS0", kq::FrameRule::kOff, FrameGap::kOff, 1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        std::vector<std::string> problems;
        const Config config = Parse(row.text, &problems);
        const kq::SerialOptions serial = config.Serial(row.port);
        EXPECT_EQ(serial.frame, row.rule);
        EXPECT_EQ(serial.frameGap.mode, row.gap);
        ASSERT_EQ(problems.size(), row.problems);
        if (row.problems != 0) {
            EXPECT_NE(problems[0].find("not off or modbus_rtu; the default off stays"),
                      std::string::npos)
                << problems[0];
        }
        // What `kqser config` shows agrees with what the port does.
        for (const kq::ConfigEntry& entry : config.Describe(SectionKind::kSerial, row.port)) {
            if (std::string(entry.key->name) == "frame_gap") {
                EXPECT_EQ(entry.value == "auto" || entry.value == "5", row.gap != FrameGap::kOff)
                    << entry.value;
            }
        }
    }
}

TEST(Config, NamedSectionsWinOverTheCommonOneAndTouchNoOtherPort) {
    const Config config = Parse(
        "[serial]\nframe_gap = auto\nreply_timeout = host\n"
        "[serial ttyUSB0]\nframe_gap = 5\n"
        "[serial pts/3]\nreply_timeout = loop\n");
    const kq::SerialOptions usb = config.Serial("ttyUSB0");
    EXPECT_EQ(usb.frameGap.mode, FrameGap::kFixed);
    EXPECT_DOUBLE_EQ(usb.frameGap.ms, 5);
    EXPECT_EQ(usb.replyTimeout, ReplyTimeout::kHost);  // from [serial]
    const kq::SerialOptions pts = config.Serial("pts/3");
    EXPECT_EQ(pts.frameGap.mode, FrameGap::kAuto);
    EXPECT_EQ(pts.replyTimeout, ReplyTimeout::kLoop);
    const kq::SerialOptions other = config.Serial("ttyS1");
    EXPECT_EQ(other.frameGap.mode, FrameGap::kAuto);
    EXPECT_EQ(other.replyTimeout, ReplyTimeout::kHost);
}

TEST(Config, NamesAreComparedWithoutRegardToCase) {
    const Config config = Parse("[SERIAL TTYusb0]\nFRAME_GAP = AUTO\n[Net]\nSend_Timeout_Ms = 0\n");
    EXPECT_EQ(config.Serial("ttyUSB0").frameGap.mode, FrameGap::kAuto);
    EXPECT_EQ(config.Net().sendTimeoutMs, 0);
}

TEST(Config, OnlyTheNamedPortIsChanged) {
    const Config config = Parse("[serial ttyUSB1]\nframe_gap = 3\n");
    EXPECT_EQ(config.Serial("ttyUSB1").frameGap.mode, FrameGap::kFixed);
    EXPECT_EQ(config.Serial("ttyUSB0").frameGap.mode, FrameGap::kOff);
    EXPECT_EQ(config.Serial("ttyUSB10").frameGap.mode, FrameGap::kOff);
    EXPECT_EQ(config.Serial("").frameGap.mode, FrameGap::kOff);
}

TEST(Config, SendTimeoutValues) {
    const struct {
        const char* text;
        int ms;  // -1: refused
    } rows[] = {{"0", 0},   {"1", 1},    {"2000", 2000},   {"86400000", 86400000},
                {"-1", -1}, {"1.5", -1}, {"86400001", -1}, {"2s", -1},
                {"", -1}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        std::vector<std::string> problems;
        const Config config = Parse(std::string("[net]\nsend_timeout_ms=") + row.text, &problems);
        EXPECT_EQ(config.Net().sendTimeoutMs, row.ms < 0 ? 2000 : row.ms);
        EXPECT_EQ(problems.size(), row.ms < 0 ? 1u : 0u);
    }
}

TEST(Config, ProblemsNameTheFileSectionKeyAndValue) {
    std::vector<std::string> problems;
    const Config config = Parse(
        "[serail]\nframe_gap = auto\n"  // unknown section
        "[serial]\nfram_gap = auto\n"   // unknown key
        "send_timeout_ms = 10\n"        // a key of another section
        "reply_timeout = soon\n"        // a bad value
        "frame_gap: auto\n"             // no '='
        "[net]\nsend_timeout_ms = 100\n",
        &problems);
    ASSERT_EQ(problems.size(), 5u);
    EXPECT_EQ(problems[0],
              "config /etc/kqser.conf: line 7 \"frame_gap: auto\": not a key = value line; "
              "not used");
    problems.erase(problems.begin());
    EXPECT_EQ(problems[0],
              "config /etc/kqser.conf: [serail] (1 keys): unknown section; its keys "
              "are not used");
    EXPECT_EQ(problems[1],
              "config /etc/kqser.conf: [serial] fram_gap = \"auto\": unknown key; not used");
    EXPECT_EQ(problems[2],
              "config /etc/kqser.conf: [serial] send_timeout_ms = \"10\": belongs in "
              "[net]; not used");
    EXPECT_EQ(problems[3],
              "config /etc/kqser.conf: [serial] reply_timeout = \"soon\": not loop or "
              "host; the default loop stays");
    // What was good is used all the same.
    EXPECT_EQ(config.Net().sendTimeoutMs, 100);
    EXPECT_EQ(config.Serial("ttyS0").frameGap.mode, FrameGap::kOff);
    EXPECT_EQ(config.Serial("ttyS0").replyTimeout, ReplyTimeout::kLoop);
}

TEST(Config, GarbageIsBoundedAndHarmless) {
    // A megabyte of bytes of every value: one problem line for the NUL.
    std::string garbage;
    for (size_t i = 0; i < (1u << 20); ++i) {
        garbage += static_cast<char>((i * 2654435761u) >> 13);
    }
    std::vector<std::string> problems;
    const Config withNul = Parse(garbage, &problems);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_NE(problems[0].find("NUL"), std::string::npos);
    EXPECT_TRUE(withNul.empty());

    // Text garbage without NULs: many unknown keys, a bounded count of lines,
    // each bounded in length.
    std::string text;
    for (int i = 0; i < 20000; ++i) {
        text += "[serial]\nkey" + std::to_string(i) + " = " + std::string(300, 'x') + "\n";
    }
    problems.clear();
    const Config noisy = Parse(text, &problems);
    ASSERT_EQ(problems.size(), Config::kMaxProblemLines);
    EXPECT_NE(problems.back().find("more problems not shown"), std::string::npos);
    for (const std::string& line : problems) {
        EXPECT_LT(line.size(), 300u) << line;
    }
    EXPECT_EQ(noisy.Serial("ttyS0").frameGap.mode, FrameGap::kOff);
}

TEST(Config, DescribeSaysWhereEachValueCameFrom) {
    const Config config = Parse(
        "[serial]\nreply_timeout = host\n[serial ttyUSB0]\nframe_gap = auto\n"
        "[net]\ncapture = /var/log/net.cap\n");
    const std::vector<kq::ConfigEntry> usb = config.Describe(SectionKind::kSerial, "ttyUSB0");
    ASSERT_EQ(usb.size(), 14u);  // every serial key, in the table's order
    EXPECT_STREQ(usb[0].key->name, "frame_gap");
    EXPECT_EQ(usb[0].value, "auto");
    EXPECT_EQ(kq::SourceText(usb[0].source, "ttyUSB0"), "[serial ttyUSB0]");
    EXPECT_STREQ(usb[1].key->name, "reply_timeout");
    EXPECT_EQ(usb[1].value, "host");
    EXPECT_EQ(kq::SourceText(usb[1].source, "ttyUSB0"), "[serial]");

    EXPECT_STREQ(usb[2].key->name, "capture");
    EXPECT_EQ(usb[2].value, "none");  // the [net] capture is no serial port's

    const std::vector<kq::ConfigEntry> net = config.Describe(SectionKind::kNet);
    ASSERT_EQ(net.size(), 3u);
    EXPECT_EQ(net[0].value, "2000");
    EXPECT_EQ(kq::SourceText(net[0].source, ""), "default");
    EXPECT_EQ(net[1].value, "/var/log/net.cap");
    EXPECT_EQ(kq::SourceText(net[1].source, ""), "[net]");
}

TEST(Config, LogKeys) {
    const kq::LogOptions defaults = Parse("").Log();
    EXPECT_EQ(defaults.to, kq::LogTo::kNone);
    EXPECT_TRUE(defaults.timestamps);
    EXPECT_EQ(defaults.maxKib, 1024);
    EXPECT_FALSE(defaults.consoleLinesLogged);

    const struct {
        const char* text;
        bool ok;
        kq::LogTo to;
        const char* file;
    } rows[] = {
        {"to = none", true, kq::LogTo::kNone, ""},
        {"to = STDERR", true, kq::LogTo::kStderr, ""},
        {"to = syslog", true, kq::LogTo::kSyslog, ""},
        {"to = /var/log/kqser.log", true, kq::LogTo::kFile, "/var/log/kqser.log"},
        {"to = /var/log/with blank.log", true, kq::LogTo::kFile, "/var/log/with blank.log"},
        {"to = kqser.log", false, kq::LogTo::kNone, ""},  // relative to what?
        {"to = /var/log/", false, kq::LogTo::kNone, ""},  // a folder
        {"to = /", false, kq::LogTo::kNone, ""},
        {"to = ", false, kq::LogTo::kNone, ""},
        {"to = stdout", false, kq::LogTo::kNone, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        std::vector<std::string> problems;
        const kq::LogOptions log = Parse(std::string("[log]\n") + row.text + "\n", &problems).Log();
        EXPECT_EQ(problems.empty(), row.ok);
        EXPECT_EQ(log.to, row.to);
        EXPECT_EQ(log.file, row.file);
    }

    std::vector<std::string> problems;
    const kq::LogOptions set =
        Parse("[log]\ntimestamps = off\nmax_kib = 64\nconsole_lines = log\n", &problems).Log();
    EXPECT_TRUE(problems.empty());
    EXPECT_FALSE(set.timestamps);
    EXPECT_EQ(set.maxKib, 64);
    EXPECT_TRUE(set.consoleLinesLogged);

    for (const char* bad : {"timestamps = yes", "max_kib = 0", "max_kib = 1.5", "max_kib = 1048577",
                            "console_lines = stderr"}) {
        SCOPED_TRACE(bad);
        problems.clear();
        const kq::LogOptions log = Parse(std::string("[log]\n") + bad + "\n", &problems).Log();
        EXPECT_EQ(problems.size(), 1u);
        EXPECT_TRUE(log.timestamps);
        EXPECT_EQ(log.maxKib, 1024);
        EXPECT_FALSE(log.consoleLinesLogged);
    }
}

// capture and capture_max_kib mean one thing in [serial], [serial NAME] and
// [net], each section its own ports.
TEST(Config, CaptureKeysInEachPortSection) {
    std::vector<std::string> problems;
    const Config config = Parse(
        "[serial]\ncapture = /tmp/all.cap\ncapture_max_kib = 8\n"
        "[serial ttyS1]\ncapture = none\n"
        "[serial ttyUSB0]\ncapture = /tmp/usb.cap\n"
        "[net]\ncapture = /tmp/net.cap\ncapture_max_kib = 16\n"
        "[log]\ncapture = /tmp/log.cap\n",
        &problems);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_NE(problems[0].find("[log] capture = \"/tmp/log.cap\": belongs in [serial]"),
              std::string::npos)
        << problems[0];
    EXPECT_EQ(config.Serial("ttyS0").capture.file, "/tmp/all.cap");
    EXPECT_EQ(config.Serial("ttyS0").capture.maxKib, 8);
    EXPECT_EQ(config.Serial("ttyS1").capture.file, "");
    EXPECT_EQ(config.Serial("ttyUSB0").capture.file, "/tmp/usb.cap");
    EXPECT_EQ(config.Serial("ttyUSB0").capture.maxKib, 8);
    EXPECT_EQ(config.Net().capture.file, "/tmp/net.cap");
    EXPECT_EQ(config.Net().capture.maxKib, 16);

    problems.clear();
    const Config bad = Parse("[net]\ncapture = net.cap\ncapture_max_kib = -1\n", &problems);
    EXPECT_EQ(problems.size(), 2u);
    EXPECT_EQ(bad.Net().capture.file, "");
    EXPECT_EQ(bad.Net().capture.maxKib, 1024);
}

// The keys of the field options: each value that is used, and what a bad
// one gives (its default).
TEST(Config, DeviceValues) {
    const struct {
        const char* text;
        bool ok;
        kq::DeviceOption::Kind kind;
        unsigned vendor, product;
        const char* serial;
        int interface;
    } rows[] = {
        {"/dev/serial/by-id/usb-FTDI_FT232R-if00-port0", true, kq::DeviceOption::kPath, 0, 0, "",
         -1},
        {"/dev/ttyUSB3", true, kq::DeviceOption::kPath, 0, 0, "", -1},
        {"usb:0403:6001", true, kq::DeviceOption::kUsb, 0x0403, 0x6001, "", -1},
        {"USB:10C4:ea60:0001", true, kq::DeviceOption::kUsb, 0x10c4, 0xea60, "0001", -1},
        {"usb:0403:6010:FT4X2Z:1", true, kq::DeviceOption::kUsb, 0x0403, 0x6010, "FT4X2Z", 1},
        {"usb:0403:6010::1", true, kq::DeviceOption::kUsb, 0x0403, 0x6010, "", 1},
        {"ttyUSB0", false, kq::DeviceOption::kName, 0, 0, "", -1},  // not absolute
        {"usb:403:6001", false, kq::DeviceOption::kName, 0, 0, "", -1},
        {"usb:0403:60g1", false, kq::DeviceOption::kName, 0, 0, "", -1},
        {"usb:0403", false, kq::DeviceOption::kName, 0, 0, "", -1},
        {"usb:0403:6001:A:1:2", false, kq::DeviceOption::kName, 0, 0, "", -1},
        {"usb:0403:6001:A:256", false, kq::DeviceOption::kName, 0, 0, "", -1},
        {"usb:0403:6001:A:x", false, kq::DeviceOption::kName, 0, 0, "", -1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        std::vector<std::string> problems;
        const Config config =
            Parse(std::string("[serial ttyS0]\ndevice = ") + row.text + "\n", &problems);
        const kq::DeviceOption device = config.Serial("ttyS0").device;
        EXPECT_EQ(problems.empty(), row.ok);
        EXPECT_EQ(device.kind, row.kind);
        if (row.kind == kq::DeviceOption::kPath) {
            EXPECT_EQ(device.path, row.text);
        }
        EXPECT_EQ(device.usb.vendor, row.vendor);
        EXPECT_EQ(device.usb.product, row.product);
        EXPECT_EQ(device.usb.serial, row.serial);
        EXPECT_EQ(device.usb.interface, row.interface);
    }
    // The default opens /dev/NAME; a path longer than a device name fits.
    EXPECT_EQ(Parse("").Serial("ttyS0").device.kind, kq::DeviceOption::kName);
    const std::string longPath = "/dev/serial/by-path/" + std::string(200, 'p');
    EXPECT_EQ(Parse("[serial]\ndevice = " + longPath + "\n").Serial("x").device.path, longPath);
}

TEST(Config, LineOptionValues) {
    const struct {
        const char* text;
        bool ok;
    } rows[] = {
        {"exclusive = on", true},
        {"exclusive = OFF", true},
        {"exclusive = yes", false},
        {"low_latency = on", true},
        {"low_latency = 1", false},
        {"custom_baud = on", true},
        {"rs485 = on", true},
        {"rs485 = rts", true},
        {"rs485 = RTS", true},
        {"rs485 = auto", false},
        {"rs485_rts_on_send = low", true},
        {"rs485_rts_on_send = 0", false},
        {"rs485_delay_before_ms = 100", true},
        {"rs485_delay_before_ms = 101", false},
        {"rs485_delay_after_ms = 2.5", false},
        {"rs485_delay_after_ms = -1", false},
        {"write_timeout = auto", true},
        {"write_timeout = 1", true},
        {"write_timeout = 3600000", true},
        {"write_timeout = 0", false},
        {"write_timeout = 1.5", false},
        {"write_timeout = never", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        std::vector<std::string> problems;
        Parse(std::string("[serial]\n") + row.text + "\n", &problems);
        EXPECT_EQ(problems.empty(), row.ok) << (problems.empty() ? "" : problems.front());
    }
    const kq::SerialOptions set =
        Parse(
            "[serial]\nexclusive = on\nlow_latency = on\ncustom_baud = on\nrs485 = rts\n"
            "rs485_rts_on_send = low\nrs485_delay_before_ms = 3\nrs485_delay_after_ms = 7\n"
            "write_timeout = 250\n")
            .Serial("ttyS1");
    EXPECT_TRUE(set.exclusive);
    EXPECT_TRUE(set.lowLatency);
    EXPECT_TRUE(set.customBaud);
    EXPECT_EQ(set.rs485.mode, kq::Rs485Options::kRts);
    EXPECT_FALSE(set.rs485.rtsHighOnSend);
    EXPECT_EQ(set.rs485.delayBeforeMs, 3);
    EXPECT_EQ(set.rs485.delayAfterMs, 7);
    EXPECT_EQ(set.writeTimeout.mode, kq::WriteTimeout::kFixed);
    EXPECT_EQ(set.writeTimeout.ms, 250);
    // Defaults: today's behaviour.
    const kq::SerialOptions plain = Parse("").Serial("ttyS1");
    EXPECT_FALSE(plain.exclusive || plain.lowLatency || plain.customBaud);
    EXPECT_EQ(plain.rs485.mode, kq::Rs485Options::kOff);
    EXPECT_TRUE(plain.rs485.rtsHighOnSend);
    EXPECT_EQ(plain.writeTimeout.mode, kq::WriteTimeout::kOff);
}

TEST(Config, Path) {
    EXPECT_EQ(kq::ConfigPath(nullptr), "/etc/kqser.conf");
    EXPECT_EQ(kq::ConfigPath(""), "");
    EXPECT_EQ(kq::ConfigPath("/tmp/x.conf"), "/tmp/x.conf");
}

TEST(Config, TheDefaultsParseAndTheExampleListsEveryKey) {
    std::ifstream in(KQTEST_CONF_EXAMPLE);
    ASSERT_TRUE(in.good()) << KQTEST_CONF_EXAMPLE;
    std::stringstream example;
    example << in.rdbuf();
    for (const kq::ConfigKey& key : kq::ConfigKeys()) {
        SCOPED_TRACE(key.name);
        kq::Options options;
        std::string why;
        EXPECT_TRUE(key.parse(key.defaultText, &options, &why)) << why;
        // Commented out at its default, so the file changes nothing as it is.
        EXPECT_NE(example.str().find(std::string("# ") + key.name + " = " + key.defaultText + "\n"),
                  std::string::npos);
    }
    // The example itself, uncommented, is a valid file.
    std::vector<std::string> problems;
    Parse(example.str(), &problems);
    EXPECT_TRUE(problems.empty()) << problems.front();
}

// One grammar for numbers: digits, a fraction after one '.'; no sign,
// blank, exponent or hex form.
void CheckNumberRows() {
    const struct {
        const char* text;
        int kib;     // max_kib; -1: refused
        double gap;  // frame_gap in ms; -1: refused
    } rows[] = {
        {"16", 16, 16},    {"0016", 16, 16},     {"2.5", -1, 2.5}, {"10.0", 10, 10},
        {"0x10", -1, -1},  {"1e3", -1, -1},      {"1E1", -1, -1},  {"2,5", -1, -1},
        {"+5", -1, -1},    {"5.", -1, -1},       {".5", -1, -1},   {"1.2.3", -1, -1},
        {"0x1p3", -1, -1}, {"infinity", -1, -1}, {"5 5", -1, -1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        std::vector<std::string> problems;
        const Config config = Parse(std::string("[log]\nmax_kib = ") + row.text +
                                        "\n[serial]\nframe_gap = " + row.text + "\n",
                                    &problems);
        EXPECT_EQ(config.Log().maxKib, row.kib < 0 ? 1024 : row.kib);
        const FrameGap gap = config.Serial("ttyS0").frameGap;
        EXPECT_EQ(gap.mode, row.gap < 0 ? FrameGap::kOff : FrameGap::kFixed);
        EXPECT_DOUBLE_EQ(gap.ms, row.gap < 0 ? 0 : row.gap);
        EXPECT_EQ(problems.size(), (row.kib < 0 ? 1u : 0u) + (row.gap < 0 ? 1u : 0u));
    }
}

TEST(Config, NumbersAreDigitsWithADecimalPointOnly) {
    CheckNumberRows();
}

// A host that set a locale whose decimal mark is a comma: numbers read as
// in any other. The locale is built in the test's folder (localedef).
TEST(Config, NumbersReadTheSameInACommaLocale) {
    char dir[] = "/tmp/kqlocale.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::ofstream(std::string(dir) + "/comma")
        << "LC_CTYPE\ncopy \"POSIX\"\nEND LC_CTYPE\nLC_NUMERIC\ndecimal_point \",\"\n"
           "thousands_sep \".\"\ngrouping 3;3\nEND LC_NUMERIC\n";
    // Warnings (categories left out) give a non-zero status; the locale is made.
    const std::string at = std::string("'") + dir;
    (void)!std::system(
        ("localedef -c -i " + at + "/comma' -f ANSI_X3.4-1968 " + at + "/kqcomma' >/dev/null 2>&1")
            .c_str());
    setenv("LOCPATH", dir, 1);
    const std::string before = std::setlocale(LC_ALL, nullptr);
    const bool comma = std::setlocale(LC_ALL, "kqcomma") != nullptr &&
                       std::strtod("2.5", nullptr) == 2.0;  // strtod stops at the '.'
    if (comma) {
        CheckNumberRows();
    }
    std::setlocale(LC_ALL, before.c_str());
    unsetenv("LOCPATH");
    (void)!std::system(("rm -rf " + at + "'").c_str());
    if (!comma) {
        GTEST_SKIP() << "no comma-decimal locale could be built here (localedef)";
    }
}

// A byte-order mark in front of the first line is taken silently; one
// anywhere else is text like any other.
TEST(Config, AByteOrderMarkAtTheTopIsTakenSilently) {
    const std::string bom = "\xEF\xBB\xBF";
    std::vector<std::string> problems;
    Config config = Parse(bom + "[serial]\nframe_gap = auto\n", &problems);
    EXPECT_TRUE(problems.empty()) << problems.front();
    EXPECT_EQ(config.Serial("ttyS0").frameGap.mode, FrameGap::kAuto);
    config = Parse(bom + "# a comment\n[net]\nsend_timeout_ms = 5\n", &problems);
    EXPECT_TRUE(problems.empty()) << problems.front();
    EXPECT_EQ(config.Net().sendTimeoutMs, 5);
    config = Parse("[serial]\n" + bom + "frame_gap = auto\n", &problems);
    EXPECT_EQ(problems.size(), 1u);
    EXPECT_EQ(config.Serial("ttyS0").frameGap.mode, FrameGap::kOff);
}

// The limit the documentation states is the one the reader enforces.
TEST(Config, TheDocumentedSizeLimitIsTheEnforcedOne) {
    std::ifstream in(KQTEST_HOSTILE_DOC);
    ASSERT_TRUE(in.good()) << KQTEST_HOSTILE_DOC;
    std::stringstream doc;
    doc << in.rdbuf();
    EXPECT_NE(doc.str().find("The largest kqser.conf read: " +
                             std::to_string(kq::kConfigFileLimit) + " bytes"),
              std::string::npos);
}

}  // namespace
