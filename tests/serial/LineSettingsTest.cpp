// SPDX-License-Identifier: MIT
// The terminal record a serial port builds, row by row without a device, and
// set_opt / Open applying it to a real pty.
#include "LineSettings_p.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "Capture.h"
#include "Pty.h"
#include "SerComProbe.h"
#include "SerialTestUtil.h"
#include "TcsetattrSpy.h"

namespace {

using kqtest::Attr;
using kqtest::Capture;

termios Filled(unsigned char start, int speed, int bits, char parity, int stop, char flow) {
    termios t;
    std::memset(&t, start, sizeof t);
    kq::FillLineSettings(&t, speed, bits, parity, stop, flow);
    return t;
}

bool Has(tcflag_t flags, tcflag_t bits) {
    return (flags & bits) == bits;
}

bool HasNone(tcflag_t flags, tcflag_t bits) {
    return (flags & bits) == 0;
}

// ---- the pure record -----------------------------------------------------

struct SpeedRow {
    int speed;
    speed_t code;
};

const SpeedRow kSpeeds[] = {
    {600, B600},           {1200, B1200},     {2400, B2400},   {4800, B4800},
    {9600, B9600},         {19200, B19200},   {38400, B38400}, {57600, B57600},
    {115200, B115200},     {230400, B230400}, {300, B115200},  {1800, B115200},
    {460800, B115200},     {921600, B115200}, {0, B115200},    {-9600, B115200},
    {2147483647, B115200},
};

TEST(LineRecord, SpeedTableWithFallback) {
    for (const SpeedRow& row : kSpeeds) {
        SCOPED_TRACE(row.speed);
        EXPECT_EQ(kq::LineSpeed(row.speed), row.code);
        for (unsigned char start : {0x00, 0xFF}) {
            const termios t = Filled(start, row.speed, 8, 'N', 1, 'N');
            EXPECT_EQ(cfgetispeed(&t), row.code);
            EXPECT_EQ(cfgetospeed(&t), row.code);
        }
    }
}

TEST(LineRecord, CharacterSize) {
    const struct {
        int bits;
        tcflag_t size;
    } rows[] = {{5, CS5}, {6, CS6}, {7, CS7}, {8, CS8}, {9, CS8}, {4, CS8}, {0, CS8}, {-7, CS8}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.bits);
        EXPECT_EQ(Filled(0x00, 9600, row.bits, 'N', 1, 'N').c_cflag & CSIZE, row.size);
        EXPECT_EQ(Filled(0xFF, 9600, row.bits, 'N', 1, 'N').c_cflag & CSIZE, row.size);
    }
}

enum class Bit { Set, Clear, Kept };

void ExpectBit(tcflag_t flags, tcflag_t bit, Bit want, unsigned char start) {
    switch (want) {
        case Bit::Set: EXPECT_TRUE(Has(flags, bit)); break;
        case Bit::Clear: EXPECT_TRUE(HasNone(flags, bit)); break;
        case Bit::Kept: EXPECT_EQ((flags & bit) != 0, start != 0); break;
    }
}

TEST(LineRecord, Parity) {
    const struct {
        char letter;
        Bit parenb;
        Bit parodd;
        Bit inpck;
    } rows[] = {
        {'O', Bit::Set, Bit::Set, Bit::Set},      {'o', Bit::Set, Bit::Set, Bit::Set},
        {'E', Bit::Set, Bit::Clear, Bit::Set},    {'e', Bit::Set, Bit::Clear, Bit::Set},
        {'S', Bit::Clear, Bit::Kept, Bit::Set},   {'s', Bit::Clear, Bit::Kept, Bit::Set},
        {'N', Bit::Clear, Bit::Kept, Bit::Clear}, {'n', Bit::Clear, Bit::Kept, Bit::Clear},
        {'M', Bit::Clear, Bit::Kept, Bit::Clear}, {'m', Bit::Clear, Bit::Kept, Bit::Clear},
        {'X', Bit::Clear, Bit::Kept, Bit::Clear}, {'\0', Bit::Clear, Bit::Kept, Bit::Clear},
    };
    for (const auto& row : rows) {
        for (unsigned char start : {0x00, 0xFF}) {
            SCOPED_TRACE(std::string("parity ") + row.letter + " from " + std::to_string(start));
            const termios t = Filled(start, 9600, 8, row.letter, 1, 'N');
            ExpectBit(t.c_cflag, PARENB, row.parenb, start);
            ExpectBit(t.c_cflag, PARODD, row.parodd, start);
            ExpectBit(t.c_iflag, INPCK, row.inpck, start);
        }
    }
}

