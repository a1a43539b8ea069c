// kqser.conf as kqser shows it and hands it on: the report of `kqser
// config`, the port a DEF names, and the text `listen --gap` gives the
// library, against files and sysfs trees the test builds.
#include "FieldConfig.h"

#include <string>

#include <gtest/gtest.h>

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
    const std::string report = kqtool::ConfigReport(file, &usb, false, sys.root());
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
    EXPECT_TRUE(Has(kqtool::ConfigReport(other, &pty, false, sys.root()),
                    "frame gap at Open: off (a reply ends at 0.2 s of silence)\n"));
    const std::string net = kqtool::ConfigReport(other, &pty, true, sys.root());
    EXPECT_TRUE(Has(net, "send_timeout_ms        = 2000         (default)\n")) << net;
    EXPECT_FALSE(Has(net, "frame_gap")) << net;
    const std::string all = kqtool::ConfigReport(other, nullptr, false, sys.root());
    EXPECT_TRUE(Has(all, "[serial NAME] sections: pts/4\n")) << all;

    conf.Remove();
    EXPECT_TRUE(Has(kqtool::ConfigReport(kq::ReadConfigFile(conf.path()), nullptr, false, "/sys"),
                    "(not there); every key at its default\n"));
    EXPECT_TRUE(Has(kqtool::ConfigReport(kq::ReadConfigFile(""), nullptr, false, "/sys"),
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

}  // namespace
