// SPDX-License-Identifier: MIT
// kqser.conf as kqser shows it and hands it on: the report of `kqser
// config`, the port a DEF names, and the text `listen --gap` gives the
// library, against files and sysfs trees the test builds.
#include "FieldConfig.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "Capture.h"
#include "FakeSys.h"

namespace {

using kqtool::SerialTarget;

kq::ConfigFile Read(const kqtest::ConfFile& conf, const std::string& text) {
    EXPECT_TRUE(conf.Write(text));
    return kq::ReadConfigFile(conf.path());
}

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(ConfigReport, ThePortADefNamesAndItsFields) {
    const SerialTarget usb = kqtool::SerialTargetOf("ttyUSB0:19200,E");
    EXPECT_EQ(usb.name, "ttyUSB0");
    EXPECT_EQ(usb.fields.baud, 19200);
    EXPECT_EQ(usb.fields.parity, 2);
    EXPECT_EQ(usb.fields.dataBits, 8);  // the defaults stand for what is left out
    EXPECT_EQ(usb.fields.stopBits, 1);
    EXPECT_EQ(kqtool::SerialTargetOf("pts/12:9600").name, "pts/12");
    EXPECT_EQ(kqtool::SerialTargetOf("ttyS10:57600").name, "ttyS10");
}

TEST(ConfigReport, KeysSourcesProblemsAndTheGap) {
    kqtest::ConfFile conf;
    const kq::ConfigFile file = Read(
        conf, "[serial]\nframe_gap = auto\nspeed = 9\n[serial ttyUSB0]\nreply_timeout = host\n");
    kqtest::FakeSysfs sys;
    kqtest::FakeUsbTty ftdi;
    ftdi.name = "ttyUSB0";
    ftdi.latencyTimer = 16;
    sys.AddUsb(ftdi);

    const SerialTarget usb = kqtool::SerialTargetOf("ttyUSB0:9600,N,8,1");
    const std::string report = kqtool::ConfigReport(file, &usb, false, sys.root(), "/dev");
    EXPECT_TRUE(Has(report, "file: " + conf.path() + " (read)\n")) << report;
    EXPECT_TRUE(Has(report, "[serial] speed = \"9\": unknown key")) << report;
    EXPECT_TRUE(Has(report, "frame_gap              = auto         ([serial])\n")) << report;
    EXPECT_TRUE(Has(report, "reply_timeout          = host         ([serial ttyUSB0])\n"))
        << report;
    EXPECT_FALSE(Has(report, "send_timeout_ms")) << report;
    EXPECT_TRUE(Has(report,
                    "frame gap at Open: 17.000 ms (auto: 3.5 characters of 10 bits at 9600 "
                    "bit/s, raised to the ftdi_sio latency_timer 16 ms + 1 ms)\n"))
        << report;

    // A line the file gives no gap, and a network port.
    conf.Write("[serial pts/4]\nframe_gap = 8\n");
    const kq::ConfigFile other = kq::ReadConfigFile(conf.path());
    const SerialTarget pty = kqtool::SerialTargetOf("pts/5:9600");
    EXPECT_TRUE(Has(kqtool::ConfigReport(other, &pty, false, sys.root(), "/dev"),
                    "frame gap at Open: off (a reply ends at 0.2 s of silence)\n"));
    const std::string net = kqtool::ConfigReport(other, &pty, true, sys.root(), "/dev");
    EXPECT_TRUE(Has(net, "send_timeout_ms        = 2000         (default)\n")) << net;
    EXPECT_FALSE(Has(net, "frame_gap")) << net;
    const std::string all = kqtool::ConfigReport(other, nullptr, false, sys.root(), "/dev");
    EXPECT_TRUE(Has(all, "[serial NAME] sections: pts/4\n")) << all;

    conf.Remove();
    EXPECT_TRUE(
        Has(kqtool::ConfigReport(kq::ReadConfigFile(conf.path()), nullptr, false, "/sys", "/dev"),
            "(not there); every key at its default\n"));
    EXPECT_TRUE(Has(kqtool::ConfigReport(kq::ReadConfigFile(""), nullptr, false, "/sys", "/dev"),
                    "file: none (KQSER_CONF is set and empty)"));
}

TEST(ConfigReport, TheGapListenHandsTheLibrary) {
    kqtest::ConfFile conf;
    std::string text, error;
    // The file's own keys stay; its gap for the port gives way to --gap.
    const kq::ConfigFile file =
        Read(conf, "[serial]\nreply_timeout = host\n[serial pts/3]\nframe_gap = 7\n");
    ASSERT_TRUE(kqtool::TextWithGap(file, "pts/3", "12.5", &text, &error)) << error;
    const kq::Config config = kq::Config::Parse("mem", text, nullptr);
    EXPECT_EQ(config.Serial("pts/3").frameGap.mode, kq::FrameGap::kFixed);
    EXPECT_DOUBLE_EQ(config.Serial("pts/3").frameGap.ms, 12.5);
    EXPECT_EQ(config.Serial("pts/3").replyTimeout, kq::ReplyTimeout::kHost);

    // A file that is no ini text: the gap alone.
    const kq::ConfigFile broken = Read(conf, std::string("[serial]\0x", 10));
    ASSERT_TRUE(kqtool::TextWithGap(broken, "pts/3", "auto", &text, &error));
    EXPECT_EQ(text, "\n[serial pts/3]\nframe_gap = auto\n");

    for (const char* bad : {"0.1", "300", "soon", ""}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(kqtool::TextWithGap(file, "pts/3", bad, &text, &error));
        EXPECT_TRUE(Has(error, "not off, auto or 0.5 to 200")) << error;
    }
}

TEST(ConfigReport, WhatOpenWillOpenAndTheGapAfterLowLatency) {
    kqtest::ConfFile conf;
    kqtest::FakeSysfs sys;
    kqtest::TempDir dev;
    kqtest::FakeUsbTty ftdi;
    ftdi.name = "ttyUSB3";
    ftdi.serial = "A10K3J2P";
    ftdi.latencyTimer = 16;
    sys.AddUsb(ftdi);
    const SerialTarget host = kqtool::SerialTargetOf("ttyUSB0:9600,N,8,1");

    kq::ConfigFile file = Read(conf,
                               "[serial ttyUSB0]\ndevice = usb:0403:6001:A10K3J2P\n"
                               "frame_gap = auto\nlow_latency = on\n");
    std::string report = kqtool::ConfigReport(file, &host, false, sys.root(), dev.path());
    EXPECT_TRUE(Has(report, "opens: " + dev.path() + "/ttyUSB3\n")) << report;
    // The latency timer at 1 ms leaves the character rule.
    EXPECT_TRUE(Has(report, "frame gap at Open: 3.646 ms (auto: 3.5 characters")) << report;

    file = Read(conf, "[serial ttyUSB0]\ndevice = usb:0403:6001:OTHER\n");
    report = kqtool::ConfigReport(file, &host, false, sys.root(), dev.path());
    EXPECT_TRUE(
        Has(report, "opens: nothing: device usb:0403:6001:OTHER: no USB serial line matches"))
        << report;

    // A custom speed counts as set.
    file = Read(conf, "[serial ttyS4]\ncustom_baud = on\nframe_gap = auto\n");
    const SerialTarget slow = kqtool::SerialTargetOf("ttyS4:14400,N,8,1");
    EXPECT_TRUE(Has(kqtool::ConfigReport(file, &slow, false, sys.root(), dev.path()),
                    "frame gap at Open: 2.431 ms"));
}

TEST(PortsReport, EveryLineWithItsIdentityHolderAndSection) {
    kqtest::FakeSysfs sys;
    kqtest::TempDir dev;
    kqtest::FakeUsbTty ftdi;
    ftdi.name = "ttyUSB0";
    ftdi.serial = "A10K3J2P";
    ftdi.latencyTimer = 16;
    sys.AddUsb(ftdi);
    sys.AddUart("ttyS0");
    sys.AddVirtual("tty1");
    ASSERT_TRUE(dev.WriteFile("ttyUSB0", ""));
    ASSERT_TRUE(dev.WriteFile("ttyS0", ""));
    ASSERT_TRUE(dev.Link("serial/by-id/usb-FTDI_FT232R_A10K3J2P-if00-port0", "../../ttyUSB0"));
    // This process holds one of them, as an exclusive port would.
    const int fd = ::open((dev.path() + "/ttyUSB0").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);

    const kq::Config config = kq::Config::Parse("t",
                                                "[serial]\nframe_gap = auto\n[serial TTYUSB0]\n"
                                                "exclusive = on\n",
                                                nullptr);
    const std::string report = kqtool::PortsReport(config, sys.root(), dev.path(), "/proc");
    ::close(fd);
    const std::vector<std::string> rows = kqtest::Lines(report);
    ASSERT_EQ(rows.size(), 3u) << report;
    EXPECT_EQ(rows[0].rfind("NAME ", 0), 0u);
    EXPECT_EQ(rows[1].rfind("ttyS0      serial8250  -", 0), 0u) << rows[1];
    EXPECT_TRUE(Has(rows[1], " [serial] ")) << rows[1];
    EXPECT_EQ(rows[2].rfind("ttyUSB0    ftdi_sio    0403:6001 A10K3J2P     0   16 ms   process " +
                                std::to_string(::getpid()),
                            0),
              0u)
        << rows[2];
    EXPECT_TRUE(Has(rows[2], "[serial ttyUSB0]")) << rows[2];
    EXPECT_TRUE(Has(rows[2], dev.path() + "/serial/by-id/usb-FTDI_FT232R_A10K3J2P-if00-port0\n"))
        << rows[2];
}

TEST(LineReadBack, TheSettingsALineHasAndWhatADefCannotGet) {
    termios tio;
    std::memset(&tio, 0, sizeof tio);
    tio.c_cflag = CS7 | PARENB | CSTOPB;
    cfsetospeed(&tio, B19200);
    EXPECT_EQ(kqtool::LineText(tio, 0), "19200 bit/s, 7 data bits, even parity, 2 stop bits");
    tio.c_cflag = CS8 | PARENB | PARODD;
    cfsetospeed(&tio, B115200);
    EXPECT_EQ(kqtool::LineText(tio, 250000), "250000 bit/s, 8 data bits, odd parity, 1 stop bit");

    EXPECT_TRUE(
        kqtool::DefWarnings(kqtool::SerialTargetOf("ttyS0:9600,N,8,1").fields, false).empty());
    const std::vector<std::string> all =
        kqtool::DefWarnings(kqtool::SerialTargetOf("ttyS0:250000,M,8,1.5").fields, false);
    ASSERT_EQ(all.size(), 3u);
    EXPECT_TRUE(Has(all[0], "250000 bit/s is not in the speed table: the line runs at 115200"));
    EXPECT_EQ(all[1], "mark parity is not supported: the line has no parity");
    EXPECT_EQ(all[2], "1.5 stop bits are not supported: the line has 1");
    // custom_baud sets the speed; a port string without stop bits has the
    // port's default code (1.5 in the note).
    EXPECT_EQ(kqtool::DefWarnings(kqtool::SerialTargetOf("ttyS0:250000,S,8,2").fields, true),
              std::vector<std::string>{"space parity is not supported: the line has no parity"});

    EXPECT_EQ(kqtool::PortDef("/dev/ttyUSB0:9600,N,8,1"), "ttyUSB0:9600,N,8,1");
    EXPECT_EQ(kqtool::PortDef("/dev/pts/3:9600"), "pts/3:9600");
    EXPECT_EQ(kqtool::PortDef("ttyUSB0:9600"), "ttyUSB0:9600");
    EXPECT_EQ(kqtool::PortDef("/dev/gpio"), "/dev/gpio");
}

}  // namespace