TEST(LineRecord, StopBitsDecideAfterParity) {
    for (unsigned char start : {0x00, 0xFF}) {
        SCOPED_TRACE(static_cast<int>(start));
        EXPECT_TRUE(Has(Filled(start, 9600, 8, 'N', 2, 'N').c_cflag, CSTOPB));
        EXPECT_TRUE(Has(Filled(start, 9600, 8, 'S', 2, 'N').c_cflag, CSTOPB));
        EXPECT_TRUE(Has(Filled(start, 9600, 8, 'E', 2, 'N').c_cflag, CSTOPB));
        for (int stop : {1, 0, 3, -2}) {
            EXPECT_TRUE(HasNone(Filled(start, 9600, 8, 'N', stop, 'N').c_cflag, CSTOPB));
            EXPECT_TRUE(HasNone(Filled(start, 9600, 8, 'S', stop, 'N').c_cflag, CSTOPB));
        }
    }
}

TEST(LineRecord, FlowControl) {
    const tcflag_t soft = IXON | IXOFF | IXANY;
    const tcflag_t rawL = ICANON | ECHO | ECHOE | ISIG;
    const tcflag_t rawI = INLCR | IGNCR | ICRNL;
    const tcflag_t rawO = ONLCR | OCRNL;
    const struct {
        char letter;
        Bit crtscts;
        Bit ixon;
        Bit raw;  // Clear: switched to raw; Kept: left as read
    } rows[] = {
        {'H', Bit::Set, Bit::Clear, Bit::Kept},    {'h', Bit::Set, Bit::Clear, Bit::Kept},
        {'S', Bit::Clear, Bit::Set, Bit::Kept},    {'s', Bit::Clear, Bit::Set, Bit::Kept},
        {'N', Bit::Clear, Bit::Clear, Bit::Clear}, {'n', Bit::Clear, Bit::Clear, Bit::Clear},
        {'X', Bit::Clear, Bit::Clear, Bit::Clear},
    };
    for (const auto& row : rows) {
        for (unsigned char start : {0x00, 0xFF}) {
            SCOPED_TRACE(std::string("flow ") + row.letter + " from " + std::to_string(start));
            const termios t = Filled(start, 9600, 8, 'N', 1, row.letter);
            ExpectBit(t.c_cflag, CRTSCTS, row.crtscts, start);
            ExpectBit(t.c_iflag, soft, row.ixon, start);
            ExpectBit(t.c_lflag, rawL, row.raw, start);
            ExpectBit(t.c_iflag, rawI, row.raw, start);
            ExpectBit(t.c_oflag, rawO, row.raw, start);
        }
    }
}

TEST(LineRecord, CommonSettingsAndUntouchedFlags) {
    for (char flow : {'N', 'H', 'S'}) {
        SCOPED_TRACE(flow);
        const termios zero = Filled(0x00, 9600, 8, 'N', 1, flow);
        EXPECT_TRUE(Has(zero.c_cflag, CLOCAL | CREAD));
        EXPECT_EQ(zero.c_cc[VTIME], 2);
        EXPECT_EQ(zero.c_cc[VMIN], 0);
        EXPECT_TRUE(HasNone(zero.c_iflag, IGNBRK | BRKINT | PARMRK | ISTRIP | IGNPAR));
        EXPECT_TRUE(HasNone(zero.c_cflag, HUPCL));
        EXPECT_TRUE(HasNone(zero.c_lflag, IEXTEN | ECHOK | ECHONL));

        const termios ones = Filled(0xFF, 9600, 8, 'N', 1, flow);
        EXPECT_TRUE(HasNone(ones.c_oflag, OPOST));
        EXPECT_EQ(ones.c_cc[VTIME], 2);
        EXPECT_EQ(ones.c_cc[VMIN], 0);
        EXPECT_TRUE(Has(ones.c_iflag, IGNBRK | BRKINT | PARMRK | ISTRIP | IGNPAR));
        EXPECT_TRUE(Has(ones.c_cflag, HUPCL));
        EXPECT_TRUE(Has(ones.c_lflag, IEXTEN | ECHOK | ECHONL));
        EXPECT_EQ(ones.c_cc[VINTR], 0xFF);
        EXPECT_EQ(ones.c_cc[VEOF], 0xFF);
    }
}

