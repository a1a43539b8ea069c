// SPDX-License-Identifier: MIT
// kqser.conf's line options on real ptys: device = PATH, exclusive (against
// a second process), custom_baud, write_timeout; and what a pty lacks (the
// RS-485 and serial-info ioctls, RTS) answered by an ioctl interposed in
// this test program, accepted and refused.
#include "SerCom_p.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Capture.h"
#include "FakeSys.h"
#include "Interpose.h"
#include "LineSpeed_p.h"
#include "Process.h"
#include "Pty.h"
#include "SerComProbe.h"
#include "SerialTestUtil.h"
#include "kqSer.h"

// The kernel's record behind TCSETS2 (asm/termbits.h, which cannot share a
// file with <termios.h>): the request's size is all this file needs of it.
struct termios2 {
    tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed, c_ospeed;
};

namespace {

using kqtest::Capture;
using kqtest::NoteLine;
namespace interpose = kqtest::interpose;

const unsigned char* Bytes(const std::string& s) {
    return reinterpret_cast<const unsigned char*>(s.data());
}

// The driver calls a pty does not have, answered for the line under test.
class LineDriver : public interpose::Handler {
public:
    explicit LineDriver(int master) : master_(master) { interpose::Add(this); }
    ~LineDriver() override { interpose::Remove(this); }
    LineDriver(const LineDriver&) = delete;
    LineDriver& operator=(const LineDriver&) = delete;

    struct Call {
        unsigned long request;
        int queuedAtMaster;  // bytes the device had received by then
    };

    bool acceptRs485 = true;
    bool acceptSerial = true;
    bool acceptRts = true;
    bool refuseSpeed = false;
    // Takes a custom speed but keeps a rate of its own in the record, as
    // ftdi_sio (9600) and the 8250 driver (the old or its fastest speed) do.
    int substituteSpeed = 0;

    std::vector<Call> Calls() {
        std::lock_guard<std::mutex> hold(lock_);
        return calls_;
    }
    serial_rs485 rs485() {
        std::lock_guard<std::mutex> hold(lock_);
        return rs485_;
    }
    int serialFlags() {
        std::lock_guard<std::mutex> hold(lock_);
        return serialFlags_;
    }

    bool Ioctl(int fd, unsigned long request, void* arg, int* result) override {
        switch (request) {
            case TIOCSRS485:
            case TIOCGRS485:
                Record(request);
                if (!acceptRs485) {
                    return Refuse(ENOTTY, result);
                }
                if (request == TIOCSRS485) {
                    std::lock_guard<std::mutex> hold(lock_);
                    std::memcpy(&rs485_, arg, sizeof rs485_);
                } else {
                    std::lock_guard<std::mutex> hold(lock_);
                    std::memcpy(arg, &rs485_, sizeof rs485_);
                }
                *result = 0;
                return true;
            case TIOCGSERIAL:
            case TIOCSSERIAL:
                Record(request);
                if (!acceptSerial) {
                    return Refuse(EINVAL, result);
                }
                if (request == TIOCGSERIAL) {
                    serial_struct info{};
                    info.type = PORT_16550A;
                    std::memcpy(arg, &info, sizeof info);
                } else {
                    std::lock_guard<std::mutex> hold(lock_);
                    serialFlags_ = static_cast<const serial_struct*>(arg)->flags;
                }
                *result = 0;
                return true;
            case TIOCMBIS:
            case TIOCMBIC:
                Record(request);
                if (!acceptRts) {
                    return Refuse(ENOTTY, result);
                }
                *result = 0;
                return true;
            case TCGETS2:
                // A driver that keeps a record but takes no speed outside the
                // table; the record's content does not matter here.
                if (refuseSpeed) {
                    std::memset(arg, 0, sizeof(termios2));
                    *result = 0;
                    return true;
                }
                if (substituteSpeed != 0) {
                    *result = static_cast<int>(syscall(SYS_ioctl, fd, TCGETS2, arg));
                    static_cast<termios2*>(arg)->c_ospeed = static_cast<speed_t>(substituteSpeed);
                    return true;
                }
                return false;
            case TCSETS2:
                if (refuseSpeed) {
                    return Refuse(EINVAL, result);
                }
                return false;
            default: return false;
        }
    }

private:
    void Record(unsigned long request) {
        int queued = kqtest::InputQueued(master_);
        if (request == TIOCMBIS || request == TIOCMBIC) {
            // A pty passes written bytes to its master through a work
            // queue, so what the line took may reach the master's queue a
            // little later (under load, after the RTS switch): the count is
            // taken once it has held for 20 ms (at most 1 s).
            for (int held = 0, waited = 0; held < 20 && waited < 1000; ++waited) {
                usleep(1000);
                const int now = kqtest::InputQueued(master_);
                held = now == queued ? held + 1 : 0;
                queued = now;
            }
        }
        std::lock_guard<std::mutex> hold(lock_);
        calls_.push_back({request, queued});
    }
    static bool Refuse(int err, int* result) {
        errno = err;
        *result = -1;
        return true;
    }

