// SPDX-License-Identifier: MIT
// kqser.conf's serial keys on a real line: a pty whose master a device
// thread plays, the file written into a temp folder and named by KQSER_CONF,
// read by GetSerManager as a host's first call reads it.
#include "SerCom_p.h"

#include <unistd.h>

#include <chrono>
#include <fstream>
#include <future>
#include <iterator>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "Capture.h"
#include "FakeSys.h"
#include "ModbusFrame_p.h"
#include "Pty.h"
#include "SerComProbe.h"
#include "SerialTestUtil.h"
#include "kqSer.h"

namespace {

using kqtest::Capture;
using kqtest::NoteLine;

std::string Text(const unsigned char* buf, int n) {
    return n > 0 ? std::string(reinterpret_cast<const char*>(buf), static_cast<size_t>(n)) : "";
}

// Writes pieces to a pty master, each after its pause, on a thread of its
// own; remembers when the last byte went out.
class PacedDevice {
public:
    using Piece = std::pair<int, std::string>;  // pause in ms, then the bytes

    PacedDevice(kqtest::PtyPair& pty, std::vector<Piece> pieces)
        : done_(std::async(std::launch::async, [&pty, pieces] {
              double last = 0;
              for (const Piece& piece : pieces) {
                  std::this_thread::sleep_for(std::chrono::milliseconds(piece.first));
                  if (!pty.WriteMaster(piece.second)) {
                      return -1.0;
                  }
                  last = kqtest::NowMs();
              }
              return last;
          })) {}
    // When the last byte was written (-1 when a write failed).
    double LastByteMs() { return done_.get(); }

private:
    std::future<double> done_;
};

class FrameGap : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(pty.ok()); }
    void TearDown() override {
        port.Close();
        conf.Remove();
        Load();  // the next test starts without the file
        FreeSerManager();
    }

    // Writes kqser.conf (unless text is null) and makes a fresh manager read
    // it; returns the log lines that reading gave.
    std::string Load(const char* text = nullptr) {
        if (text != nullptr) {
            EXPECT_TRUE(conf.Write(text));
        }
        FreeSerManager();
        std::string lines;
        auto c = Capture([] { GetSerManager(); });
        for (const std::string& line : kqtest::Lines(c.log)) {
            if (line.rfind("SerManager new: ", 0) != 0) {
                lines += line;
            }
        }
        return lines;
    }
    // "[serial pts/N]"
    std::string Section() const { return "[serial " + pty.SlaveName() + "]\n"; }

    std::string OpenLog() {
        auto c = Capture([&] { EXPECT_EQ(port.Open(nullptr), 1); });
        return c.log;
    }
    std::string SpecOpenLog() {
        return "CSerCom::Open: /dev/" + pty.SlaveName() + ",9600,8,N,0\r\nset serial done+!\n" +
               NoteLine("%s[%x] open ok!\r\n", port.GetNote(), port.GetType());
    }
    std::string GapLine(const std::string& text) {
        return NoteLine("%s[%x] frame gap ", port.GetNote(), port.GetType()) + text + "\r\n";
    }

    // One Read, timed.
    int TimedRead(int len, int timeout, double* endMs) {
        int n = 0;
        auto c = Capture([&] { n = port.Read(buf, len, timeout); });
        *endMs = kqtest::NowMs();
        recvLog = c.log;
        return n;
    }

    kqtest::ConfFile conf;
    kqtest::PtyPair pty;
    SerComProbe port{pty.Def().c_str()};
    unsigned char buf[64] = {};
    std::string recvLog;
};

TEST_F(FrameGap, BurstsWithShortPausesAreOneFrameThatEndsAtTheGap) {
    Load((Section() + "frame_gap = 30\n").c_str());
    EXPECT_EQ(OpenLog(), SpecOpenLog() + GapLine("30.000 ms (frame_gap 30.000 ms)"));
    for (int timeout : {0, 1000, 5000, -1000}) {
        SCOPED_TRACE(timeout);
        PacedDevice device(pty, {{0, "ab"}, {5, "cde"}, {5, "fgh"}});
        double end = 0;
        const int n = TimedRead(sizeof buf, timeout, &end);
        const double last = device.LastByteMs();
        EXPECT_EQ(Text(buf, n), "abcdefgh");
        EXPECT_EQ(recvLog, "RECV: 61 62 63 64 65 66 67 68 \r\n");
        // The gap after the last byte, and not much more.
        EXPECT_GE(end - last, 29);
        EXPECT_LE(end - last, 30 + 150);
    }
    EXPECT_EQ(kqtest::InputQueued(pty.slave()), 0);
}

