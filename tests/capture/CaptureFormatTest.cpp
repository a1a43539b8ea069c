// SPDX-License-Identifier: MIT
// The capture file's records: what the library writes, what kqser reads,
// field by field, and every kind of broken line.
#include "CaptureFormat_p.h"

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using kq::CaptureRecord;
using kq::FormatCaptureRecord;
using kq::ParseCapture;
using kq::ParseCaptureLine;

const char kRecord[] = "1796745255.123456\tTX\t2001f6\t3\t01 0A FF\tNET 502 10.0.0.2:502";

TEST(CaptureFormat, ParsesARecordFieldByField) {
    CaptureRecord record;
    bool isRecord = false;
    std::string error;
    ASSERT_TRUE(ParseCaptureLine(kRecord, &record, &isRecord, &error)) << error;
    EXPECT_TRUE(isRecord);
    EXPECT_EQ(record.seconds, 1796745255);
    EXPECT_EQ(record.micros, 123456);
    EXPECT_TRUE(record.tx);
    EXPECT_EQ(record.type, 0x2001F6u);
    EXPECT_EQ(record.count, 3);
    EXPECT_EQ(record.bytes, (std::vector<uint8_t>{0x01, 0x0A, 0xFF}));
    EXPECT_EQ(record.note, "NET 502 10.0.0.2:502");
    EXPECT_EQ(FormatCaptureRecord(record), kRecord) << "written as read";

    for (const char* skipped : {"", "# a comment", "#\tTX\t1\t1\t01\tx"}) {
        ASSERT_TRUE(ParseCaptureLine(skipped, &record, &isRecord, &error)) << skipped;
        EXPECT_FALSE(isRecord) << skipped;
    }
    ASSERT_TRUE(ParseCaptureLine("1.000000\tRX\t120000\t-1\t\tx", &record, &isRecord, &error));
    EXPECT_EQ(record.count, -1);
    EXPECT_TRUE(record.bytes.empty());
    ASSERT_TRUE(ParseCaptureLine("1.000000\tRX\t120000\t0\t\t", &record, &isRecord, &error));
    EXPECT_EQ(record.note, "");
}

TEST(CaptureFormat, RejectsEachBrokenFieldWithItsName) {
    const struct {
        const char* line;
        const char* complaint;
    } rows[] = {
        {"1.000000 TX 1 1 01 x", "6 fields"},
        {"1.000000\tTX\t1\t1\t01", "6 fields"},
        {"1.00000\tTX\t1\t1\t01\tx", "six decimals"},
        {"1,000000\tTX\t1\t1\t01\tx", "six decimals"},
        {"-1.000000\tTX\t1\t1\t01\tx", "six decimals"},
        {"1.000000\ttx\t1\t1\t01\tx", "DIR"},
        {"1.000000\tTX\t2001F6\t1\t01\tx", "lower-case"},
        {"1.000000\tTX\t0x1\t1\t01\tx", "lower-case"},
        {"1.000000\tTX\t\t1\t01\tx", "TYPE"},
        {"1.000000\tTX\t1\t-2\t\tx", "COUNT"},
        {"1.000000\tTX\t1\t2\t01\tx", "COUNT bytes"},
        {"1.000000\tTX\t1\t1\t0a\tx", "upper-case"},
        {"1.000000\tTX\t1\t2\t01  02\tx", "single blanks"},
        {"1.000000\tTX\t1\t0\t01\tx", "empty"},
        {"1.000000\tTX\t1\t1\t01\tbad \\q", "escape"},
        {"1.000000\tTX\t1\t1\t01\tcut \\x4", "escape"},
    };
    for (const auto& row : rows) {
        CaptureRecord record;
        bool isRecord = true;
        std::string error;
        EXPECT_FALSE(ParseCaptureLine(row.line, &record, &isRecord, &error)) << row.line;
        EXPECT_NE(error.find(row.complaint), std::string::npos) << row.line << ": " << error;
    }
}

