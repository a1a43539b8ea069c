// SPDX-License-Identifier: MIT
// What a log call's text becomes on its way to a file, standard error or
// syslog.
#include "LogLine_p.h"

#include <string>

#include <gtest/gtest.h>

namespace {

std::string Line(const std::string& text, unsigned long long dropped = 0,
                 const std::string& stamp = "") {
    return kq::FormatLogLine(stamp, dropped, text.data(), text.size());
}

TEST(LogLine, EndsInExactlyOneLineFeed) {
    const struct {
        const char* text;
        const char* line;
    } rows[] = {
        {"SerManager new: 5a3c29e0\r\n", "SerManager new: 5a3c29e0\n"},
        {"set serial done+!\n", "set serial done+!\n"},
        {"CSerNet::Read recv start:\r\n", "CSerNet::Read recv start:\n"},
        {"no end", "no end\n"},
        {"RECV: 01 02 \r\n", "RECV: 01 02 \n"},  // the dump's own blank stays
        {"\r\n\r\n", "\n"},
        {"", "\n"},
        // A line end inside would split the line: written as \r, \n.
        {"KQI1:\nnote\r\n", "KQI1:\\nnote\n"},
        {"a\rb\n", "a\\rb\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(Line(row.text), row.line);
    }
}

TEST(LogLine, StampAndDroppedLinesComeFirst) {
    const std::string stamp = "2026-12-08 14:03:07.123456 ";
    EXPECT_EQ(Line("SEND: 01 \r\n", 0, stamp), stamp + "SEND: 01 \n");
    EXPECT_EQ(Line("SEND: 01 \r\n", 1, stamp), stamp + "[1 line dropped] SEND: 01 \n");
    EXPECT_EQ(Line("x\n", 12), "[12 lines dropped] x\n");
}

TEST(LogLine, LongTextIsCutAtTheBound) {
    const std::string fits(kq::kMaxLogLine - 1, 'a');
    EXPECT_EQ(Line(fits), fits + "\n");
    const std::string line = Line(std::string(kq::kMaxLogLine * 3, 'b'), 5, "stamp ");
    EXPECT_EQ(line.size(), kq::kMaxLogLine);
    EXPECT_EQ(line.substr(0, 25), "stamp [5 lines dropped] b");
    EXPECT_EQ(line.substr(line.size() - 5), "b...\n");
    // Escapes near the bound never pass it either.
    EXPECT_LE(Line(std::string(kq::kMaxLogLine, '\n') + "x").size(), kq::kMaxLogLine);
}

TEST(LogLine, Stamp) {
    tm local{};
    local.tm_year = 2026 - 1900;
    local.tm_mon = 11;
    local.tm_mday = 8;
    local.tm_hour = 14;
    local.tm_min = 3;
    local.tm_sec = 7;
    EXPECT_EQ(kq::FormatStamp(local, 123456), "2026-12-08 14:03:07.123456 ");
    EXPECT_EQ(kq::FormatStamp(local, 0), "2026-12-08 14:03:07.000000 ");
    EXPECT_EQ(kq::FormatStamp(local, 0).size(), kq::kStampLength);
    local.tm_sec = 60;  // a leap second
    EXPECT_EQ(kq::FormatStamp(local, 999999), "2026-12-08 14:03:60.999999 ");
}

TEST(LogLine, SyslogDatagram) {
    EXPECT_EQ(kq::FormatSyslog(1234, "SEND: 01 \n"), "<14>kqSer[1234]: SEND: 01 ");
    EXPECT_EQ(kq::FormatSyslog(7, "2026-12-08 14:03:07.123456 x\n"),
              "<14>kqSer[7]: 2026-12-08 14:03:07.123456 x");
}

}  // namespace