    int master_;
    std::mutex lock_;
    std::vector<Call> calls_;
    serial_rs485 rs485_{};
    int serialFlags_ = 0;
};

class LineOptions : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok());
        baseFds = kqtest::OpenFdCount();
    }
    void TearDown() override {
        port.Close();
        conf.Remove();
        Load("");
        FreeSerManager();
    }
    void Load(const std::string& text) {
        if (!text.empty()) {
            ASSERT_TRUE(conf.Write(text));
        }
        FreeSerManager();
        Capture([] { GetSerManager(); });
    }
    // [serial pts/N] with these keys.
    void LoadPort(const std::string& keys) { Load("[serial " + pty.SlaveName() + "]\n" + keys); }
    std::string Tag() { return NoteLine("%s[%x] ", port.GetNote(), port.GetType()); }
    std::string Line(const std::string& text) { return Tag() + text + "\r\n"; }
    std::string OpenLine(const std::string& path, int baud = 9600) const {
        return "CSerCom::Open: " + path + "," + std::to_string(baud) + ",8,N,0\r\n";
    }
    std::string OkLine() { return NoteLine("%s[%x] open ok!\r\n", port.GetNote(), port.GetType()); }

    kqtest::ConfFile conf;
    kqtest::PtyPair pty;
    SerComProbe port{pty.Def().c_str()};
    int baseFds = 0;
};

TEST_F(LineOptions, DeviceIsAPathOfAnyLength) {
    kqtest::TempDir dir;
    const std::string link = dir.path() + "/serial-by-id-usb-FTDI_FT232R_USB_UART_A10K3J2P-port0";
    ASSERT_TRUE(dir.Link(link.substr(dir.path().size() + 1), "/dev/" + pty.SlaveName()));
    // The host's string names a device that is not there; the file names the line.
    SerComProbe named("ttyFIELD7:9600,N,8,1");
    Load("[serial ttyFIELD7]\ndevice = " + link + "\n");
    auto c = Capture([&] { EXPECT_EQ(named.Open(nullptr), 1); });
    EXPECT_EQ(c.log, OpenLine(link) + "set serial done+!\n" +
                         NoteLine("%s[%x] open ok!\r\n", named.GetNote(), named.GetType()));
    EXPECT_STREQ(named.GetNote(), "ttyFIELD7:9600,n,8,1");  // what the host sees stays
    EXPECT_EQ(named.GetType(), 0x100007);
    Capture([&] { EXPECT_EQ(named.Write(Bytes("hi"), 2), 2); });
    EXPECT_EQ(pty.ReadMaster(2, 2000), "hi");
    named.Close();
    EXPECT_EQ(kqtest::OpenFdCount(), baseFds);
}

TEST_F(LineOptions, AUsbIdentityNoAdapterAnswersFailsTheOpen) {
    LoadPort("device = usb:fffe:fffd:NO-SUCH-ADAPTER\n");
    auto c = Capture([&] { EXPECT_EQ(port.Open(nullptr), 0); });
    const std::string prefix = Tag() +
                               "device usb:fffe:fffd:NO-SUCH-ADAPTER: no USB serial line matches; "
                               "the lines: ";
    EXPECT_EQ(c.log.rfind(prefix, 0), 0u) << c.log;
    EXPECT_EQ(kqtest::Lines(c.log).size(), 1u) << c.log;
    EXPECT_EQ(port.IsOpened(), 0);
    EXPECT_EQ(port.GetHandle(), -1);
    EXPECT_EQ(kqtest::OpenFdCount(), baseFds);
}