TEST_F(FrameGap, APauseLongerThanTheGapEndsTheFrame) {
    Load((Section() + "frame_gap = 20\n").c_str());
    OpenLog();
    PacedDevice device(pty, {{0, "abc"}, {300, "def"}});
    double end = 0;
    EXPECT_EQ(Text(buf, TimedRead(sizeof buf, 1000, &end)), "abc");
    EXPECT_EQ(Text(buf, TimedRead(sizeof buf, 1000, &end)), "def");
    EXPECT_GT(device.LastByteMs(), 0);
}

TEST_F(FrameGap, FullBufferZeroByteAndHangUp) {
    Load((Section() + "frame_gap = 150\n").c_str());
    OpenLog();
    // A full buffer ends the read without waiting out the gap.
    ASSERT_TRUE(pty.WriteMaster("123456"));
    const double start = kqtest::NowMs();
    double end = 0;
    EXPECT_EQ(Text(buf, TimedRead(4, 1000, &end)), "1234");
    EXPECT_LT(end - start, 100);
    EXPECT_EQ(Text(buf, TimedRead(2, 1000, &end)), "56");

    // A 0x00 in front of the reply is dropped, later ones kept.
    PacedDevice device(pty, {{0, std::string("\x00", 1)}, {5, std::string("\x11\x00\x22", 3)}});
    EXPECT_EQ(Text(buf, TimedRead(sizeof buf, 1000, &end)), std::string("\x11\x00\x22", 3));
    EXPECT_EQ(recvLog, "RECV: 11 00 22 \r\n");
    device.LastByteMs();

    // The device goes away: a read that would wait for ever returns.
    ASSERT_TRUE(pty.WriteMaster("xy"));
    ASSERT_TRUE(kqtest::WaitUntil([&] { return kqtest::InputQueued(pty.slave()) == 2; }, 2000));
    auto reader = std::async(std::launch::async, [&] {
        double at = 0;
        return TimedRead(sizeof buf, -1000, &at);
    });
    ASSERT_TRUE(kqtest::WaitUntil([&] { return kqtest::InputQueued(pty.slave()) == 0; }, 2000));
    pty.CloseMaster();
    ASSERT_EQ(reader.wait_for(std::chrono::seconds(3)), std::future_status::ready);
    EXPECT_EQ(reader.get(), 2);
    // Gone before the first byte: no wait at all.
    auto nothing =
        std::async(std::launch::async, [&] { return TimedRead(sizeof buf, -1000, &end); });
    ASSERT_EQ(nothing.wait_for(std::chrono::seconds(3)), std::future_status::ready);
    EXPECT_EQ(nothing.get(), 0);
    EXPECT_EQ(recvLog, "RECV: \r\n");
}

TEST_F(FrameGap, OffKeepsTheReadTimingOfTheLine) {
    // A section that applies, with the gap off: the read loop as without a file.
    Load((Section() + "frame_gap = off\nreply_timeout = loop\n").c_str());
    EXPECT_EQ(OpenLog(), SpecOpenLog());
    PacedDevice device(pty, {{0, "ab"}, {5, "cd"}});
    double end = 0;
    EXPECT_EQ(Text(buf, TimedRead(sizeof buf, 0, &end)), "abcd");
    EXPECT_GE(end - device.LastByteMs(), 180);  // 0.2 s of silence
}

TEST_F(FrameGap, AutoWorksTheGapOutFromTheLine) {
    Load("[serial]\nframe_gap = auto\n");
    EXPECT_EQ(OpenLog(),
              SpecOpenLog() + GapLine("3.646 ms (auto: 3.5 characters of 10 bits at 9600 bit/s)"));

    port.Close();
    // The record asks for even parity (a pty drops it, the record does not).
    auto c = Capture([&] { EXPECT_EQ(port.Open(pty.Def("19200,E,8,1").c_str()), 1); });
    EXPECT_NE(c.log.find("frame gap 2.005 ms (auto: 3.5 characters of 11 bits at 19200 bit/s)"),
              std::string::npos)
        << c.log;
    port.Close();
    c = Capture([&] { EXPECT_EQ(port.Open(pty.Def("115200,N,8,1").c_str()), 1); });
    EXPECT_NE(c.log.find("frame gap 1.750 ms (auto: fixed above 19200 bit/s)"), std::string::npos)
        << c.log;
}