TEST(CaptureFormat, NotesAreEscapedAndTheHeaderIsRequired) {
    CaptureRecord record;
    record.seconds = 5;
    record.micros = 7;
    record.type = 0x120000;
    record.count = 0;
    record.note = std::string("a\\b\tc\r\n\x7F\xC3", 9);
    const std::string line = FormatCaptureRecord(record);
    EXPECT_EQ(line, "5.000007\tRX\t120000\t0\t\ta\\x5Cb\\x09c\\x0D\\x0A\\x7F\\xC3");
    CaptureRecord back;
    bool isRecord = false;
    std::string error;
    ASSERT_TRUE(ParseCaptureLine(line, &back, &isRecord, &error)) << error;
    EXPECT_EQ(back.note, record.note);

    std::vector<CaptureRecord> records;
    EXPECT_FALSE(ParseCapture(std::string(kRecord) + "\n", &records, &error));
    EXPECT_NE(error.find("line 1: not a capture file"), std::string::npos) << error;
    EXPECT_FALSE(ParseCapture("", &records, &error));
    EXPECT_FALSE(ParseCapture("# kqSer capture 1\n# ok\n1.0\tTX\t1\t1\t01\tx\n", &records, &error));
    EXPECT_EQ(error.find("line 3: "), 0u) << error;
    ASSERT_TRUE(
        ParseCapture("# kqSer capture 1\r\n" + std::string(kRecord) + "\r\n", &records, &error))
        << error;
    EXPECT_EQ(records.size(), 1u);
}

TEST(CaptureFormat, TheLibrarysWriterGivesTheRecordOfACall) {
    const unsigned char bytes[] = {0x01, 0x03, 0x00, 0xFF};
    EXPECT_EQ(kq::FormatCaptureLine(1796745255, 42, true, 0x100003, 4, bytes, "pts/3:9600,n,8,1"),
              "1796745255.000042\tTX\t100003\t4\t01 03 00 FF\tpts/3:9600,n,8,1");
    // A count of 0 or -1 writes no bytes, whatever the buffer holds.
    EXPECT_EQ(kq::FormatCaptureLine(7, 999999, false, 0x2001f6, 0, bytes, "NET 502"),
              "7.999999\tRX\t2001f6\t0\t\tNET 502");
    EXPECT_EQ(kq::FormatCaptureLine(7, 0, false, 0x2001f6, -1, bytes, "NET 502"),
              "7.000000\tRX\t2001f6\t-1\t\tNET 502");
    // A negative type code is its 32 bits.
    EXPECT_EQ(kq::FormatCaptureLine(1, 0, true, 0xFFFFFFFFu, 0, nullptr, ""),
              "1.000000\tTX\tffffffff\t0\t\t");
    // What the writer writes, the reader reads back, all 256 byte values.
    std::vector<uint8_t> all;
    for (int i = 0; i < 256; ++i) {
        all.push_back(static_cast<uint8_t>(i));
    }
    const std::string line =
        kq::FormatCaptureLine(1, 2, false, 0x120000, 256, all.data(), "note\t\\x");
    CaptureRecord back;
    bool isRecord = false;
    std::string error;
    ASSERT_TRUE(ParseCaptureLine(line, &back, &isRecord, &error)) << error;
    EXPECT_EQ(back.bytes, all);
    EXPECT_EQ(back.note, "note\t\\x");
    EXPECT_EQ(kq::DroppedRecordsComment(3), "# 3 records dropped here\n");
    std::vector<CaptureRecord> records;
    ASSERT_TRUE(ParseCapture(std::string(kq::kCaptureHeader) + "\n" + line + "\n" +
                                 kq::DroppedRecordsComment(1) + line + "\n",
                             &records, &error))
        << error;
    EXPECT_EQ(records.size(), 2u);
}

}  // namespace
