// SPDX-License-Identifier: MIT
// A serial port on the slave side of a pty, with the test playing the device
// on the master side.
#include "SerCom_p.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Capture.h"
#include "Pty.h"
#include "SerComProbe.h"
#include "SerialTestUtil.h"

namespace {

using kqtest::Capture;
using kqtest::NoteLine;

const unsigned char* Bytes(const std::string& s) {
    return reinterpret_cast<const unsigned char*>(s.data());
}

std::string Text(const unsigned char* buf, int n) {
    return n > 0 ? std::string(reinterpret_cast<const char*>(buf), static_cast<size_t>(n)) : "";
}

// Replaces the port's descriptor with /dev/null opened with the given flags,
// so the next system call on it fails the way a broken device would.
void BreakHandle(int handle, int flags) {
    const int fd = ::open("/dev/null", flags);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::dup2(fd, handle), handle);
    ::close(fd);
}

class SerialPort : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok());
        baseFds = kqtest::OpenFdCount();
    }
    void OpenPort() {
        Capture([&] { ASSERT_EQ(port.Open(nullptr), 1); });
        ASSERT_EQ(port.IsOpened(), 1);
    }
    // Puts bytes into the line's input queue and waits until they are there.
    void Queue(const std::string& bytes) {
        const int before = kqtest::InputQueued(pty.slave());
        ASSERT_TRUE(pty.WriteMaster(bytes));
        ASSERT_TRUE(kqtest::WaitUntil(
            [&] {
                return kqtest::InputQueued(pty.slave()) == before + static_cast<int>(bytes.size());
            },
            2000));
    }
    std::string OpenLine() const {
        return "CSerCom::Open: /dev/" + pty.SlaveName() + ",9600,8,N,0\r\n";
    }
    std::string Note() const { return pty.SlaveName() + ":9600,n,8,1"; }

    kqtest::PtyPair pty;
    SerComProbe port{pty.Def().c_str()};
    int baseFds = 0;
};

// ---- open and close --------------------------------------------------------

TEST_F(SerialPort, OpenConfiguresTheLineAndLogs) {
    EXPECT_STREQ(port.GetNote(), Note().c_str());
    auto c = Capture([&] { EXPECT_EQ(port.Open(nullptr), 1); });
    EXPECT_EQ(c.log, OpenLine() + "set serial done+!\n" +
                         NoteLine("%s[%x] open ok!\r\n", Note(), port.GetType()));
    EXPECT_EQ(c.out, kqtest::kConsole ? c.log : "");
    for (const kqtest::SinkCall& call : c.calls) {
        EXPECT_EQ(call.section, "RtLog");
    }
    EXPECT_EQ(port.GetType(), 0x100000 + (pty.SlaveName().back() - '0'));

    ASSERT_EQ(port.IsOpened(), 1);
    const int fd = port.GetHandle();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::fcntl(fd, F_GETFL) & O_NONBLOCK, 0) << "reads must block";
    struct stat mine, slave;
    ASSERT_EQ(::fstat(fd, &mine), 0);
    ASSERT_EQ(::fstat(pty.slave(), &slave), 0);
    EXPECT_EQ(mine.st_rdev, slave.st_rdev);
    EXPECT_EQ(kqtest::Attr(pty.slave()).c_cc[VTIME], 2);

    auto closing = Capture([&] { EXPECT_EQ(port.Close(), 1); });
    EXPECT_EQ(closing.log, "");
    EXPECT_EQ(port.IsOpened(), 0);
    EXPECT_EQ(port.GetHandle(), -1);
    EXPECT_EQ(kqtest::OpenFdCount(), baseFds);
}

TEST_F(SerialPort, OpenAppliesADefinitionString) {
    SerComProbe other(3);
    const std::string def = pty.Def("115200,E,7,2");
    auto c = Capture([&] { EXPECT_EQ(other.Open(def.c_str()), 1); });
    const std::string name = pty.SlaveName();
    const std::string note = name + ":115200,e,7,2";
    EXPECT_STREQ(other.GetNote(), note.c_str());
    EXPECT_EQ(c.log, "CSerCom UpdParams: ComPort: " + name + ", 2, 2\r\n" + "CSerCom::Open: /dev/" +
                         name + ",115200,7,E,2\r\n" + "set serial done+!\n" +
                         NoteLine("%s[%x] open ok!\r\n", note, other.GetType()));
    const termios t = kqtest::Attr(pty.slave());
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
    EXPECT_TRUE((t.c_cflag & CSTOPB) != 0);
    other.Close();
}

