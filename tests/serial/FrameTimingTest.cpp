// SPDX-License-Identifier: MIT
// When a serial Read ends under kqser.conf's frame gap and reply time-out,
// worked out without a line; the adapter's latency read from a sysfs tree
// the test builds.
#include "FrameTiming_p.h"

#include <gtest/gtest.h>

#include "FakeSys.h"

namespace {

using kq::FrameGap;
using kq::ReplyTimeout;

constexpr long long kMs = 1000000;

TEST(FirstByteWait, AsLongAsTheReadLoopWaitsInSilence) {
    const struct {
        ReplyTimeout mode;
        int timeout;
        long long ns;
    } rows[] = {
        // The single-byte read and the loop's one read: 0.4 s below 2000.
        {ReplyTimeout::kLoop, 0, 400 * kMs},
        {ReplyTimeout::kLoop, -1, 400 * kMs},
        {ReplyTimeout::kLoop, 999, 400 * kMs},
        {ReplyTimeout::kLoop, -999, 400 * kMs},
        {ReplyTimeout::kLoop, 1000, 401 * kMs},
        {ReplyTimeout::kLoop, 1999, 401 * kMs},
        {ReplyTimeout::kLoop, 2000, 602 * kMs},
        {ReplyTimeout::kLoop, 5000, 1205 * kMs},
        {ReplyTimeout::kLoop, -1000, -1},
        {ReplyTimeout::kLoop, -2147483647 - 1, -1},
        {ReplyTimeout::kLoop, 2147483647, 200 * kMs + 2147483LL * 201 * kMs},
        {ReplyTimeout::kHost, 0, 0},
        {ReplyTimeout::kHost, 35, 35 * kMs},
        {ReplyTimeout::kHost, 2000, 2000 * kMs},
        {ReplyTimeout::kHost, -1, -1},
        {ReplyTimeout::kHost, 2147483647, 2147483647LL * kMs},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.timeout) +
                     (row.mode == ReplyTimeout::kHost ? " host" : " loop"));
        EXPECT_EQ(kq::FirstByteWaitNs(row.mode, row.timeout), row.ns);
    }
}

TEST(FrameGap, AutoIsThreeAndAHalfCharactersAtTheLinesSettings) {
    const struct {
        int baud, bits;
        char parity;
        int stop;
        int charBits;
        long long ns;
    } rows[] = {
        {9600, 8, 'N', 0, 10, 3645833},  // 3.5 x 10 bits / 9600
        {19200, 8, 'E', 0, 11, 2005208},
        {19200, 8, 'O', 2, 12, 2187500},
        {1200, 7, 'N', 2, 10, 29166667},
        {600, 5, 'E', 0, 8, 46666667},
        {38400, 8, 'N', 0, 10, 1750000},  // fixed above 19200
        {115200, 8, 'N', 0, 10, 1750000},
        {300, 8, 'N', 0, 10, 1750000},   // not in the table: the line runs at 115200
        {9600, 9, 'N', 0, 10, 3645833},  // 9 data bits give 8
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.baud) + " " + std::to_string(row.bits) + row.parity);
        const kq::LineTiming line = kq::PlannedLineTiming(row.baud, row.bits, row.parity, row.stop);
        EXPECT_EQ(line.charBits, row.charBits);
        const kq::GapChoice gap = kq::WorkOutFrameGap({FrameGap::kAuto, 0}, line, {});
        EXPECT_EQ(gap.ns, row.ns);
    }
    const kq::GapChoice slow =
        kq::WorkOutFrameGap({FrameGap::kAuto, 0}, kq::PlannedLineTiming(9600, 8, 'N', 0), {});
    EXPECT_EQ(slow.why, "auto: 3.5 characters of 10 bits at 9600 bit/s");
    const kq::GapChoice fast =
        kq::WorkOutFrameGap({FrameGap::kAuto, 0}, kq::PlannedLineTiming(57600, 8, 'N', 0), {});
    EXPECT_EQ(fast.why, "auto: fixed above 19200 bit/s");
}

TEST(FrameGap, FixedAndOffIgnoreTheLineAndTheAdapter) {
    const kq::LineTiming line = kq::PlannedLineTiming(9600, 8, 'N', 0);
    const kq::AdapterLatency adapter{17 * kMs, "ftdi_sio latency_timer 16 ms + 1 ms"};
    const kq::GapChoice fixed = kq::WorkOutFrameGap({FrameGap::kFixed, 0.5}, line, adapter);
    EXPECT_EQ(fixed.ns, 500000);
    EXPECT_EQ(fixed.why, "frame_gap 0.500 ms");
    EXPECT_EQ(kq::WorkOutFrameGap({FrameGap::kFixed, 1.75}, line, adapter).ns, 1750000);
    EXPECT_EQ(kq::WorkOutFrameGap({FrameGap::kOff, 0}, line, adapter).ns, 0);
    // auto is raised to what the adapter holds back, never below it.
    const kq::GapChoice raised = kq::WorkOutFrameGap({FrameGap::kAuto, 0}, line, adapter);
    EXPECT_EQ(raised.ns, 17 * kMs);
    EXPECT_EQ(raised.why,
              "auto: 3.5 characters of 10 bits at 9600 bit/s, raised to the ftdi_sio "
              "latency_timer 16 ms + 1 ms");
    const kq::LineTiming slowLine = kq::PlannedLineTiming(600, 8, 'N', 0);
    EXPECT_EQ(kq::WorkOutFrameGap({FrameGap::kAuto, 0}, slowLine, adapter).ns, 58333333);
}