// ---- set_opt on a real line ----------------------------------------------

class SetOpt : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok());
        kqtest::TcsetattrReset();
    }
    int Apply(int speed, int bits, char parity, int stop, char flow) {
        return port.set_opt(pty.slave(), speed, bits, parity, stop, flow);
    }
    kqtest::PtyPair pty;
    SerComProbe port{1};
};

TEST_F(SetOpt, AppliesAndLogs) {
    auto c = Capture([&] { EXPECT_EQ(Apply(19200, 8, 'N', 1, 'N'), 0); });
    EXPECT_EQ(c.log, "set serial done+!\n");
    EXPECT_EQ(c.out, kqtest::kConsole ? c.log : "");
    if (!kqtest::kConsole) {
        ASSERT_EQ(c.calls.size(), 1u);
        EXPECT_EQ(c.calls[0].section, "RtLog");
    }
    ASSERT_EQ(kqtest::TcsetattrCount(), 1);
    EXPECT_EQ(kqtest::TcsetattrLast().fd, pty.slave());
    EXPECT_EQ(kqtest::TcsetattrLast().action, TCSANOW);
}

TEST_F(SetOpt, SpeedsReadBack) {
    for (const SpeedRow& row : kSpeeds) {
        SCOPED_TRACE(row.speed);
        EXPECT_EQ(Apply(row.speed, 8, 'N', 1, 'N'), 0);
        const termios t = Attr(pty.slave());
        EXPECT_EQ(cfgetispeed(&t), row.code);
        EXPECT_EQ(cfgetospeed(&t), row.code);
    }
}

TEST_F(SetOpt, RawLineWithReadTiming) {
    const termios before = Attr(pty.slave());
    ASSERT_TRUE(Has(before.c_lflag, ICANON | ECHO)) << "a fresh pty is canonical";
    ASSERT_EQ(Apply(9600, 8, 'N', 1, 'N'), 0);
    const termios t = Attr(pty.slave());
    EXPECT_TRUE(HasNone(t.c_lflag, ICANON | ECHO | ECHOE | ISIG));
    EXPECT_TRUE(HasNone(t.c_iflag, INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK));
    EXPECT_TRUE(HasNone(t.c_oflag, OPOST | ONLCR | OCRNL));
    EXPECT_TRUE(HasNone(t.c_cflag, CRTSCTS | CSTOPB));
    EXPECT_TRUE(Has(t.c_cflag, CLOCAL | CREAD));
    EXPECT_EQ(t.c_cc[VTIME], 2);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_lflag & IEXTEN, before.c_lflag & IEXTEN);
}

TEST_F(SetOpt, StopBitsOnTheLine) {
    ASSERT_EQ(Apply(9600, 8, 'S', 2, 'N'), 0);
    EXPECT_TRUE(Has(Attr(pty.slave()).c_cflag, CSTOPB));
    ASSERT_EQ(Apply(9600, 8, 'N', 1, 'N'), 0);  // one and a half in the note
    EXPECT_TRUE(HasNone(Attr(pty.slave()).c_cflag, CSTOPB));
    ASSERT_EQ(Apply(9600, 8, 'N', 2, 'N'), 0);
    EXPECT_TRUE(Has(Attr(pty.slave()).c_cflag, CSTOPB));
    ASSERT_EQ(Apply(9600, 8, 'N', 0, 'N'), 0);
    EXPECT_TRUE(HasNone(Attr(pty.slave()).c_cflag, CSTOPB));
}