TEST_F(SerialPort, OpenFailsOnAMissingDevice) {
    SerComProbe missing("nodev7:9600");
    auto c = Capture([&] { EXPECT_EQ(missing.Open(nullptr), 0); });
    EXPECT_EQ(c.log,
              "CSerCom::Open: /dev/nodev7,9600,8,N,1\r\n"
              "nodev7:9600,n,8,1.5[100007] open error!\r\n");
    EXPECT_EQ(missing.IsOpened(), 0);
    EXPECT_EQ(missing.GetHandle(), -1);

    // Port numbers above 9 take the other path form, which names nothing here.
    SerComProbe twelve(12);
    auto far = Capture([&] { EXPECT_EQ(twelve.Open(nullptr), 0); });
    EXPECT_EQ(far.log,
              "CSerCom::Open: \\\\.\\COM12,9600,8,N,1\r\n"
              "COM12:9600,n,8,1.5[10000c] open error!\r\n");
}

TEST_F(SerialPort, FailedOpenLeavesAnOpenPortClosed) {
    OpenPort();
    Capture([&] { EXPECT_EQ(port.Open("nodev7:9600"), 0); });
    EXPECT_EQ(port.IsOpened(), 0);
    EXPECT_EQ(port.GetHandle(), -1);
    EXPECT_EQ(kqtest::OpenFdCount(), baseFds);
}

TEST_F(SerialPort, ReopeningKeepsOneDescriptor) {
    for (int i = 0; i < 5; ++i) {
        OpenPort();
        EXPECT_EQ(kqtest::OpenFdCount(), baseFds + 1);
    }
    Capture([&] { EXPECT_EQ(port.Write(Bytes("ok"), 2), 2); });
    EXPECT_EQ(pty.ReadMaster(2, 2000), "ok");
    port.Close();
    EXPECT_EQ(kqtest::OpenFdCount(), baseFds);
}

TEST_F(SerialPort, OpenOfSomethingThatIsNotATty) {
    const kqtest::DigitFile file;
    const int digit = file.digit();
    if (digit < 0) {
        GTEST_SKIP() << "no free single-digit descriptor or no /dev/fd";
    }
    const int fds = kqtest::OpenFdCount();
    const std::string def = "fd/" + std::to_string(digit) + ":9600,N,8,1";
    SerComProbe notTty(def.c_str());
    auto c = Capture([&] { EXPECT_EQ(notTty.Open(nullptr), 0); });
    const std::string head = "CSerCom::Open: /dev/fd/" + std::to_string(digit) + ",9600,8,N,0\r\n";
    const std::string tail =
        NoteLine("%s[%x] set_op error!\r\n", notTty.GetNote(), notTty.GetType());
    if (kqtest::kConsole) {
        EXPECT_EQ(c.out, head + "tcgetattr error\n" + tail);
    } else {
        EXPECT_EQ(c.log, head + tail);
        EXPECT_EQ(c.out, "tcgetattr error\n");
    }
    EXPECT_EQ(notTty.IsOpened(), 0);
    EXPECT_EQ(kqtest::OpenFdCount(), fds);
}

TEST_F(SerialPort, ClosedPortResults) {
    unsigned char buf[4] = {};
    for (int round = 0; round < 2; ++round) {
        auto c = Capture([&] {
            EXPECT_EQ(port.Read(buf, 4, 0), -1);
            EXPECT_EQ(port.Read(buf, 0, 0), -1);
            EXPECT_EQ(port.Write(Bytes("ab"), 2), -1);
            EXPECT_EQ(port.Write(Bytes("ab")), -1);
            EXPECT_EQ(port.Purge(), 0);
            EXPECT_EQ(port.Close(), 1);
            EXPECT_EQ(port.IsOpened(), 0);
            EXPECT_EQ(port.GetHandle(), -1);
        });
        EXPECT_EQ(c.log, "");
        OpenPort();  // and once more after a Close
        port.Close();
    }
    EXPECT_EQ(pty.Drain(50), "");
}

