// SPDX-License-Identifier: MIT
// A stream port to a host that never answers, inside a private network
// namespace: Open gives up after its three 5-second waits.
#include <string>

#include <gtest/gtest.h>

#include "Capture.h"
#include "Loopback.h"
#include "Pty.h"
#include "SerNet_p.h"

namespace {

TEST(NetSilentHost, OpenGivesUpAfterThreeWaits) {
    kqtest::PrivateNet net;
    if (!net.ok()) {
        GTEST_SKIP() << net.why();
    }
    CSerNet port("192.0.2.2:502");
    const int fds = kqtest::OpenFdCount();
    const double start = kqtest::NowMs();
    auto got = kqtest::Capture([&] { EXPECT_EQ(port.Open(nullptr), 0); });
    const double took = kqtest::NowMs() - start;
    EXPECT_GE(took, 14500);
    EXPECT_LT(took, 20000);
    EXPECT_EQ(got.log, "CSerNet::Open ERROR: Failed to connect to the host!\n");
    EXPECT_EQ(kqtest::OpenFdCount(), fds);
}

}  // namespace