// What a second process gets while this one holds the line: its Open
// result and its log, through a pipe.
std::string OpenInChild(const std::string& def, int* result) {
    int fds[2];
    if (::pipe(fds) != 0) {
        return "pipe failed";
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        SerComProbe other(def.c_str());
        int opened = 0;
        const kqtest::Captured c = Capture([&] { opened = other.Open(nullptr); });
        const std::string text = std::to_string(opened) + "\n" + c.log;
        if (::write(fds[1], text.data(), text.size()) < 0) {
            ::_exit(2);
        }
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string text;
    char buf[512];
    ssize_t n;
    while ((n = ::read(fds[0], buf, sizeof buf)) > 0) {
        text.append(buf, static_cast<size_t>(n));
    }
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    *result = text.empty() ? -1 : text[0] - '0';
    return text.substr(text.find('\n') + 1);
}

TEST_F(LineOptions, ExclusiveKeepsASecondProcessOutUntilClose) {
    LoadPort("exclusive = on\n");
    auto c = Capture([&] { EXPECT_EQ(port.Open(nullptr), 1); });
    EXPECT_EQ(c.log, OpenLine("/dev/" + pty.SlaveName()) + "set serial done+!\n" + OkLine());

    int result = -1;
    std::string log = OpenInChild(pty.Def(), &result);
    EXPECT_EQ(result, 0) << log;
    EXPECT_NE(log.find("exclusive: /dev/" + pty.SlaveName() + " is held by process " +
                       std::to_string(::getpid()) + " ("),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("set serial done"), std::string::npos) << "the line was left as it is";

    // The holder still works.
    Capture([&] { EXPECT_EQ(port.Write(Bytes("mine"), 4), 4); });
    EXPECT_EQ(pty.ReadMaster(4, 2000), "mine");
    ASSERT_TRUE(pty.WriteMaster("back"));
    unsigned char buf[8];
    Capture([&] { EXPECT_EQ(port.Read(buf, 4, 0), 4); });

    port.Close();
    log = OpenInChild(pty.Def(), &result);
    EXPECT_EQ(result, 1) << log;
    EXPECT_EQ(kqtest::OpenFdCount(), baseFds);
}

// A host that starts a helper (system(), popen, fork and exec) while it
// holds the line: the helper inherits no descriptor of the library's, so
// Close lets the line go, for the host's next Open and for other processes.
TEST_F(LineOptions, AHelperStartedWhileHoldingKeepsNothingAfterClose) {
    LoadPort("exclusive = on\n");
    Capture([&] { ASSERT_EQ(port.Open(nullptr), 1); });
    EXPECT_NE(::fcntl(port.GetHandle(), F_GETFD) & FD_CLOEXEC, 0);
    int hold[2];
    ASSERT_EQ(::pipe2(hold, O_CLOEXEC), 0);  // the helper keeps its stdin alone
    const pid_t helper = ::fork();
    ASSERT_GE(helper, 0);
    if (helper == 0) {
        ::dup2(hold[0], 0);
        ::execl("/bin/sh", "sh", "-c", "read line", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(hold[0]);
    // The helper runs sh (its exec done) before the line is let go.
    auto exe = [](const std::string& proc) {
        char link[512] = {};
        const ssize_t n = ::readlink((proc + "/exe").c_str(), link, sizeof link - 1);
        return n > 0 ? std::string(link, static_cast<size_t>(n)) : std::string();
    };
    const std::string self = exe("/proc/self");
    kqtest::WaitUntil(
        [&] {
            const std::string now = exe("/proc/" + std::to_string(helper));
            return !now.empty() && now != self;
        },
        5000);
    port.Close();
    int result = -1;
    const std::string log = OpenInChild(pty.Def(), &result);
    EXPECT_EQ(result, 1) << log;
    Capture([&] { EXPECT_EQ(port.Open(nullptr), 1); });
    port.Close();
    ::close(hold[1]);  // the helper's read ends
    int status = 0;
    EXPECT_EQ(::waitpid(helper, &status, 0), helper);
    EXPECT_EQ(kqtest::OpenFdCount(), baseFds);
}

TEST_F(LineOptions, CustomBaudIsSetExactlyAndReadBack) {
    // The key off: a speed outside the table gives 115200, as always.
    Load("[serial " + pty.SlaveName() + "]\nframe_gap = auto\n");
    const std::string fast = pty.Def("250000,N,8,1");
    auto c = Capture([&] { EXPECT_EQ(port.Open(fast.c_str()), 1); });
    EXPECT_EQ(c.log.find("custom_baud"), std::string::npos) << c.log;
    const termios line = kqtest::Attr(pty.slave());
    EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B115200));
    port.Close();

    // A driver that refuses it: no Open, nothing held.
    LoadPort("custom_baud = on\nframe_gap = auto\n");
    {
        LineDriver driver(pty.master());
        driver.refuseSpeed = true;
        c = Capture([&] { EXPECT_EQ(port.Open(fast.c_str()), 0); });
        EXPECT_NE(
            c.log.find(Line("custom_baud: 250000 bit/s refused (Invalid argument); not opened")),
            std::string::npos)
            << c.log;
        EXPECT_EQ(c.log.find("open ok"), std::string::npos);
        EXPECT_EQ(port.GetHandle(), -1);
        EXPECT_EQ(kqtest::OpenFdCount(), baseFds);
    }

    if (kqtest::kEmulated) {
        GTEST_SKIP() << "user-mode emulation does not translate TCGETS2/TCSETS2";
    }
    const std::string def = pty.Def("14400,N,8,1");
    c = Capture([&] { EXPECT_EQ(port.Open(def.c_str()), 1); });
    EXPECT_NE(c.log.find(Line("custom_baud: 14400 bit/s asked, 14400 set")), std::string::npos)
        << c.log;
    // The gap follows the speed actually set, not the table's 115200.
    EXPECT_NE(c.log.find("frame gap 2.431 ms (auto: 3.5 characters of 10 bits at 14400 bit/s)"),
              std::string::npos)
        << c.log;
    int bps = 0;
    ASSERT_EQ(kq::ReadLineSpeed(pty.slave(), &bps), 0);
    EXPECT_EQ(bps, 14400);
}

// A rate the driver cannot make: the set succeeds, the record says otherwise.
TEST_F(LineOptions, CustomBaudTheDriverReplacedIsRefused) {
    if (kqtest::kEmulated) {
        GTEST_SKIP() << "user-mode emulation does not translate TCGETS2/TCSETS2";
    }
    LoadPort("custom_baud = on\n");
    const struct {
        const char* def;
        int kept;
        const char* line;  // "" when Open works
    } rows[] = {
        {"3500000,N,8,1", 9600,
         "custom_baud: 3500000 bit/s refused (the driver set 9600); not opened"},
        {"250000,N,8,1", 115200,
         "custom_baud: 250000 bit/s refused (the driver set 115200); not opened"},
        {"31250,N,8,1", 28800,
         "custom_baud: 31250 bit/s refused (the driver set 28800); not opened"},
        {"345600,N,8,1", 347826, ""},  // 3 MHz / 8.625: 0.6 % off, the line still works
    };
    for (const auto& row : rows) {
        LineDriver driver(pty.master());
        driver.substituteSpeed = row.kept;
        const std::string def = pty.Def(row.def);
        const int want = row.line[0] == '\0' ? 1 : 0;
        auto c = Capture([&] { EXPECT_EQ(port.Open(def.c_str()), want) << row.def; });
        if (want == 0) {
            EXPECT_NE(c.log.find(Line(row.line)), std::string::npos) << c.log;
            EXPECT_EQ(port.GetHandle(), -1);
            EXPECT_EQ(kqtest::OpenFdCount(), baseFds);
        } else {
            EXPECT_NE(c.log.find("asked, " + std::to_string(row.kept) + " set"), std::string::npos)
                << c.log;
            port.Close();
        }
    }
}

TEST(CustomBaudRule, ReadBackWithinThreePercentKeepsTheLine) {
    const struct {
        int asked, set;
        bool kept;
    } rows[] = {
        {250000, 250000, true},  {345600, 347826, true},  {100000, 103000, true},
        {100000, 96999, false},  {100000, 103001, false}, {3500000, 9600, false},
        {250000, 115200, false}, {0, 0, false},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(kq::SpeedKept(row.asked, row.set), row.kept) << row.asked << " " << row.set;
    }
}

TEST_F(LineOptions, Rs485HandsDirectionToTheDriverOrFailsTheOpen) {
    LoadPort("rs485 = on\nrs485_delay_before_ms = 2\nrs485_delay_after_ms = 3\n");
    {
        LineDriver driver(pty.master());
        auto c = Capture([&] { EXPECT_EQ(port.Open(nullptr), 1); });
        EXPECT_EQ(c.log, OpenLine("/dev/" + pty.SlaveName()) + "set serial done+!\n" +
                             Line("rs485: on, RTS high on send, low after, delays 2 ms before, "
                                  "3 ms after") +
                             OkLine());
        const serial_rs485 record = driver.rs485();
        EXPECT_EQ(record.flags, static_cast<__u32>(SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND));
        EXPECT_EQ(record.delay_rts_before_send, 2u);
        port.Close();
    }
    // The pty's own answer: it has no RS-485.
    auto c = Capture([&] { EXPECT_EQ(port.Open(nullptr), 0); });
    EXPECT_NE(c.log.find(Tag() + "rs485: the driver refuses RS-485 ("), std::string::npos) << c.log;
    EXPECT_EQ(c.log.find("open ok"), std::string::npos);
    EXPECT_EQ(port.GetHandle(), -1);
    EXPECT_EQ(kqtest::OpenFdCount(), baseFds);
}

TEST_F(LineOptions, Rs485RtsRaisesRtsAroundEachWrite) {
    LoadPort("rs485 = rts\nrs485_delay_after_ms = 1\n");
    LineDriver driver(pty.master());
    Capture([&] { ASSERT_EQ(port.Open(nullptr), 1); });
    auto c = Capture([&] { EXPECT_EQ(port.Write(Bytes("frame"), 5), 5); });
    EXPECT_EQ(c.log, "SEND: 66 72 61 6D 65 \r\n");
    EXPECT_EQ(pty.ReadMaster(5, 2000), "frame");
    const std::vector<LineDriver::Call> calls = driver.Calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].request, static_cast<unsigned long>(TIOCMBIC));  // listening at Open
    EXPECT_EQ(calls[1].request, static_cast<unsigned long>(TIOCMBIS));  // before the bytes
    EXPECT_EQ(calls[1].queuedAtMaster, 0);
    EXPECT_EQ(calls[2].request, static_cast<unsigned long>(TIOCMBIC));  // after them
    EXPECT_EQ(calls[2].queuedAtMaster, 5);
    port.Close();

    // Low on send: the other way round. A line whose RTS cannot be switched
    // is not opened.
    LoadPort("rs485 = rts\nrs485_rts_on_send = low\n");
    Capture([&] { ASSERT_EQ(port.Open(nullptr), 1); });
    Capture([&] { EXPECT_EQ(port.Write(Bytes("x"), 1), 1); });
    const std::vector<LineDriver::Call> low = driver.Calls();
    ASSERT_EQ(low.size(), 6u);
    EXPECT_EQ(low[3].request, static_cast<unsigned long>(TIOCMBIS));
    EXPECT_EQ(low[4].request, static_cast<unsigned long>(TIOCMBIC));
    EXPECT_EQ(low[5].request, static_cast<unsigned long>(TIOCMBIS));
    port.Close();
    driver.acceptRts = false;
    c = Capture([&] { EXPECT_EQ(port.Open(nullptr), 0); });
    EXPECT_NE(c.log.find(Tag() + "rs485: RTS cannot be switched ("), std::string::npos) << c.log;
    EXPECT_EQ(kqtest::OpenFdCount(), baseFds + 0);
}