TEST_F(SerialPort, SetBaudWaitsForTheNextOpen) {
    OpenPort();
    auto c = Capture([&] { EXPECT_EQ(port.SetBaud(19200), 1); });
    EXPECT_EQ(c.log, "");
    termios t = kqtest::Attr(pty.slave());
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
    EXPECT_STREQ(port.GetNote(), Note().c_str());

    port.Close();
    auto again = Capture([&] { EXPECT_EQ(port.Open(nullptr), 1); });
    EXPECT_EQ(again.log, "CSerCom::Open: /dev/" + pty.SlaveName() + ",19200,8,N,0\r\n" +
                             "set serial done+!\n" +
                             NoteLine("%s[%x] open ok!\r\n", Note(), port.GetType()));
    t = kqtest::Attr(pty.slave());
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B19200));
    EXPECT_STREQ(port.GetNote(), Note().c_str());  // the note still shows 9600
    port.Close();
}

// ---- write and purge -------------------------------------------------------

TEST_F(SerialPort, WriteSendsTheBytesAsGiven) {
    OpenPort();
    const std::string bytes("\x01\x02\xAB\x00\x0A\x0D\xFF", 7);
    auto c = Capture([&] { EXPECT_EQ(port.Write(Bytes(bytes), 7), 7); });
    EXPECT_EQ(pty.ReadMaster(7, 2000), bytes);  // no output processing
    EXPECT_EQ(c.log, "SEND: 01 02 AB 00 0A 0D FF \r\n");

    auto text = Capture([&] { EXPECT_EQ(port.Write(Bytes("hi\n")), 3); });
    EXPECT_EQ(pty.ReadMaster(3, 2000), "hi\n");
    EXPECT_EQ(text.log, "SEND: 68 69 0A \r\n");

    const std::string big(400, 'Z');
    auto large = Capture([&] { EXPECT_EQ(port.Write(Bytes(big), 400), 400); });
    EXPECT_EQ(pty.ReadMaster(400, 2000), big);
    EXPECT_EQ(large.log, "SEND: msg.len > 1024\r\n");
    port.Close();
}

TEST_F(SerialPort, WriteOfNothingOrOfBadInput) {
    OpenPort();
    auto c = Capture([&] {
        EXPECT_EQ(port.Write(Bytes("abc"), 0), 0);
        EXPECT_EQ(port.Write(Bytes("")), 0);
        EXPECT_EQ(port.Write(Bytes("abc"), -1), -1);
        EXPECT_EQ(port.Write(Bytes("abc"), -2147483647 - 1), -1);
        EXPECT_EQ(port.Write(nullptr, 3), -1);
        EXPECT_EQ(port.Write(nullptr, 0), -1);
        EXPECT_EQ(port.Write(static_cast<const unsigned char*>(nullptr)), -1);
    });
    EXPECT_EQ(c.log, "");
    EXPECT_EQ(pty.Drain(50), "");
    EXPECT_EQ(port.IsOpened(), 1);
    port.Close();
}

TEST_F(SerialPort, FailedWriteIsReportedAndLogged) {
    OpenPort();
    BreakHandle(port.GetHandle(), O_RDONLY);
    auto c = Capture([&] { EXPECT_EQ(port.Write(Bytes("abc"), 3), -1); });
    EXPECT_EQ(c.log, "SEND: \r\n");
    port.Close();
}

TEST_F(SerialPort, PurgeDiscardsPendingInput) {
    OpenPort();
    Queue("junk");
    auto c = Capture([&] { EXPECT_EQ(port.Purge(), 1); });
    EXPECT_EQ(c.log, "");
    EXPECT_EQ(kqtest::InputQueued(pty.slave()), 0);

    BreakHandle(port.GetHandle(), O_RDWR);  // not a tty any more
    EXPECT_EQ(port.Purge(), 0);
    port.Close();
}

// ---- read ------------------------------------------------------------------

TEST_F(SerialPort, BurstOfTheWholeLengthReturnsAtOnce) {
    OpenPort();
    Queue("\x10\x20\x30\x40\x50\x60\x70\x80");
    unsigned char buf[8] = {};
    int n = 0;
    const double start = kqtest::NowMs();
    // A time-out of 5 s would keep a read that waits for silence for a second.
    auto c = Capture([&] { n = port.Read(buf, 8, 5000); });
    const double took = kqtest::NowMs() - start;
    EXPECT_EQ(n, 8);
    EXPECT_EQ(Text(buf, n), "\x10\x20\x30\x40\x50\x60\x70\x80");
    EXPECT_LT(took, 600);
    EXPECT_EQ(c.log, "RECV: 10 20 30 40 50 60 70 80 \r\n");
    port.Close();
}

