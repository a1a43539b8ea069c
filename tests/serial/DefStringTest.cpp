// SPDX-License-Identifier: MIT
#include "SerCom_p.h"

#include <string>

#include <gtest/gtest.h>

#include "Capture.h"
#include "SerComProbe.h"

namespace {

struct Row {
    const char* def;
    const char* device;
    int number;
    int kind;
    int baud;
    int parity;
    int dataBits;
    int stopBits;
    int type;
    const char* note;
};

void PrintTo(const Row& row, std::ostream* os) {
    *os << row.def;
}

const Row kRows[] = {
    {"ttyUSB0:115200,N,8,1", "ttyUSB", 0, 0x120000, 115200, 0, 8, 0, 0x120000,
     "ttyUSB0:115200,n,8,1"},
    {"ttyS1:9600,E,7,2", "ttyS", 1, 0x100000, 9600, 2, 7, 2, 0x100001, "ttyS1:9600,e,7,2"},
    {"ttyXRUSB2:38400,o,8,1.5", "ttyXRUSB", 2, 0x110000, 38400, 1, 8, 1, 0x110002,
     "ttyXRUSB2:38400,O,8,1.5"},
    {"esl3:19200,s,8,2", "esl", 3, 0x110000, 19200, 4, 8, 2, 0x110003, "esl3:19200,s,8,2"},
    {"ttyACM0:9600,M,8,1", "ttyACM", 0, 0x120000, 9600, 3, 8, 0, 0x120000, "ttyACM0:9600,m,8,1"},
    {"ttyS10:57600", "ttyS1", 0, 0x100000, 57600, 0, 8, 1, 0x100000, "ttyS10:57600,n,8,1.5"},
    {"1:4800", "", 1, 0x100000, 4800, 0, 8, 1, 0x100001, "1:4800,n,8,1.5"},
    {"ttyS1:abc,X,9,3", "ttyS", 1, 0x100000, 9600, 0, 9, 1, 0x100001, "ttyS1:9600,n,9,1.5"},
    {"ttyS2:9600,N,8,1,extra", "ttyS", 2, 0x100000, 9600, 0, 8, 0, 0x100002, "ttyS2:9600,n,8,1"},
    {"ttyEXA4:9600", "ttyEXA", 4, 0x110000, 9600, 0, 8, 1, 0x110004, "ttyEXA4:9600,n,8,1.5"},
    {"ttySBC5:9600", "ttySBC", 5, 0x110000, 9600, 0, 8, 1, 0x110005, "ttySBC5:9600,n,8,1.5"},
    {"ttyFT6:9600", "ttyFT", 6, 0x120000, 9600, 0, 8, 1, 0x120006, "ttyFT6:9600,n,8,1.5"},
    {"ttyEC7:9600", "ttyEC", 7, 0x120000, 9600, 0, 8, 1, 0x120007, "ttyEC7:9600,n,8,1.5"},
    {"ttyAMA0:9600", "ttyAMA", 0, 0x100000, 9600, 0, 8, 1, 0x100000, "ttyAMA0:9600,n,8,1.5"},
};

void ExpectRow(SerComProbe& port, const Row& row) {
    EXPECT_EQ(port.Device(), row.device);
    EXPECT_EQ(port.Number(), row.number);
    EXPECT_EQ(port.Kind(), row.kind);
    EXPECT_EQ(port.Baud(), row.baud);
    EXPECT_EQ(port.Parity(), row.parity);
    EXPECT_EQ(port.DataBits(), row.dataBits);
    EXPECT_EQ(port.StopBits(), row.stopBits);
    EXPECT_STREQ(port.GetNote(), row.note);
}

class WorkedExample : public ::testing::TestWithParam<Row> {};

TEST_P(WorkedExample, StringConstructor) {
    const Row& row = GetParam();
    SerComProbe port(row.def);
    ExpectRow(port, row);
    EXPECT_EQ(port.GetType(), row.type);
    EXPECT_EQ(CSerCom::GetDefType(row.def), port.GetType());
}

TEST_P(WorkedExample, SetDefOnADefaultPort) {
    const Row& row = GetParam();
    SerComProbe port(1);
    EXPECT_EQ(port.SetDef(row.def), 1);
    // A port made by number keeps its own defaults where the string is silent.
    ExpectRow(port, row);
    EXPECT_EQ(port.GetType(), row.type);
}

INSTANTIATE_TEST_SUITE_P(SerCom, WorkedExample, ::testing::ValuesIn(kRows));

TEST(SerComDef, NumberConstructorDefaults) {
    SerComProbe port(3);
    EXPECT_EQ(port.Device(), "COM");
    EXPECT_EQ(port.GetType(), 0x100003);
    EXPECT_STREQ(port.GetNote(), "COM3:9600,n,8,1.5");
    EXPECT_EQ(port.GetHandle(), -1);
    EXPECT_EQ(port.WaitValue(), 1000);
    EXPECT_FALSE(port.WaitFlag());
    EXPECT_EQ(port.ByteTimeout(), 6);
    EXPECT_EQ(port.BaseTimeout(), 100);
}

TEST(SerComDef, NoSeparatorKeepsTheDefaults) {
    SerComProbe port("COM1");
    EXPECT_EQ(port.Device(), "COM");
    EXPECT_EQ(port.Number(), 1);
    EXPECT_EQ(port.GetType(), 0x100001);
    EXPECT_STREQ(port.GetNote(), "COM1:9600,n,8,1.5");
    EXPECT_EQ(CSerCom::GetDefType("COM1"), 0);
}

TEST(SerComDef, SeparatorNotAfterADigit) {
    SerComProbe port("COM:9600");
    EXPECT_EQ(port.Device(), "COM");
    EXPECT_EQ(port.Number(), 9600);
    EXPECT_EQ(port.Baud(), 9600);
    EXPECT_EQ(port.GetType(), 0x102580);
    EXPECT_STREQ(port.GetNote(), "COM9600:9600,n,8,1.5");
    EXPECT_EQ(CSerCom::GetDefType("COM:9600"), 0);
}

TEST(SerComDef, BlanksAfterCommas) {
    SerComProbe port("ttyS1:9600, E, 8, 2");
    EXPECT_EQ(port.Baud(), 9600);
    EXPECT_EQ(port.Parity(), 0);
    EXPECT_EQ(port.DataBits(), 8);
    EXPECT_EQ(port.StopBits(), 1);
    SerComProbe spaced("ttyS1: 19200");
    EXPECT_EQ(spaced.Baud(), 19200);  // leading blanks are skipped
}

TEST(SerComDef, TrailingCommaBelongsToTheLastSegment) {
    SerComProbe port("ttyS1:9600,N,8,2,");
    EXPECT_EQ(port.StopBits(), 1);
    SerComProbe plain("ttyS1:9600,N,8,2");
    EXPECT_EQ(plain.StopBits(), 2);
}

TEST(SerComDef, PrefixesMatchInAnyCase) {
    SerComProbe port("ttyusb0:9600");
    EXPECT_EQ(port.Kind(), 0x120000);
    EXPECT_EQ(port.Device(), "ttyusb");
    EXPECT_EQ(CSerCom::GetDefKind("TTYXRUSB1:1"), 0x110000);
    EXPECT_EQ(CSerCom::GetDefKind("Esl"), 0x110000);
    EXPECT_EQ(CSerCom::GetDefKind("ES"), 0x100000);  // shorter than the prefix
    EXPECT_EQ(CSerCom::GetDefKind("ttyUS"), 0x100000);
    EXPECT_EQ(CSerCom::GetDefKind("ttymxc0"), 0x100000);
    EXPECT_EQ(CSerCom::GetDefKind("ttyACM9"), 0x120000);
}

TEST(SerComDef, ShorterStringKeepsEarlierFields) {
    SerComProbe port("ttyS1:9600,E,7,2");
    port.SetDef("ttyUSB0:115200");
    EXPECT_EQ(port.Device(), "ttyUSB");
    EXPECT_EQ(port.Number(), 0);
    EXPECT_EQ(port.Kind(), 0x120000);
    EXPECT_EQ(port.Baud(), 115200);
    EXPECT_EQ(port.Parity(), 2);
    EXPECT_EQ(port.DataBits(), 7);
    EXPECT_EQ(port.StopBits(), 2);
    EXPECT_STREQ(port.GetNote(), "ttyUSB0:115200,e,7,2");
}

TEST(SerComDef, EmptyFieldsDiffer) {
    SerComProbe port("ttyS1:9600,E,7,2");
    port.SetDef("ttyS1:,,8");
    EXPECT_EQ(port.Baud(), 9600);
    EXPECT_EQ(port.Parity(), 0);
    EXPECT_EQ(port.DataBits(), 8);
    EXPECT_EQ(port.StopBits(), 2);
    EXPECT_STREQ(port.GetNote(), "ttyS1:9600,n,8,2");
}

TEST(SerComDef, StringWithoutBoundaryResetsOnlyTheKind) {
    SerComProbe port("ttyUSB0:9600");
    port.SetDef("COM1");
    EXPECT_EQ(port.Device(), "ttyUSB");
    EXPECT_EQ(port.Number(), 0);
    EXPECT_EQ(port.Kind(), 0x100000);
    EXPECT_EQ(port.GetType(), 0x100000);
}

TEST(SerComDef, NullAndEmptyChangeNothing) {
    SerComProbe port("ttyUSB0:115200,E,7,2");
    const std::string before = port.GetNote();
    auto quiet = kqtest::Capture([&] {
        EXPECT_EQ(port.SetDef(nullptr), 1);
        EXPECT_EQ(port.SetDef(""), 1);
    });
    EXPECT_EQ(port.GetNote(), before);
    EXPECT_EQ(port.Kind(), 0x120000);
    EXPECT_EQ(quiet.log, "");
    EXPECT_EQ(CSerCom::GetDefType(nullptr), 0);
    EXPECT_EQ(CSerCom::GetDefType(""), 0);
    SerComProbe fromNull(static_cast<const char*>(nullptr));
    EXPECT_STREQ(fromNull.GetNote(), "COM1:9600,n,8,1.5");
}

TEST(SerComDef, StopBitTextMustBeExact) {
    SerComProbe port("ttyS1:9600,N,8,2");
    port.SetDef("ttyS1:9600,N,8,1.50");
    EXPECT_EQ(port.StopBits(), 2);
    port.SetDef("ttyS1:9600,N,8,1.5");
    EXPECT_EQ(port.StopBits(), 1);
    port.SetDef("ttyS1:9600,N,8,1");
    EXPECT_EQ(port.StopBits(), 0);
}

TEST(SerComDef, SignedAndOddNumbers) {
    SerComProbe port("ttyS1:-300,N,+7");
    EXPECT_EQ(port.Baud(), -300);
    EXPECT_EQ(port.DataBits(), 7);
    SerComProbe huge("COM:99999999999999");  // clamped, never undefined
    EXPECT_EQ(huge.Number(), 2147483647);
    EXPECT_EQ(CSerCom::GetDefType("ttyS5:1"), 0x100005);
}

// Device names and segments longer than the 16-byte fields are cut to 15
// characters; nothing beyond the arrays is written.
TEST(SerComDef, OverlongTextIsCut) {
    const std::string name(120, 'x');
    SerComProbe port((name + "4:19200,E,7,2").c_str());
    EXPECT_EQ(port.Device(), std::string(15, 'x'));
    EXPECT_EQ(port.Number(), 4);
    EXPECT_EQ(port.Baud(), 19200);
    EXPECT_EQ(port.Parity(), 2);
    EXPECT_EQ(port.DataBits(), 7);
    EXPECT_EQ(port.StopBits(), 2);

    SerComProbe fields(("ttyS1:" + std::string(100, '9') + "," + std::string(100, 'E') + "," +
                        std::string(100, '7') + ",2")
                           .c_str());
    EXPECT_EQ(fields.Device(), "ttyS");
    EXPECT_EQ(fields.Baud(), 2147483647);
    EXPECT_EQ(fields.Parity(), 2);
    EXPECT_EQ(fields.DataBits(), 2147483647);
    EXPECT_EQ(fields.StopBits(), 2);
    EXPECT_LT(std::string(fields.GetNote()).size(), 64u);

    const std::string many(5000, ',');
    SerComProbe commas(("ttyS1:9600" + many).c_str());
    EXPECT_EQ(commas.Baud(), 9600);
    EXPECT_EQ(CSerCom::GetDefType((name + "4:1").c_str()), 0x100004);
}

TEST(SerComDef, WaitAndWaitProc) {
    SerComProbe port(1);
    EXPECT_EQ(port.Wait(), 0);
    EXPECT_TRUE(port.WaitFlag());
    EXPECT_EQ(CSerCom::WaitProc(nullptr), 0);
    EXPECT_EQ(CSerCom::WaitProc(&port), 0);
}

}  // namespace