TEST_F(SetOpt, SizeAndParityAsHandedOver) {
    ASSERT_EQ(Apply(9600, 7, 'E', 1, 'N'), 0);
    termios sent = kqtest::TcsetattrLast().tio;
    EXPECT_EQ(sent.c_cflag & CSIZE, static_cast<tcflag_t>(CS7));
    EXPECT_TRUE(Has(sent.c_cflag, PARENB));
    EXPECT_TRUE(HasNone(sent.c_cflag, PARODD));
    EXPECT_TRUE(Has(sent.c_iflag, INPCK));

    ASSERT_EQ(Apply(9600, 5, 'o', 1, 'N'), 0);
    sent = kqtest::TcsetattrLast().tio;
    EXPECT_EQ(sent.c_cflag & CSIZE, static_cast<tcflag_t>(CS5));
    EXPECT_TRUE(Has(sent.c_cflag, PARENB | PARODD));

    ASSERT_EQ(Apply(9600, 9, 'M', 1, 'N'), 0);
    sent = kqtest::TcsetattrLast().tio;
    EXPECT_EQ(sent.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_TRUE(HasNone(sent.c_cflag, PARENB));
    EXPECT_TRUE(HasNone(sent.c_iflag, INPCK));
}

TEST_F(SetOpt, HardwareFlowKeepsTheLineMode) {
    ASSERT_EQ(Apply(9600, 8, 'N', 1, 'H'), 0);
    termios t = Attr(pty.slave());
    EXPECT_TRUE(Has(t.c_lflag, ICANON | ECHO));  // as a fresh pty has them
    EXPECT_TRUE(Has(t.c_cflag, CRTSCTS));
    EXPECT_TRUE(HasNone(t.c_iflag, IXON | IXOFF | IXANY));

    ASSERT_EQ(Apply(9600, 8, 'N', 1, 'N'), 0);
    ASSERT_EQ(Apply(9600, 8, 'N', 1, 'h'), 0);
    t = Attr(pty.slave());
    EXPECT_TRUE(HasNone(t.c_lflag, ICANON | ECHO));  // raw stays raw

    ASSERT_EQ(Apply(9600, 8, 'N', 1, 'S'), 0);
    t = Attr(pty.slave());
    EXPECT_TRUE(Has(t.c_iflag, IXON | IXOFF | IXANY));
    EXPECT_TRUE(HasNone(t.c_cflag, CRTSCTS));
}

TEST_F(SetOpt, FlushesPendingInput) {
    ASSERT_EQ(Apply(9600, 8, 'N', 1, 'N'), 0);
    ASSERT_TRUE(pty.WriteMaster("stale"));
    ASSERT_TRUE(kqtest::WaitUntil([&] { return kqtest::InputQueued(pty.slave()) == 5; }, 2000));
    ASSERT_EQ(Apply(9600, 8, 'N', 1, 'N'), 0);
    EXPECT_EQ(kqtest::InputQueued(pty.slave()), 0);
}

TEST_F(SetOpt, NotATerminal) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ASSERT_EQ(::write(fds[1], "x", 1), 1);
    for (int fd : {fds[0], -1, 12345}) {
        SCOPED_TRACE(fd);
        auto c = Capture([&] { EXPECT_EQ(port.set_opt(fd, 9600, 8, 'N', 1, 'N'), -1); });
        EXPECT_EQ(c.out, "tcgetattr error\n");
        EXPECT_TRUE(c.calls.empty());
    }
    EXPECT_EQ(kqtest::TcsetattrCount(), 0);
    char byte = 0;
    EXPECT_EQ(::read(fds[0], &byte, 1), 1);  // nothing was flushed
    ::close(fds[0]);
    ::close(fds[1]);
}