TEST_F(FrameGap, NamedSectionWinsAndOtherPortsAreUntouched) {
    kqtest::PtyPair other;
    ASSERT_TRUE(other.ok());
    SerComProbe otherPort(other.Def().c_str());
    Load(("[serial]\nframe_gap = 100\n" + Section() + "frame_gap = 20\n").c_str());
    EXPECT_EQ(OpenLog(), SpecOpenLog() + GapLine("20.000 ms (frame_gap 20.000 ms)"));
    auto first = Capture([&] { ASSERT_EQ(otherPort.Open(nullptr), 1); });
    EXPECT_NE(first.log.find("frame gap 100.000 ms (frame_gap 100.000 ms)"), std::string::npos)
        << first.log;
    otherPort.Close();

    // Only this port named: the other one opens, reads and logs as without
    // a file, and keeps nothing beside it.
    Load((Section() + "frame_gap = 20\n").c_str());
    auto c = Capture([&] { EXPECT_EQ(otherPort.Open(nullptr), 1); });
    EXPECT_EQ(c.log, "CSerCom::Open: /dev/" + other.SlaveName() +
                         ",9600,8,N,0\r\nset serial done+!\n" +
                         NoteLine("%s[%x] open ok!\r\n", otherPort.GetNote(), otherPort.GetType()));
    // The read loop's own timing: 0.2 s of silence ends the reply.
    PacedDevice device(other, {{0, "ab"}});
    unsigned char got[8];
    int n = 0;
    Capture([&] { n = otherPort.Read(got, sizeof got, 0); });
    const double end = kqtest::NowMs();
    EXPECT_EQ(Text(got, n), "ab");
    EXPECT_GE(end - device.LastByteMs(), 180);
    otherPort.Close();
}

TEST_F(FrameGap, HostReplyTimeoutIsTheHostsMilliseconds) {
    Load("[serial]\nreply_timeout = host\n");
    EXPECT_EQ(OpenLog(), SpecOpenLog());  // no gap: nothing more to say
    double start = kqtest::NowMs();
    double end = 0;
    EXPECT_EQ(TimedRead(8, 50, &end), 0);
    EXPECT_GE(end - start, 49);
    EXPECT_LT(end - start, 190);  // the read loop would wait 0.4 s
    EXPECT_EQ(recvLog, "RECV: \r\n");
    start = kqtest::NowMs();
    EXPECT_EQ(TimedRead(8, 600, &end), 0);
    EXPECT_GE(end - start, 599);
    // Without a gap the reply still ends at the line's 0.2 s of silence.
    PacedDevice device(pty, {{0, "ok"}});
    EXPECT_EQ(Text(buf, TimedRead(8, 1000, &end)), "ok");
    EXPECT_GE(end - device.LastByteMs(), 180);
}

TEST_F(FrameGap, NoFileEmptyFileAndBadValuesKeepEveryPortAsItWas) {
    const std::string bad = "[serial]\nframe_gap = often\n" + Section() + "reply_timeout = soon\n";
    for (const char* text : {static_cast<const char*>(nullptr), "", "# nothing\n", bad.c_str()}) {
        SCOPED_TRACE(text == nullptr ? "no file" : text);
        if (text == nullptr) {
            conf.Remove();
        }
        const std::string problems = Load(text);
        EXPECT_EQ(problems.empty(), text != bad.c_str()) << problems;
        EXPECT_EQ(OpenLog(), SpecOpenLog());
        // The read loop's own timing: 0.4 s of silence with a time-out of 0.
        const double start = kqtest::NowMs();
        double end = 0;
        EXPECT_EQ(TimedRead(8, 0, &end), 0);
        EXPECT_GE(end - start, 300);
        port.Close();
    }
}

// A framed Read is recorded like any other when the port captures.
TEST_F(FrameGap, AFramedReadIsCaptured) {
    kqtest::TempDir dir;
    const std::string cap = dir.File("line.cap");
    Load((Section() + "frame_gap = 20\ncapture = " + cap + "\n").c_str());
    OpenLog();
    ASSERT_TRUE(pty.WriteMaster("abc"));
    double end = 0;
    EXPECT_EQ(Text(buf, TimedRead(sizeof buf, 1000, &end)), "abc");
    port.Close();
    std::ifstream in(cap);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(all.find("\tRX\t"), std::string::npos) << all;
    EXPECT_NE(all.find("\t3\t61 62 63\t"), std::string::npos) << all;
}

// A reply with its CRC, as bytes a pty carries.
std::string Rtu(std::string frame) {
    const uint16_t crc =
        kq::ModbusCrc16(reinterpret_cast<const unsigned char*>(frame.data()), frame.size());
    frame += static_cast<char>(crc & 0xFF);
    frame += static_cast<char>(crc >> 8);
    return frame;
}

const std::string kHolding = Rtu(std::string("\x01\x03\x04\x00\x0A\x00\x0B", 7));  // 9 bytes
const std::string kWritten = Rtu(std::string("\x01\x06\x00\x01\x00\x03", 6));      // 8 bytes

