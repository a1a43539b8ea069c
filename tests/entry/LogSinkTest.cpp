// Log lines reach a host's trace_log (silent build) or standard output
// (console build), byte for byte.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "Capture.h"
#include "SerCom_p.h"
#include "SerDio_p.h"

namespace {

std::string Format(const char* format, unsigned int addr, int number) {
    char text[128];
    std::snprintf(text, sizeof text, format, addr, number);
    return text;
}

unsigned int Addr(const void* p) {
    return static_cast<unsigned int>(reinterpret_cast<std::uintptr_t>(p));
}

TEST(LogSink, SerialPortConstructionLines) {
    std::unique_ptr<CSerCom> port;
    auto got = kqtest::Capture([&] { port.reset(new CSerCom("ttyUSB0:115200,N,8,1")); });

    const std::string init = Format("CSerCom InitCom: %x  %d\r\n", Addr(port.get()), 1);
    const std::string upd = "CSerCom UpdParams: ComPort: ttyUSB0, 0, 0\r\n";
    EXPECT_EQ(got.log, init + upd);
    if (kqtest::kConsole) {
        EXPECT_EQ(got.out, init + upd);
    } else {
        EXPECT_EQ(got.out, "");
        ASSERT_EQ(got.calls.size(), 2u);
        EXPECT_EQ(got.calls[0].section, "RtLog");
        EXPECT_EQ(got.calls[0].format, "CSerCom InitCom: %x  %d\r\n");
        EXPECT_EQ(got.calls[1].section, "RtLog");
        EXPECT_EQ(got.calls[1].format, "CSerCom UpdParams: ComPort: %s%d, %d, %d\r\n");
    }
}

TEST(LogSink, EveryCallCarriesTheSection) {
    auto got = kqtest::Capture([] {
        CSerCom a(5);
        a.SetDef("ttyS1:9600,E,7,2");
        CSerDio dio(nullptr);
    });
    EXPECT_EQ(kqtest::Lines(got.log).size(), 3u);
    EXPECT_NE(got.log.find("CSerCom UpdParams: ComPort: ttyS1, 2, 2\r\n"), std::string::npos);
    EXPECT_NE(got.log.find("CSerDio::CSerDio: Dio Init\n"), std::string::npos);
    for (const auto& call : got.calls) {
        EXPECT_EQ(call.section, "RtLog");
    }
}

TEST(LogSink, NumberConstructorLogsOnlyInit) {
    std::unique_ptr<CSerCom> port;
    auto got = kqtest::Capture([&] { port.reset(new CSerCom(12)); });
    EXPECT_EQ(got.log, Format("CSerCom InitCom: %x  %d\r\n", Addr(port.get()), 12));
}

}  // namespace