TEST_F(SetOpt, SettingsRefused) {
    const termios before = Attr(pty.slave());
    ASSERT_TRUE(pty.WriteMaster("pending\n"));
    ASSERT_TRUE(kqtest::WaitUntil([&] { return kqtest::InputQueued(pty.slave()) > 0; }, 2000));
    kqtest::TcsetattrFailNext();
    auto c = Capture([&] { EXPECT_EQ(Apply(9600, 8, 'N', 1, 'N'), -1); });
    EXPECT_EQ(c.log, kqtest::kConsole ? "serial setup error\nserial setup error\n"
                                      : "serial setup error\n");
    EXPECT_EQ(c.out, kqtest::kConsole ? c.log : "serial setup error\n");
    const termios after = Attr(pty.slave());
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_cc[VTIME], before.c_cc[VTIME]);
    EXPECT_EQ(kqtest::InputQueued(pty.slave()), 0);  // the queues were flushed all the same
}

// ---- Open hands the port's fields to set_opt ------------------------------

TEST_F(SetOpt, OpenPassesThePortFields) {
    const struct {
        const char* params;
        tcflag_t size;
        bool parenb;
        int parodd;  // -1: kept from the line
        bool inpck;
        bool cstopb;
        speed_t speed;
    } rows[] = {
        {"19200,E,7,2", CS7, true, 0, true, true, B19200},
        {"4800,O,5,1", CS5, true, 1, true, false, B4800},
        {"9600,M,6,1.5", CS6, false, -1, false, false, B9600},
        {"300,S,8,2", CS8, false, -1, false, true, B115200},  // space is no parity on the line
        {"230400,N,9,1", CS8, false, -1, false, false, B230400},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.params);
        SerComProbe serial(pty.Def(row.params).c_str());
        kqtest::TcsetattrReset();
        Capture([&] { ASSERT_EQ(serial.Open(nullptr), 1); });
        ASSERT_EQ(kqtest::TcsetattrCount(), 1);
        const termios sent = kqtest::TcsetattrLast().tio;
        EXPECT_EQ(sent.c_cflag & CSIZE, row.size);
        EXPECT_EQ((sent.c_cflag & PARENB) != 0, row.parenb);
        if (row.parodd >= 0) {
            EXPECT_EQ((sent.c_cflag & PARODD) != 0, row.parodd == 1);
        }
        EXPECT_EQ((sent.c_iflag & INPCK) != 0, row.inpck);
        EXPECT_EQ((sent.c_cflag & CSTOPB) != 0, row.cstopb);
        EXPECT_EQ(cfgetospeed(&sent), row.speed);
        // What the line itself took.
        const termios line = Attr(pty.slave());
        EXPECT_EQ((line.c_cflag & CSTOPB) != 0, row.cstopb);
        EXPECT_EQ(cfgetispeed(&line), row.speed);
        EXPECT_TRUE(HasNone(line.c_lflag, ICANON | ECHO));
        serial.Close();
    }
}

TEST_F(SetOpt, OpenFailsWhenTheLineRefusesItsSettings) {
    SerComProbe serial(pty.Def().c_str());
    const int fdsBefore = kqtest::OpenFdCount();
    kqtest::TcsetattrFailNext();
    auto c = Capture([&] { EXPECT_EQ(serial.Open(nullptr), 0); });
    const std::string note = serial.GetNote();
    const std::string head = "CSerCom::Open: /dev/" + pty.SlaveName() + ",9600,8,N,0\r\n";
    const std::string tail = kqtest::NoteLine("%s[%x] set_op error!\r\n", note, serial.GetType());
    if (kqtest::kConsole) {
        EXPECT_EQ(c.out, head + "serial setup error\nserial setup error\n" + tail);
    } else {
        EXPECT_EQ(c.log, head + "serial setup error\n" + tail);
        EXPECT_EQ(c.out, "serial setup error\n");
    }
    EXPECT_EQ(serial.IsOpened(), 0);
    EXPECT_EQ(serial.GetHandle(), -1);
    EXPECT_EQ(kqtest::OpenFdCount(), fdsBefore);
}

}  // namespace