TEST_F(SerialPort, LeadingZeroIsDroppedLaterOnesKept) {
    OpenPort();
    Queue(std::string("\x00\x11\x00\x22", 4));
    unsigned char buf[8] = {};
    auto c = Capture([&] { EXPECT_EQ(port.Read(buf, 3, 0), 3); });
    EXPECT_EQ(Text(buf, 3), std::string("\x11\x00\x22", 3));
    EXPECT_EQ(c.log, "RECV: 11 00 22 \r\n");

    // A lone zero gives nothing, and the line is still logged.
    Queue(std::string("\x00", 1));
    auto lone = Capture([&] { EXPECT_EQ(port.Read(buf, 4, 0), 0); });
    EXPECT_EQ(lone.log, "RECV: \r\n");

    // Less than asked for: what came before the silence.
    Queue("xyz");
    auto part = Capture([&] { EXPECT_EQ(port.Read(buf, 8, 0), 3); });
    EXPECT_EQ(Text(buf, 3), "xyz");
    EXPECT_EQ(part.log, "RECV: 78 79 7A \r\n");

    // With a pause after the single-byte read, and with more queued than
    // asked for: the same bytes, and nothing beyond the length is taken.
    for (int timeout : {0, 1000}) {
        Queue(std::string("\x00\x33\x00\x44\x55", 5));
        auto full = Capture([&] { EXPECT_EQ(port.Read(buf, 3, timeout), 3); });
        EXPECT_EQ(Text(buf, 3), std::string("\x33\x00\x44", 3)) << timeout;
        EXPECT_EQ(full.log, "RECV: 33 00 44 \r\n");
        EXPECT_EQ(kqtest::InputQueued(pty.slave()), 1) << timeout;
        Capture([&] { EXPECT_EQ(port.Read(buf, 1, timeout), 1); });
        EXPECT_EQ(buf[0], 0x55);
    }
    port.Close();
}

TEST_F(SerialPort, ReadOfNothingOrIntoNothing) {
    OpenPort();
    Queue("abc");
    unsigned char buf[4] = {};
    auto c = Capture([&] {
        EXPECT_EQ(port.Read(buf, 0, 0), 0);
        EXPECT_EQ(port.Read(buf, -1, 2000), 0);
        EXPECT_EQ(port.Read(buf, -2147483647 - 1, 0), 0);
        EXPECT_EQ(port.Read(nullptr, 3, 0), -1);
    });
    EXPECT_EQ(c.log, "");
    EXPECT_EQ(kqtest::InputQueued(pty.slave()), 3);  // the device was not touched
    Capture([&] { EXPECT_EQ(port.Read(buf, 3, 0), 3); });
    EXPECT_EQ(Text(buf, 3), "abc");
    port.Close();
}

// Runs a Read on its own thread; gives up (and breaks the line to free the
// thread) when it has not returned within limitMs.
class ReadInBackground {
public:
    ReadInBackground(SerComProbe& port, int len, int timeout) : port_(port), buf_(16) {
        result_ = std::async(std::launch::async, [this, len, timeout] {
            const double start = kqtest::NowMs();
            const int n = port_.Read(buf_.data(), len, timeout);
            tookMs_ = kqtest::NowMs() - start;
            return n;
        });
    }
    bool Finish(int limitMs, int* n) {
        if (result_.wait_for(std::chrono::milliseconds(limitMs)) != std::future_status::ready) {
            BreakHandle(port_.GetHandle(), O_WRONLY);
            *n = result_.get();
            return false;
        }
        *n = result_.get();
        return true;
    }
    std::string Got(int n) const { return Text(buf_.data(), n); }
    // How long the Read took; valid after Finish.
    double TookMs() const { return tookMs_; }

private:
    SerComProbe& port_;
    std::vector<unsigned char> buf_;
    double tookMs_ = 0;
    std::future<int> result_;
};

