// SPDX-License-Identifier: MIT
// The GPIO port against a fake driver: what reaches the device, and what the
// host gets back.
#include "SerDio_p.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Capture.h"
#include "GpioFake.h"

namespace {

using gpiofake::Dev;

const unsigned char* Bytes(const char* text) {
    return reinterpret_cast<const unsigned char*>(text);
}

// The record as the port must lay it out: line, then level, native order.
std::string Record(uint16_t line, uint16_t level) {
    unsigned char raw[4];
    std::memcpy(raw, &line, 2);
    std::memcpy(raw + 2, &level, 2);
    return std::string(reinterpret_cast<char*>(raw), 4);
}

std::string Record(const gpiofake::ReadCall& call) {
    return std::string(reinterpret_cast<const char*>(call.record), 4);
}

// The last byte of a readable, writable page followed by an inaccessible one:
// touching the byte after it kills the test.
class GuardedByte {
public:
    GuardedByte() {
        page_ = sysconf(_SC_PAGESIZE);
        void* map =
            mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (map == MAP_FAILED) {
            throw std::runtime_error("mmap failed");
        }
        base_ = static_cast<unsigned char*>(map);
        if (mprotect(base_ + page_, page_, PROT_NONE) != 0) {
            throw std::runtime_error("mprotect failed");
        }
    }
    ~GuardedByte() { munmap(base_, 2 * page_); }
    unsigned char* get() { return base_ + page_ - 1; }

private:
    long page_;
    unsigned char* base_;
};

class Dio : public ::testing::Test {
protected:
    void SetUp() override { gpiofake::Reset(); }
    void TearDown() override {
        // Whatever a test opened, the ports have given back. A leak is
        // reported here once and then closed, so later tests start clean.
        const std::vector<int> held = gpiofake::Held();
        EXPECT_TRUE(held.empty()) << held.size() << " device descriptor(s) leaked";
        for (int fd : held) {
            close(fd);
        }
    }