TEST_F(LineOptions, LowLatencyIsAskedForAndARefusalOnlyLogged) {
    LoadPort("low_latency = on\n");
    {
        LineDriver driver(pty.master());
        auto c = Capture([&] { EXPECT_EQ(port.Open(nullptr), 1); });
        EXPECT_EQ(c.log, OpenLine("/dev/" + pty.SlaveName()) + "set serial done+!\n" + OkLine());
        EXPECT_NE(driver.serialFlags() & ASYNC_LOW_LATENCY, 0);
        port.Close();
        driver.acceptSerial = false;
        c = Capture([&] { EXPECT_EQ(port.Open(nullptr), 1); });
        EXPECT_EQ(c.log, OpenLine("/dev/" + pty.SlaveName()) + "set serial done+!\n" +
                             Line("low_latency: ASYNC_LOW_LATENCY refused (Invalid argument)") +
                             OkLine());
    }
    EXPECT_EQ(port.IsOpened(), 1);
}

TEST_F(LineOptions, WriteTimeoutBoundsAWriteNobodyTakes) {
    LoadPort("write_timeout = 300\n");
    Capture([&] { ASSERT_EQ(port.Open(nullptr), 1); });
    const std::string big(256 * 1024, 'Z');
    int n = 0;
    const double start = kqtest::NowMs();
    auto c = Capture([&] { n = port.Write(Bytes(big), static_cast<int>(big.size())); });
    const double took = kqtest::NowMs() - start;
    EXPECT_GT(n, 0);
    EXPECT_LT(n, static_cast<int>(big.size()));
    EXPECT_GE(took, 290);
    EXPECT_LT(took, 3000);
    EXPECT_NE(c.log.find(Line("write_timeout: " + std::to_string(n) +
                              " of 262144 bytes written "
                              "in 300 ms")),
              std::string::npos)
        << c.log.substr(0, 300);
    EXPECT_EQ(port.IsOpened(), 1);

    // The device reads again: the port goes on, and blocks as it should.
    EXPECT_EQ(pty.ReadMaster(static_cast<size_t>(n), 5000).size(), static_cast<size_t>(n));
    Capture([&] { EXPECT_EQ(port.Write(Bytes("ok"), 2), 2); });
    EXPECT_EQ(pty.ReadMaster(2, 2000), "ok");
    EXPECT_EQ(::fcntl(port.GetHandle(), F_GETFL) & O_NONBLOCK, 0);
}

}  // namespace