// ---- the adapter's latency, from a sysfs tree -------------------------------

class AdapterLatency : public ::testing::Test {
protected:
    kq::AdapterLatency Of(const std::string& name) {
        return kq::AdapterLatencyOf(kq::ReadTty(sys.root(), name));
    }
    kqtest::FakeSysfs sys;
};

TEST_F(AdapterLatency, LatencyTimerPlusOneMillisecond) {
    kqtest::FakeUsbTty ftdi;
    ftdi.name = "ttyUSB0";
    ftdi.latencyTimer = 16;
    sys.AddUsb(ftdi);
    const kq::AdapterLatency latency = Of("ttyUSB0");
    EXPECT_EQ(latency.ns, 17 * kMs);
    EXPECT_EQ(latency.why, "ftdi_sio latency_timer 16 ms + 1 ms");

    ftdi.name = "ttyUSB1";
    ftdi.port = 2;
    ftdi.latencyTimer = 1;  // low_latency, or set by hand
    sys.AddUsb(ftdi);
    EXPECT_EQ(Of("ttyUSB1").ns, 2 * kMs);
}

TEST_F(AdapterLatency, OtherUsbDriversGetTheFloor) {
    kqtest::FakeUsbTty cp;
    cp.name = "ttyUSB0";
    cp.driver = "cp210x";
    cp.vendor = "10c4";
    cp.product = "ea60";
    sys.AddUsb(cp);
    kqtest::FakeUsbTty acm;
    acm.name = "ttyACM0";
    acm.driver = "cdc_acm";
    acm.port = 3;
    sys.AddUsb(acm);
    EXPECT_EQ(Of("ttyUSB0").ns, kq::kUsbLatencyFloorNs);
    EXPECT_EQ(Of("ttyUSB0").why, "USB adapter (cp210x) floor 10.000 ms");
    EXPECT_EQ(Of("ttyACM0").ns, kq::kUsbLatencyFloorNs);
    EXPECT_EQ(Of("ttyACM0").why, "USB adapter (cdc_acm) floor 10.000 ms");
}

TEST_F(AdapterLatency, NoneForUartsPtysAndWhatIsNotThere) {
    sys.AddUart("ttyS0");
    sys.AddVirtual("tty1");
    for (const char* name : {"ttyS0", "tty1", "pts/3", "ttyUSB9", "", "../class/tty/ttyS0"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(Of(name).ns, 0);
        EXPECT_EQ(Of(name).why, "");
    }
    // The machine's own tree: a pty is no adapter.
    EXPECT_EQ(kq::AdapterLatencyOf(kq::ReadTty("/sys", "pts/0")).ns, 0);
}

TEST_F(AdapterLatency, ReadTtyShowsTheUsbIdentity) {
    kqtest::FakeUsbTty dual;
    dual.name = "ttyUSB3";
    dual.product = "6010";
    dual.serial = "FT4X2Z";
    dual.interface = 1;
    dual.latencyTimer = 16;
    sys.AddUsb(dual);
    const kq::TtyInfo tty = kq::ReadTty(sys.root(), "ttyUSB3");
    EXPECT_TRUE(tty.hardware);
    EXPECT_TRUE(tty.usb);
    EXPECT_EQ(tty.driver, "ftdi_sio");
    EXPECT_EQ(tty.vendor, 0x0403u);
    EXPECT_EQ(tty.product, 0x6010u);
    EXPECT_EQ(tty.serial, "FT4X2Z");
    EXPECT_EQ(tty.interface, 1);
    EXPECT_EQ(tty.latencyTimerMs, 16);

    sys.AddUart("ttyS1");
    const kq::TtyInfo uart = kq::ReadTty(sys.root(), "ttyS1");
    EXPECT_TRUE(uart.hardware);
    EXPECT_FALSE(uart.usb);
    EXPECT_EQ(uart.driver, "serial8250");
    EXPECT_EQ(uart.interface, -1);
    // The serial core's port and controller between the tty and the UART.
    sys.AddUart("ttyS2", 4, "serial", true);
    EXPECT_EQ(kq::ReadTty(sys.root(), "ttyS2").driver, "serial");
}

}  // namespace
