// SPDX-License-Identifier: MIT
// Without a host trace_log the silent build prints nothing, and its own
// trace_log answers 1.
#include "kqSer.h"

#include <gtest/gtest.h>

#include "Capture.h"
#include "SerCom_p.h"
#include "SerDio_p.h"

extern "C" int trace_log(const char* section, const char* format, ...);

namespace {

TEST(Silent, PortsPrintNothing) {
    const std::string out = kqtest::CaptureStdout([] {
        CSerCom port("ttyUSB0:115200,N,8,1");
        port.SetDef("ttyS1:9600,E,7,2");
        CSerDio dio("KQI1:");
    });
    EXPECT_EQ(out, "");
}

TEST(Silent, OwnSinkAnswersOneAndPrintsNothing) {
    int result = 0;
    const std::string out =
        kqtest::CaptureStdout([&] { result = trace_log("any", "%s %d %x\n", "text", 5, 0xABu); });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(out, "");
}

}  // namespace