// Time-outs below 1000 make no extra pass (0.4 s without data); each 1000
// beyond the first adds a pass of 0.2 s. Independent lines, timed side by
// side, so the steps between them can be held to tighter bounds than the
// absolute times.
TEST(SerialReadTiming, SilenceEndsTheRead) {
    const int timeouts[] = {0, -1, 999, 1000, 2000, 3000};
    const double expectMs[] = {400, 400, 400, 400, 600, 800};
    constexpr size_t kCases = sizeof timeouts / sizeof timeouts[0];
    std::vector<std::unique_ptr<kqtest::PtyPair>> ptys;
    std::vector<std::unique_ptr<SerComProbe>> ports;
    for (size_t i = 0; i < kCases; ++i) {
        ptys.push_back(std::make_unique<kqtest::PtyPair>());
        ASSERT_TRUE(ptys.back()->ok());
        ports.push_back(std::make_unique<SerComProbe>(ptys.back()->Def().c_str()));
        Capture([&] { ASSERT_EQ(ports.back()->Open(nullptr), 1); });
    }
    int results[kCases];
    double took[kCases];
    auto c = Capture([&] {
        std::vector<std::unique_ptr<ReadInBackground>> readers;
        for (size_t i = 0; i < kCases; ++i) {
            readers.push_back(std::make_unique<ReadInBackground>(*ports[i], 16, timeouts[i]));
        }
        for (size_t i = 0; i < kCases; ++i) {
            EXPECT_TRUE(readers[i]->Finish(3000, &results[i])) << "time-out " << timeouts[i];
            took[i] = readers[i]->TookMs();
        }
    });
    for (size_t i = 0; i < kCases; ++i) {
        SCOPED_TRACE("time-out " + std::to_string(timeouts[i]));
        EXPECT_EQ(results[i], 0);
        EXPECT_GE(took[i], expectMs[i] * 0.75);
        EXPECT_LE(took[i], expectMs[i] + 1000);
        // Against the reads that ran beside it.
        const double step = took[i] - took[0] - (expectMs[i] - expectMs[0]);
        EXPECT_GT(step, -150);
        EXPECT_LT(step, 150);
    }
    EXPECT_EQ(kqtest::Lines(c.log), std::vector<std::string>(kCases, "RECV: \r\n"));
    for (auto& p : ports) {
        p->Close();
    }
}

TEST_F(SerialPort, NegativeTimeOutWaitsForAFullBuffer) {
    OpenPort();
    Queue("ab");
    int n = -2;
    double took = 0;
    auto c = Capture([&] {
        const double start = kqtest::NowMs();
        ReadInBackground reader(port, 4, -1000);
        // Longer than the 0.4 s after which a read with time-out 0 gives up.
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        ASSERT_TRUE(pty.WriteMaster("cd"));
        EXPECT_TRUE(reader.Finish(3000, &n));
        took = kqtest::NowMs() - start;
        EXPECT_EQ(reader.Got(n), "abcd");
    });
    EXPECT_EQ(n, 4);
    EXPECT_GE(took, 650);
    EXPECT_EQ(c.log, "RECV: 61 62 63 64 \r\n");
    port.Close();
}

// The device goes away in the middle of a read: what came is returned, also
// from a read that would otherwise wait for a full buffer for ever.
TEST_F(SerialPort, HangUpEndsTheRead) {
    for (int timeout : {5000, -1000}) {
        SCOPED_TRACE(timeout);
        kqtest::PtyPair line;
        ASSERT_TRUE(line.ok());
        SerComProbe serial(line.Def().c_str());
        Capture([&] { ASSERT_EQ(serial.Open(nullptr), 1); });
        ASSERT_TRUE(line.WriteMaster("ABC"));
        ASSERT_TRUE(
            kqtest::WaitUntil([&] { return kqtest::InputQueued(line.slave()) == 3; }, 2000));
        int n = -2;
        auto c = Capture([&] {
            ReadInBackground reader(serial, 10, timeout);
            ASSERT_TRUE(
                kqtest::WaitUntil([&] { return kqtest::InputQueued(line.slave()) == 0; }, 2000));
            line.CloseMaster();
            EXPECT_TRUE(reader.Finish(3000, &n)) << "Read did not return after the hang-up";
            EXPECT_EQ(reader.Got(n), "ABC");
        });
        EXPECT_EQ(n, 3);
        EXPECT_EQ(c.log, "RECV: 41 42 43 \r\n");
        serial.Close();
    }
}

TEST_F(SerialPort, ReadErrorKeepsWhatWasStored) {
    OpenPort();
    Queue("ABC");
    int n = -2;
    auto c = Capture([&] {
        ReadInBackground reader(port, 10, -1000);
        ASSERT_TRUE(kqtest::WaitUntil([&] { return kqtest::InputQueued(pty.slave()) == 0; }, 2000));
        BreakHandle(port.GetHandle(), O_WRONLY);  // the next read fails
        EXPECT_TRUE(reader.Finish(3000, &n));
        EXPECT_EQ(reader.Got(n), "ABC");
    });
    EXPECT_EQ(n, 3);
    EXPECT_EQ(c.log, "RECV: 41 42 43 \r\n");
    port.Close();
}

}  // namespace
