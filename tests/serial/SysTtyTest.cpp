// SPDX-License-Identifier: MIT
// What the system tells of its serial lines, read from trees the test builds
// (sysfs, /dev) and from the machine's own lock table; and the pure rules of
// the line options: the RS-485 record, the RTS level, the write bound.
#include "SysTty_p.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "FakeSys.h"
#include "FrameTiming_p.h"
#include "LineSettings_p.h"

namespace {

using Names = std::vector<std::string>;

kqtest::FakeUsbTty Adapter(const std::string& name, const std::string& serial, int port,
                           int interface = 0) {
    kqtest::FakeUsbTty tty;
    tty.name = name;
    tty.serial = serial;
    tty.port = port;
    tty.interface = interface;
    tty.latencyTimer = 16;
    return tty;
}

kq::UsbIdentity Identity(unsigned vendor, unsigned product, const std::string& serial = "",
                         int interface = -1) {
    kq::UsbIdentity id;
    id.vendor = vendor;
    id.product = product;
    id.serial = serial;
    id.interface = interface;
    return id;
}

TEST(SerialLines, ListedFromSysfsWithoutVirtualTtysOrEmptyUartSlots) {
    kqtest::FakeSysfs sys;
    sys.AddUsb(Adapter("ttyUSB0", "A1", 1));
    sys.AddUart("ttyS0");
    sys.AddUart("ttyS3", 0);  // reserved by the driver, no port behind it
    sys.AddVirtual("tty1");
    EXPECT_EQ(kq::ListSerialTtys(sys.root()), (Names{"ttyS0", "ttyUSB0"}));
    EXPECT_EQ(kq::ListSerialTtys(sys.root() + "/nothing"), Names{});
}

TEST(UsbIdentity, OneNoneTwoAndAReplugUnderAnotherName) {
    kqtest::FakeSysfs sys;
    sys.AddUsb(Adapter("ttyUSB0", "A10K3J2P", 1));
    kqtest::FakeUsbTty cp = Adapter("ttyUSB1", "0001", 2);
    cp.driver = "cp210x";
    cp.vendor = "10c4";
    cp.product = "ea60";
    cp.latencyTimer = -1;
    sys.AddUsb(cp);

    kq::UsbMatch one = kq::MatchUsb(sys.root(), Identity(0x0403, 0x6001));
    EXPECT_EQ(one.matches, Names{"ttyUSB0"});
    EXPECT_EQ(one.candidates, (Names{"ttyUSB0 0403:6001 serial A10K3J2P interface 0",
                                     "ttyUSB1 10c4:ea60 serial 0001 interface 0"}));
    EXPECT_EQ(kq::MatchUsb(sys.root(), Identity(0x0403, 0x6015)).matches, Names{});
    EXPECT_EQ(kq::MatchUsb(sys.root(), Identity(0x0403, 0x6001, "NOPE")).matches, Names{});

    // A second adapter of the same kind: two matches until the serial says which.
    sys.AddUsb(Adapter("ttyUSB2", "B20Q7", 3));
    EXPECT_EQ(kq::MatchUsb(sys.root(), Identity(0x0403, 0x6001)).matches,
              (Names{"ttyUSB0", "ttyUSB2"}));
    EXPECT_EQ(kq::MatchUsb(sys.root(), Identity(0x0403, 0x6001, "B20Q7")).matches,
              Names{"ttyUSB2"});

    // Unplugged and back in after the other one: the same adapter, another name.
    sys.Remove("ttyUSB0");
    EXPECT_EQ(kq::MatchUsb(sys.root(), Identity(0x0403, 0x6001, "A10K3J2P")).matches, Names{});
    sys.AddUsb(Adapter("ttyUSB3", "A10K3J2P", 1));
    EXPECT_EQ(kq::MatchUsb(sys.root(), Identity(0x0403, 0x6001, "A10K3J2P")).matches,
              Names{"ttyUSB3"});
}

TEST(UsbIdentity, TheInterfaceOfAMultiPortAdapter) {
    kqtest::FakeSysfs sys;
    kqtest::FakeUsbTty a = Adapter("ttyUSB0", "FT4X2Z", 1, 0);
    a.product = "6010";
    kqtest::FakeUsbTty b = Adapter("ttyUSB1", "FT4X2Z", 1, 1);
    b.product = "6010";
    sys.AddUsb(a);
    sys.AddUsb(b);
    EXPECT_EQ(kq::MatchUsb(sys.root(), Identity(0x0403, 0x6010, "FT4X2Z")).matches.size(), 2u);
    EXPECT_EQ(kq::MatchUsb(sys.root(), Identity(0x0403, 0x6010, "FT4X2Z", 1)).matches,
              Names{"ttyUSB1"});
    EXPECT_EQ(kq::MatchUsb(sys.root(), Identity(0x0403, 0x6010, "", 0)).matches, Names{"ttyUSB0"});
}

TEST(DevLinks, ByIdLinksAndThePathsThatLeadToATty) {
    kqtest::TempDir dev;
    ASSERT_TRUE(dev.WriteFile("ttyUSB0", ""));
    ASSERT_TRUE(dev.WriteFile("ttyUSB1", ""));
    ASSERT_TRUE(dev.Link("serial/by-id/usb-FTDI_FT232R_A10K3J2P-if00-port0", "../../ttyUSB1"));
    ASSERT_TRUE(dev.Link("serial/by-id/usb-Silicon_CP2102_0001-if00-port0", "../../ttyUSB0"));
    ASSERT_TRUE(dev.Link("modbus", "serial/by-id/usb-FTDI_FT232R_A10K3J2P-if00-port0"));
    EXPECT_EQ(kq::ByIdLink(dev.path(), "ttyUSB1"),
              dev.path() + "/serial/by-id/usb-FTDI_FT232R_A10K3J2P-if00-port0");
    EXPECT_EQ(kq::ByIdLink(dev.path(), "ttyS0"), "");
    EXPECT_EQ(kq::TtyNameOfPath(dev.path(), dev.path() + "/modbus"), "ttyUSB1");
    EXPECT_EQ(kq::TtyNameOfPath(dev.path(), dev.path() + "/ttyUSB0"), "ttyUSB0");
    EXPECT_EQ(kq::TtyNameOfPath(dev.path(), dev.path() + "/../etc/passwd"), "");
    EXPECT_EQ(kq::TtyNameOfPath("/dev", "/dev/null"), "null");
    EXPECT_EQ(kq::TtyNameOfPath(dev.path(), dev.path() + "/ttyUSB9"), "");  // nothing there
}

TEST(LatencyTimer, SetToOneMillisecondAutoSeesIt) {
    kqtest::FakeSysfs sys;
    sys.AddUsb(Adapter("ttyUSB0", "A1", 1));
    EXPECT_EQ(kq::AdapterLatencyOf(kq::ReadTty(sys.root(), "ttyUSB0")).ns, 17000000);
    EXPECT_EQ(kq::WriteLatencyTimer(sys.root(), "ttyUSB0", 1), 0);
    std::ifstream timer(sys.LatencyTimerPath("ttyUSB0"));
    std::string text;
    std::getline(timer, text);
    EXPECT_EQ(text, "1");
    const kq::GapChoice gap =
        kq::WorkOutFrameGap({kq::FrameGap::kAuto, 0}, kq::PlannedLineTiming(9600, 8, 'N', 0),
                            kq::AdapterLatencyOf(kq::ReadTty(sys.root(), "ttyUSB0")));
    EXPECT_EQ(gap.ns, 3645833);  // 2 ms of latency no longer raise the 9600 gap
    // A driver without the file refuses.
    sys.AddUart("ttyS0");
    EXPECT_NE(kq::WriteLatencyTimer(sys.root(), "ttyS0", 1), 0);
    EXPECT_NE(kq::WriteLatencyTimer(sys.root(), "../ttyS0", 1), 0);
}

TEST(LockHolder, TheLockTableNamesTheProcess) {
    const std::string table =
        "1: POSIX  ADVISORY  WRITE 555 00:1a:6 0 EOF\n"
        "2: FLOCK  ADVISORY  WRITE 1234 00:1a:6 0 EOF\n"
        "2: -> FLOCK  ADVISORY  WRITE 999 00:1a:6 0 EOF\n"
        "3: FLOCK  ADVISORY  WRITE 77 fd:01:1048577 0 EOF\n";
    EXPECT_EQ(kq::LockHolderIn(table, makedev(0, 0x1a), 6), 1234);
    EXPECT_EQ(kq::LockHolderIn(table, makedev(0xfd, 1), 1048577), 77);
    EXPECT_EQ(kq::LockHolderIn(table, makedev(0, 0x1a), 7), 0);
    EXPECT_EQ(kq::LockHolderIn("garbage\n\n1:\n", makedev(0, 0x1a), 6), 0);
    EXPECT_EQ(kq::DescribeHolder({1234, "modbusd"}), "process 1234 (modbusd)");
    EXPECT_EQ(kq::DescribeHolder({1234, ""}), "process 1234");
    EXPECT_EQ(kq::DescribeHolder({}), "another process");

    // This machine's own table, with a lock this process holds.
    kqtest::TempDir dir;
    ASSERT_TRUE(dir.WriteFile("line", ""));
    const int fd = ::open((dir.path() + "/line").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    struct stat st;
    ASSERT_EQ(::fstat(fd, &st), 0);
    const kq::LockHolder holder = kq::FindLockHolder("/proc", st.st_dev, st.st_ino);
    EXPECT_EQ(holder.pid, ::getpid());
    EXPECT_FALSE(holder.command.empty());
    ::close(fd);
    EXPECT_EQ(kq::FindLockHolder("/proc", st.st_dev, st.st_ino).pid, 0);
}

TEST(LineRules, Rs485RecordRtsLevelsAndTheWriteBound) {
    kq::Rs485Options high;
    high.mode = kq::Rs485Options::kKernel;
    high.delayBeforeMs = 2;
    high.delayAfterMs = 3;
    serial_rs485 record{};
    kq::FillRs485(high, &record);
    EXPECT_EQ(record.flags, static_cast<__u32>(SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND));
    EXPECT_EQ(record.delay_rts_before_send, 2u);
    EXPECT_EQ(record.delay_rts_after_send, 3u);
    EXPECT_EQ(kq::DescribeRs485(record),
              "on, RTS high on send, low after, delays 2 ms before, 3 ms after");
    kq::Rs485Options low = high;
    low.rtsHighOnSend = false;
    kq::FillRs485(low, &record);
    EXPECT_EQ(record.flags, static_cast<__u32>(SER_RS485_ENABLED | SER_RS485_RTS_AFTER_SEND));
    EXPECT_EQ(kq::DescribeRs485(record),
              "on, RTS low on send, high after, delays 2 ms before, 3 ms after");
    record.flags = 0;
    EXPECT_EQ(kq::DescribeRs485(record), "off");

    EXPECT_EQ(kq::RtsRequest(high, true), static_cast<unsigned long>(TIOCMBIS));
    EXPECT_EQ(kq::RtsRequest(high, false), static_cast<unsigned long>(TIOCMBIC));
    EXPECT_EQ(kq::RtsRequest(low, true), static_cast<unsigned long>(TIOCMBIC));
    EXPECT_EQ(kq::RtsRequest(low, false), static_cast<unsigned long>(TIOCMBIS));

    const kq::LineTiming line = kq::PlannedLineTiming(9600, 8, 'E', 0);  // 11 bits
    EXPECT_EQ(kq::WriteBoundNs({kq::WriteTimeout::kOff, 0}, line, 100), -1);
    EXPECT_EQ(kq::WriteBoundNs({kq::WriteTimeout::kFixed, 250}, line, 100), 250000000);
    EXPECT_EQ(kq::WriteBoundNs({kq::WriteTimeout::kAuto, 0}, line, 960), 2100000000);
    EXPECT_EQ(kq::WriteBoundNs({kq::WriteTimeout::kAuto, 0}, {250000, 10}, 2147483647),
              85899345880000LL + 1000000000);
}

}  // namespace