    // An open port, with the records of the open cleared.
    std::unique_ptr<CSerDio> OpenPort() {
        std::unique_ptr<CSerDio> port(new CSerDio(nullptr));
        EXPECT_EQ(port->Open(nullptr), 1);
        Dev().opens.clear();
        return port;
    }
};

TEST_F(Dio, ConstructionSetsIdentityAndTouchesNoDevice) {
    CSerDio plain(nullptr);
    EXPECT_STREQ(plain.GetNote(), "KQI1:");
    EXPECT_EQ(plain.GetType(), 0x800001);
    EXPECT_EQ(plain.IsOpened(), 0);
    EXPECT_EQ(plain.GetHandle(), -1);

    CSerDio named("any text: 1,2,3");
    EXPECT_STREQ(named.GetNote(), "any text: 1,2,3");
    EXPECT_EQ(named.GetType(), 0x800001);
    EXPECT_EQ(gpiofake::Calls(), 0u);
}

TEST_F(Dio, ConstructionLogsInit) {
    auto got = kqtest::Capture([] { CSerDio port("x"); });
    EXPECT_EQ(got.log, "CSerDio::CSerDio: Dio Init\n");
    if (kqtest::kConsole) {
        EXPECT_EQ(got.out, "CSerDio::CSerDio: Dio Init\n");
    } else {
        EXPECT_EQ(got.out, "");
        ASSERT_EQ(got.calls.size(), 1u);
        EXPECT_EQ(got.calls[0].section, "RtLog");
        EXPECT_EQ(got.calls[0].format, "CSerDio::CSerDio: Dio Init\n");
    }
}

TEST_F(Dio, BaseSlotsLeaveIdentityAlone) {
    CSerDio port("note");
    EXPECT_EQ(port.SetPort(5), 0);
    EXPECT_EQ(port.SetPort(0x200001), 0);
    EXPECT_EQ(port.SetPort(-1), 0);
    EXPECT_EQ(port.GetType(), 0x800001);
    EXPECT_EQ(port.SetDef("other"), 1);
    EXPECT_STREQ(port.GetNote(), "note");
    EXPECT_EQ(port.SetBaud(9600), 0);
    EXPECT_EQ(port.Purge(), 0);
    EXPECT_EQ(port.SetTimeout(1, 2), 1);
    EXPECT_EQ(gpiofake::Calls(), 0u);
}

TEST_F(Dio, OpenReadOnlyAndLog) {
    CSerDio port(nullptr);
    auto got = kqtest::Capture([&] { EXPECT_EQ(port.Open(nullptr), 1); });

    ASSERT_EQ(Dev().opens.size(), 1u);
    EXPECT_EQ(Dev().opens[0].flags, O_RDONLY | O_CLOEXEC);
    EXPECT_EQ(port.IsOpened(), 1);
    EXPECT_EQ(port.GetHandle(), Dev().opens[0].fd);
    EXPECT_STREQ(port.GetNote(), "KQI1:");

    EXPECT_EQ(got.log, "KQI1:[800001] open ok!\r\n");
    if (kqtest::kConsole) {
        EXPECT_EQ(got.out, got.log);
    } else {
        EXPECT_EQ(got.out, "");
        ASSERT_EQ(got.calls.size(), 1u);
        EXPECT_EQ(got.calls[0].section, "RtLog");
        EXPECT_EQ(got.calls[0].format, "%s[%x] open ok!\r\n");
    }
    EXPECT_EQ(port.Close(), 1);
}

TEST_F(Dio, OpenWithDefinitionTakesItAsNote) {
    CSerDio port("first");
    auto got = kqtest::Capture([&] { EXPECT_EQ(port.Open("DIO board 2"), 1); });
    EXPECT_STREQ(port.GetNote(), "DIO board 2");
    EXPECT_EQ(got.log, "DIO board 2[800001] open ok!\r\n");
    port.Close();

    // A null definition keeps the note.
    port.Open(nullptr);
    EXPECT_STREQ(port.GetNote(), "DIO board 2");
    port.Close();
}

TEST_F(Dio, MissingDeviceLeavesPortClosed) {
    Dev().missing = true;
    CSerDio port(nullptr);
    int result = -2;
    auto got = kqtest::Capture([&] { result = port.Open("still noted"); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(port.IsOpened(), 0);
    EXPECT_EQ(port.GetHandle(), -1);
    EXPECT_STREQ(port.GetNote(), "still noted");
    EXPECT_EQ(got.log, "");
    EXPECT_EQ(got.out, "");
    ASSERT_EQ(Dev().opens.size(), 1u);

    // Nothing to close, and nothing to read or write.
    unsigned char buf[2] = {0, 0};
    EXPECT_EQ(port.Close(), 1);
    EXPECT_EQ(port.Read(buf, 2, 0), -1);
    EXPECT_EQ(port.Write(buf, 2), -1);
    EXPECT_EQ(gpiofake::Calls(), 1u);
}

TEST_F(Dio, OpenAgainGivesBackTheHeldDescriptor) {
    CSerDio port(nullptr);
    ASSERT_EQ(port.Open(nullptr), 1);
    const int first = port.GetHandle();
    ASSERT_EQ(port.Open(nullptr), 1);
    ASSERT_EQ(Dev().opens.size(), 2u);
    ASSERT_EQ(Dev().closes.size(), 1u);
    EXPECT_EQ(Dev().closes[0], first);
    EXPECT_EQ(port.GetHandle(), Dev().opens[1].fd);
    EXPECT_EQ(gpiofake::Held().size(), 1u);

    // Re-opening onto a missing device drops the old descriptor too.
    Dev().missing = true;
    EXPECT_EQ(port.Open(nullptr), 0);
    EXPECT_EQ(port.GetHandle(), -1);
    EXPECT_TRUE(gpiofake::Held().empty());
}

TEST_F(Dio, CloseTwice) {
    CSerDio port(nullptr);
    ASSERT_EQ(port.Open(nullptr), 1);
    const int fd = port.GetHandle();
    EXPECT_EQ(port.Close(), 1);
    EXPECT_EQ(port.IsOpened(), 0);
    EXPECT_EQ(port.GetHandle(), -1);
    EXPECT_EQ(port.Close(), 1);
    ASSERT_EQ(Dev().closes.size(), 1u);
    EXPECT_EQ(Dev().closes[0], fd);

    CSerDio never(nullptr);
    EXPECT_EQ(never.Close(), 1);
    EXPECT_EQ(Dev().closes.size(), 1u);
}

TEST_F(Dio, DestructorGivesBackTheDescriptor) {
    auto port = OpenPort();
    const int fd = port->GetHandle();
    port.reset();
    ASSERT_EQ(Dev().closes.size(), 1u);
    EXPECT_EQ(Dev().closes[0], fd);
    // The number was really released.
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
}

TEST_F(Dio, ReadSamplesLine18ThenLine17) {
    auto port = OpenPort();
    Dev().levels[18] = 0x1234;
    Dev().levels[17] = 0xAB01;

    unsigned char buf[8];
    std::memset(buf, 0xEE, sizeof buf);
    EXPECT_EQ(port->Read(buf, 8, 500), 1);
    EXPECT_EQ(buf[0], 0x34);
    EXPECT_EQ(buf[1], 0x01);
    for (int i = 2; i < 8; ++i) {
        EXPECT_EQ(buf[i], 0xEE) << "byte " << i;
    }

    ASSERT_EQ(Dev().reads.size(), 2u);
    EXPECT_EQ(Record(Dev().reads[0]), Record(18, 0));
    EXPECT_EQ(Record(Dev().reads[1]), Record(17, 0));
    for (const auto& read : Dev().reads) {
        EXPECT_EQ(read.count, 4u);
        EXPECT_EQ(read.fd, port->GetHandle());
    }
    EXPECT_TRUE(Dev().ioctls.empty());

    // Two bytes are enough for both lines; the time-out plays no part.
    Dev().reads.clear();
    Dev().levels[18] = 0x00FF;
    Dev().levels[17] = 0xFF00;
    EXPECT_EQ(port->Read(buf, 2, -1), 1);
    EXPECT_EQ(buf[0], 0xFF);
    EXPECT_EQ(buf[1], 0x00);
    EXPECT_EQ(Dev().reads.size(), 2u);
}

TEST_F(Dio, ReadOfOneByteSamplesLine18Only) {
    auto port = OpenPort();
    Dev().levels[18] = 1;
    GuardedByte last;
    *last.get() = 0xEE;
    EXPECT_EQ(port->Read(last.get(), 1, 0), 1);
    EXPECT_EQ(*last.get(), 1);
    ASSERT_EQ(Dev().reads.size(), 1u);
    EXPECT_EQ(Record(Dev().reads[0]), Record(18, 0));
}

TEST_F(Dio, FailedDeviceReadGivesLevelZero) {
    auto port = OpenPort();
    Dev().levels[18] = 0x11;
    Dev().levels[17] = 0x22;
    unsigned char buf[2] = {0xEE, 0xEE};

    Dev().readMode = gpiofake::ReadMode::kFail;
    EXPECT_EQ(port->Read(buf, 2, 0), 1);
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(buf[1], 0);

    buf[0] = buf[1] = 0xEE;
    Dev().readMode = gpiofake::ReadMode::kShort;
    EXPECT_EQ(port->Read(buf, 2, 0), 1);
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(buf[1], 0);
    EXPECT_EQ(Dev().reads.size(), 4u);
}

struct WriteRow {
    unsigned char selector;
    unsigned char level;
    unsigned long request;
    int line;
};

TEST_F(Dio, WriteMapsSelectorAndLevel) {
    const WriteRow rows[] = {
        {0x00, 0x05, 1, 0},  {0x01, 0x00, 0, 1},  {0x02, 0x01, 1, 17},  {0x03, 0x00, 0, 18},
        {0x03, 0x80, 1, 18}, {0x04, 0xFF, 1, 19}, {0xFF, 0x00, 0, 270}, {0xFF, 0x01, 1, 270},
    };
    auto port = OpenPort();
    for (const WriteRow& row : rows) {
        Dev().ioctls.clear();
        const unsigned char cmd[2] = {row.selector, row.level};
        EXPECT_EQ(port->Write(cmd, 2), 0);
        ASSERT_EQ(Dev().ioctls.size(), 1u) << "selector " << int(row.selector);
        EXPECT_EQ(Dev().ioctls[0].fd, port->GetHandle());
        EXPECT_EQ(Dev().ioctls[0].request, row.request) << "selector " << int(row.selector);
        EXPECT_EQ(Dev().ioctls[0].arg, row.line) << "selector " << int(row.selector);
    }
    // Bytes past the command are not looked at.
    Dev().ioctls.clear();
    const unsigned char longer[4] = {0x02, 0x00, 0x01, 0x01};
    EXPECT_EQ(port->Write(longer, 4), 0);
    ASSERT_EQ(Dev().ioctls.size(), 1u);
    EXPECT_EQ(Dev().ioctls[0].request, 0u);
    EXPECT_EQ(Dev().ioctls[0].arg, 17);
    EXPECT_TRUE(Dev().reads.empty());
}

TEST_F(Dio, WriteIgnoresAFailingControlCall) {
    auto port = OpenPort();
    Dev().ioctlFails = true;
    const unsigned char cmd[2] = {0x03, 0x01};
    EXPECT_EQ(port->Write(cmd, 2), 0);
    EXPECT_EQ(Dev().ioctls.size(), 1u);
}

TEST_F(Dio, WriteOfOneByteTakesLevelZero) {
    auto port = OpenPort();
    GuardedByte last;
    *last.get() = 0x03;
    EXPECT_EQ(port->Write(last.get(), 1), 0);
    ASSERT_EQ(Dev().ioctls.size(), 1u);
    EXPECT_EQ(Dev().ioctls[0].request, 0u);
    EXPECT_EQ(Dev().ioctls[0].arg, 18);
}

TEST_F(Dio, TextWrite) {
    auto port = OpenPort();
    ISerBase* host = port.get();
    EXPECT_EQ(host->Write(Bytes("\x02")), 0);
    EXPECT_EQ(host->Write(Bytes("3")), 0);  // '3' is selector 0x33
    EXPECT_EQ(host->Write(Bytes("\x03\x01")), 0);
    ASSERT_EQ(Dev().ioctls.size(), 3u);
    EXPECT_EQ(Dev().ioctls[0].request, 0u);
    EXPECT_EQ(Dev().ioctls[0].arg, 17);
    EXPECT_EQ(Dev().ioctls[1].request, 0u);
    EXPECT_EQ(Dev().ioctls[1].arg, 0x33 + 15);
    EXPECT_EQ(Dev().ioctls[2].request, 1u);
    EXPECT_EQ(Dev().ioctls[2].arg, 18);

    // No command in an empty text, and none behind a null one.
    EXPECT_EQ(host->Write(Bytes("")), -1);
    EXPECT_EQ(host->Write(static_cast<const unsigned char*>(nullptr)), -1);
    EXPECT_EQ(Dev().ioctls.size(), 3u);
}

TEST_F(Dio, UnusableCallsMakeNoDeviceCall) {
    unsigned char buf[4] = {0x03, 0x01, 0, 0};
    {
        CSerDio closed(nullptr);
        EXPECT_EQ(closed.Read(buf, 4, 0), -1);
        EXPECT_EQ(closed.Write(buf, 2), -1);
        EXPECT_EQ(closed.Write(Bytes("\x03\x01")), -1);
        EXPECT_EQ(gpiofake::Calls(), 0u);
    }

    auto port = OpenPort();
    EXPECT_EQ(port->Read(nullptr, 4, 0), -1);
    EXPECT_EQ(port->Write(nullptr, 2), -1);
    EXPECT_EQ(port->Read(buf, 0, 0), -1);
    EXPECT_EQ(port->Read(buf, -1, 0), -1);
    EXPECT_EQ(port->Write(buf, 0), -1);
    EXPECT_EQ(port->Write(buf, -5), -1);
    EXPECT_EQ(buf[0], 0x03);
    EXPECT_EQ(buf[1], 0x01);
    EXPECT_EQ(gpiofake::Calls(), 0u);

    // And after Close, again nothing reaches the device.
    port->Close();
    Dev().closes.clear();
    EXPECT_EQ(port->Read(buf, 4, 0), -1);
    EXPECT_EQ(port->Write(buf, 2), -1);
    EXPECT_EQ(gpiofake::Calls(), 0u);
}

// The fake must not take over anything but the device.
TEST_F(Dio, OtherFilesReachTheRealCalls) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], "ab", 2), 2);
    char got[2] = {0, 0};
    EXPECT_EQ(read(fds[0], got, 2), 2);
    EXPECT_EQ(std::memcmp(got, "ab", 2), 0);
    EXPECT_EQ(close(fds[0]), 0);
    EXPECT_EQ(close(fds[1]), 0);

    const int null = open("/dev/null", O_WRONLY);
    EXPECT_GE(null, 0);
    EXPECT_EQ(close(null), 0);
    EXPECT_EQ(open("/nonexistent/kqser-test", O_RDONLY), -1);
    EXPECT_EQ(gpiofake::Calls(), 0u);
}

}  // namespace
