// SPDX-License-Identifier: MIT
#include "HexDump.h"

#include <climits>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

const unsigned char kBytes[] = {0x02, 0x41, 0xFF};

std::string Dump(const std::vector<unsigned char>& data, int gap) {
    return BufToHexStr(data.data(), static_cast<int>(data.size()), gap);
}

TEST(HexDump, Digits) {
    const char* expected = "0123456789ABCDEF";
    for (int v = 0; v < 16; ++v) {
        EXPECT_EQ(_TOHEX(static_cast<unsigned char>(v)), expected[v]);
        // The high four bits are ignored.
        EXPECT_EQ(_TOHEX(static_cast<unsigned char>(0xA0 | v)), expected[v]);
    }
    const unsigned char ab = 0xAB;
    EXPECT_STREQ(BufToHexStr(&ab, 1, 0), "AB");
}

TEST(HexDump, GapFollowsEveryByte) {
    char out[32];
    EXPECT_EQ(BufToHexStr(kBytes, 3, out, sizeof out, 0), 6);
    EXPECT_STREQ(out, "0241FF");
    EXPECT_EQ(BufToHexStr(kBytes, 3, out, sizeof out, 1), 9);
    EXPECT_STREQ(out, "02 41 FF ");
    EXPECT_EQ(BufToHexStr(kBytes, 3, out, sizeof out, 2), 12);
    EXPECT_STREQ(out, "02  41  FF  ");
    EXPECT_STREQ(BufToHexStr(kBytes, 3, 1), "02 41 FF ");
}

TEST(HexDump, OutputSizeMustHoldTheTerminator) {
    char out[16];
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(BufToHexStr(kBytes, 3, out, 9, 1), -1);  // 9 characters, no room for the end
    EXPECT_EQ(out[0], '#');                            // nothing written
    EXPECT_EQ(BufToHexStr(kBytes, 3, out, 10, 1), 9);
    EXPECT_STREQ(out, "02 41 FF ");
    EXPECT_EQ(out[10], '#');
}

TEST(HexDump, EmptyAndNegativeLengths) {
    char out[4] = {'#', '#', '#', '#'};
    EXPECT_EQ(BufToHexStr(kBytes, 0, out, sizeof out, 1), 0);
    EXPECT_EQ(out[0], '\0');
    EXPECT_EQ(out[1], '#');  // only the terminator
    out[0] = '#';
    EXPECT_EQ(BufToHexStr(kBytes, -5, out, 1, 1), 0);
    EXPECT_EQ(out[0], '\0');
    EXPECT_EQ(BufToHexStr(kBytes, 0, out, 0, 1), -1);

    EXPECT_STREQ(BufToHexStr(kBytes, 3, 1), "02 41 FF ");
    EXPECT_STREQ(BufToHexStr(kBytes, 0, 1), "");
    EXPECT_STREQ(BufToHexStr(kBytes, 3, 1), "02 41 FF ");
    // A negative length must not leave the previous text behind.
    EXPECT_STREQ(BufToHexStr(kBytes, -1, 1), "");
    EXPECT_STREQ(BufToHexStr(kBytes, INT_MIN, 1), "");
}

TEST(HexDump, BadArgumentsAreRefused) {
    char out[16];
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(BufToHexStr(nullptr, 3, out, sizeof out, 1), -1);
    EXPECT_EQ(BufToHexStr(kBytes, 3, nullptr, 16, 1), -1);
    EXPECT_EQ(BufToHexStr(kBytes, 3, out, sizeof out, -1), -1);
    EXPECT_EQ(BufToHexStr(kBytes, 3, out, -16, 1), -1);
    EXPECT_EQ(out[0], '#');

    EXPECT_STREQ(BufToHexStr(kBytes, 3, 1), "02 41 FF ");
    EXPECT_STREQ(BufToHexStr(nullptr, 3, 1), "");
    EXPECT_STREQ(BufToHexStr(kBytes, 3, 1), "02 41 FF ");
    EXPECT_STREQ(BufToHexStr(kBytes, 3, -1), "");
    EXPECT_STREQ(BufToHexStr(kBytes, 3, -2), "");  // -2 would make every byte cost nothing
}

TEST(HexDump, LongTextsGiveTheMessage) {
    const std::vector<unsigned char> data(600, 0x5A);
    const auto head = [&](size_t n) {
        return std::vector<unsigned char>(data.begin(), data.begin() + n);
    };

    const std::string at340 = Dump(head(340), 1);
    EXPECT_EQ(at340.size(), 1020u);
    EXPECT_EQ(at340.substr(0, 6), "5A 5A ");
    EXPECT_EQ(Dump(head(341), 1), "msg.len > 1024");

    EXPECT_EQ(Dump(head(511), 0).size(), 1022u);
    EXPECT_EQ(Dump(head(512), 0), "msg.len > 1024");

    EXPECT_EQ(Dump(head(255), 2).size(), 1020u);
    EXPECT_EQ(Dump(head(256), 2), "msg.len > 1024");

    // Sizes beyond the int range, from the length or from the gap.
    EXPECT_STREQ(BufToHexStr(data.data(), INT_MAX, 1), "msg.len > 1024");
    EXPECT_STREQ(BufToHexStr(data.data(), 1, INT_MAX), "msg.len > 1024");
    EXPECT_STREQ(BufToHexStr(data.data(), INT_MAX, INT_MAX), "msg.len > 1024");

    // The five-argument form has no such cap.
    std::vector<char> out(600 * 3 + 1);
    EXPECT_EQ(BufToHexStr(data.data(), 600, out.data(), static_cast<int>(out.size()), 1), 1800);
    EXPECT_EQ(std::strlen(out.data()), 1800u);
}

TEST(HexDump, SameBufferWithinAThread) {
    const char* first = BufToHexStr(kBytes, 1, 1);
    const char* second = BufToHexStr(kBytes + 1, 1, 1);
    EXPECT_EQ(first, second);
    EXPECT_STREQ(first, "41 ");
}

// Two threads dumping different buffers at the same time each keep their
// own text.
TEST(HexDump, ThreadsGetTheirOwnText) {
    constexpr int kRounds = 20000;
    const std::vector<unsigned char> a(40, 0xA5);
    const std::vector<unsigned char> b(17, 0x3C);
    std::string wantA;
    std::string wantB;
    for (size_t i = 0; i < a.size(); ++i) wantA += "A5 ";
    for (size_t i = 0; i < b.size(); ++i) wantB += "3C ";

    auto run = [](const std::vector<unsigned char>* data, const std::string* want, int* bad,
                  const char** where) {
        for (int i = 0; i < kRounds; ++i) {
            const char* text = BufToHexStr(data->data(), static_cast<int>(data->size()), 1);
            *where = text;
            if (*want != text) {
                ++*bad;
            }
        }
    };
    int badA = 0;
    int badB = 0;
    const char* whereA = nullptr;
    const char* whereB = nullptr;
    std::thread ta(run, &a, &wantA, &badA, &whereA);
    std::thread tb(run, &b, &wantB, &badB, &whereB);
    ta.join();
    tb.join();
    EXPECT_EQ(badA, 0);
    EXPECT_EQ(badB, 0);
    EXPECT_NE(whereA, whereB);
}

}  // namespace