TEST_F(FrameGap, TheFrameRuleEndsAReplyWithItsLastByte) {
    // A gap far longer than the pauses: a Read that waited for it would show.
    Load((Section() + "frame = modbus_rtu\nframe_gap = 150\nreply_timeout = host\n").c_str());
    EXPECT_EQ(OpenLog(), SpecOpenLog() +
                             NoteLine("%s[%x] frame modbus_rtu: a Read ends with a whole reply\r\n",
                                      port.GetNote(), port.GetType()) +
                             GapLine("150.000 ms (frame_gap 150.000 ms)"));
    std::vector<PacedDevice::Piece> paced;
    for (char c : kHolding) {
        paced.push_back({3, std::string(1, c)});
    }
    PacedDevice device(pty, paced);
    double end = 0;
    EXPECT_EQ(Text(buf, TimedRead(sizeof buf, 1000, &end)), kHolding);
    EXPECT_LT(end - device.LastByteMs(), 100);
    EXPECT_EQ(recvLog.rfind("RECV: 01 03 04 00 0A 00 0B ", 0), 0u) << recvLog;
    EXPECT_EQ(recvLog.size(), 6 + 9 * 3 + 2u) << recvLog;
}

TEST_F(FrameGap, MergedRepliesComeOneARead) {
    Load((Section() + "frame = modbus_rtu\nframe_gap = 150\n").c_str());
    OpenLog();
    // Three replies and the start of a fourth in one burst: the line is read
    // no further than each reply's last byte.
    ASSERT_TRUE(pty.WriteMaster(kHolding + kWritten + kHolding + "\x01"));
    ASSERT_TRUE(kqtest::WaitUntil([&] { return kqtest::InputQueued(pty.slave()) == 27; }, 2000));
    const double start = kqtest::NowMs();
    double end = 0;
    EXPECT_EQ(Text(buf, TimedRead(sizeof buf, 1000, &end)), kHolding);
    EXPECT_EQ(kqtest::InputQueued(pty.slave()), 18);
    EXPECT_EQ(Text(buf, TimedRead(sizeof buf, 1000, &end)), kWritten);
    EXPECT_EQ(Text(buf, TimedRead(sizeof buf, 1000, &end)), kHolding);
    EXPECT_LT(end - start, 100);
    // The lone byte is no whole reply: the gap ends it.
    EXPECT_EQ(Text(buf, TimedRead(sizeof buf, 1000, &end)), "\x01");
}

TEST_F(FrameGap, ABufferShorterThanTheReplyTakesItInPieces) {
    Load((Section() + "frame = modbus_rtu\nframe_gap = 150\n").c_str());
    OpenLog();
    ASSERT_TRUE(pty.WriteMaster(kHolding + kWritten));
    const double start = kqtest::NowMs();
    double end = 0;
    std::string got;
    // 4 + 4 + the reply's last byte; then the next reply's first 4.
    for (int len : {4, 4, 4, 4}) {
        got += Text(buf, TimedRead(len, 1000, &end)) + "|";
    }
    EXPECT_EQ(got, kHolding.substr(0, 4) + "|" + kHolding.substr(4, 4) + "|" + kHolding.substr(8) +
                       "|" + kWritten.substr(0, 4) + "|");
    EXPECT_EQ(Text(buf, TimedRead(sizeof buf, 1000, &end)), kWritten.substr(4));
    EXPECT_LT(end - start, 100);
}

TEST_F(FrameGap, AWrongCrcOrAnUnsizedReplyEndsAtTheGap) {
    Load((Section() + "frame = modbus_rtu\nframe_gap = 60\n").c_str());
    OpenLog();
    std::string bad = kHolding;
    bad.back() = static_cast<char>(bad.back() ^ 0x01);
    const std::string unsized = Rtu(std::string("\x01\x41\x00", 3));
    for (const std::string& reply : {bad, unsized}) {
        PacedDevice device(pty, {{0, reply.substr(0, 4)}, {5, reply.substr(4)}});
        double end = 0;
        // Nothing is cut on a guess: the reply ends at the gap, whole.
        EXPECT_EQ(Text(buf, TimedRead(sizeof buf, 1000, &end)), reply);
        EXPECT_GE(end - device.LastByteMs(), 59);
    }
}

TEST_F(FrameGap, WithTheRuleTheGapIsAutoUnlessSet) {
    Load("[serial]\nframe = modbus_rtu\n");
    EXPECT_NE(OpenLog().find("frame gap 3.646 ms (auto: 3.5 characters"), std::string::npos);
    // Purge drops what the rule held, as it drops what the line held.
    ASSERT_TRUE(pty.WriteMaster(kWritten + kWritten));
    double end = 0;
    EXPECT_EQ(Text(buf, TimedRead(4, 1000, &end)), kWritten.substr(0, 4));
    EXPECT_EQ(port.Purge(), 1);
    ASSERT_TRUE(pty.WriteMaster(kHolding));
    EXPECT_EQ(Text(buf, TimedRead(sizeof buf, 1000, &end)), kHolding);
}

}  // namespace
