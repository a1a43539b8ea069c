// SPDX-License-Identifier: MIT
// The fault matrix's pure parts, row by row: the plan of injections, the
// names in its table, the reading of the library's code for its call sites,
// and the peers' finding of requests in what they receive.
#include "FaultPlan.h"

#include <netdb.h>

#include <cerrno>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Exchange.h"
#include "Peers.h"
#include "Sites.h"

namespace {

using kqtest::FaultKind;
using kqtest::Injection;
using kqtest::interpose::Fn;

TEST(FaultPlan, EveryCallOfEveryFunctionWithEveryFaultThatFitsIt) {
    int calls[kqtest::interpose::kFnCount] = {};
    calls[static_cast<int>(Fn::read)] = 3;
    calls[static_cast<int>(Fn::close)] = 1;
    const std::vector<Injection> plan = kqtest::Plan(calls, nullptr);
    const size_t reads = kqtest::FaultsFor(Fn::read).size();
    const size_t closes = kqtest::FaultsFor(Fn::close).size();
    ASSERT_EQ(plan.size(), 3 * reads + closes);
    EXPECT_EQ(plan.front().fn, Fn::close);  // in the order of the layer's rows
    EXPECT_EQ(plan.back().fn, Fn::read);
    EXPECT_EQ(plan.back().nth, 3);

    const auto errorsOnly = [](Fn, const FaultKind& kind) { return kind.err != 0; };
    for (const Injection& in : kqtest::Plan(calls, errorsOnly)) {
        EXPECT_NE(in.kind.err, 0);
    }
}

TEST(FaultPlan, ReadsAndWritesCanComeShortOtherCallsCannot) {
    const auto hasShort = [](Fn fn) {
        for (const FaultKind& kind : kqtest::FaultsFor(fn)) {
            if (kind.err == 0) {
                return kind.shortTo == 1;
            }
        }
        return false;
    };
    for (Fn fn : {Fn::read, Fn::write, Fn::recv, Fn::send, Fn::recvfrom, Fn::sendto}) {
        EXPECT_TRUE(hasShort(fn)) << kqtest::interpose::FnName(fn);
    }
    for (Fn fn : {Fn::open, Fn::close, Fn::ioctl, Fn::connect, Fn::fsync}) {
        EXPECT_FALSE(hasShort(fn)) << kqtest::interpose::FnName(fn);
    }
    // Every function of the layer meets some fault.
    for (int i = 0; i < kqtest::interpose::kFnCount; ++i) {
        EXPECT_FALSE(kqtest::FaultsFor(static_cast<Fn>(i)).empty())
            << kqtest::interpose::FnName(static_cast<Fn>(i));
    }
}

TEST(FaultPlan, SampleKeepsEveryStrideFromTheFirst) {
    std::vector<Injection> all;
    for (int i = 1; i <= 20; ++i) {
        all.push_back({Fn::read, i, FaultKind{EIO, -1}});
    }
    const std::vector<Injection> some = kqtest::Sample(all, 7, 10);
    ASSERT_EQ(some.size(), 3u);
    EXPECT_EQ(some[0].nth, 1);
    EXPECT_EQ(some[1].nth, 8);
    EXPECT_EQ(some[2].nth, 15);
    EXPECT_EQ(kqtest::Sample(all, 1, 4).size(), 4u);
    EXPECT_EQ(kqtest::Sample({}, 7, 4).size(), 0u);
}

TEST(FaultPlan, FaultNames) {
    EXPECT_EQ(kqtest::FaultName(Fn::read, {EINTR, -1}), "EINTR");
    EXPECT_EQ(kqtest::FaultName(Fn::write, {0, 1}), "short");
    EXPECT_EQ(kqtest::FaultName(Fn::gethostbyname, {HOST_NOT_FOUND, -1}), "HOST_NOT_FOUND");
    EXPECT_EQ(kqtest::FaultName(Fn::getservbyname, {ENOENT, -1}), "none");
    EXPECT_EQ(kqtest::FaultName(Fn::read, {4095, -1}), "errno 4095");
}

TEST(FaultPlan, FunctionsByTheNamesABuildCallsThem) {
    Fn fn = Fn::kCount;
    ASSERT_TRUE(kqtest::interpose::FnBySymbol("__read_chk", &fn));
    EXPECT_EQ(fn, Fn::read);
    ASSERT_TRUE(kqtest::interpose::FnBySymbol("open64", &fn));
    EXPECT_EQ(fn, Fn::open);
    ASSERT_TRUE(kqtest::interpose::FnBySymbol("fcntl64", &fn));
    EXPECT_EQ(fn, Fn::fcntl);
    ASSERT_TRUE(kqtest::interpose::FnBySymbol("tcsetattr", &fn));
    EXPECT_EQ(fn, Fn::tcsetattr);
    EXPECT_FALSE(kqtest::interpose::FnBySymbol("memcpy", &fn));
}

TEST(Sites, InstructionLinesOfBothArchitectures) {
    kqtest::Insn insn;
    std::string function = "before";
    ASSERT_TRUE(kqtest::ParseInsn("   12345:\tcall   11230 <read@plt>", &insn, &function));
    EXPECT_EQ(insn.addr, 0x12345u);
    EXPECT_EQ(insn.mnemonic, "call");
    EXPECT_EQ(insn.target, "read@plt");
    EXPECT_EQ(function, "before");
    ASSERT_TRUE(kqtest::ParseInsn("    a1c4:\tblx\t8040 <open64@plt>", &insn, &function));
    EXPECT_EQ(insn.addr, 0xa1c4u);
    EXPECT_EQ(insn.mnemonic, "blx");
    EXPECT_EQ(insn.target, "open64@plt");
    ASSERT_TRUE(kqtest::ParseInsn("   1a2b:\tmov    %rdi,%rsi", &insn, &function));
    EXPECT_EQ(insn.target, "");

    EXPECT_FALSE(kqtest::ParseInsn("0000000000012340 <_ZN7CSerCom4OpenEPKc>:", &insn, &function));
    EXPECT_EQ(function, "_ZN7CSerCom4OpenEPKc");
    EXPECT_FALSE(kqtest::ParseInsn("Disassembly of section .text:", &insn, &function));
    EXPECT_FALSE(kqtest::ParseInsn("", &insn, &function));

    EXPECT_TRUE(kqtest::IsCall("callq"));
    EXPECT_TRUE(kqtest::IsCall("bl"));
    EXPECT_TRUE(kqtest::IsJump("jmp"));
    EXPECT_TRUE(kqtest::IsJump("b.w"));
    EXPECT_FALSE(kqtest::IsCall("jmp"));
    EXPECT_FALSE(kqtest::IsJump("bl"));
}

TEST(Sites, TheSourceFrameSkipsTheCLibrarysInlineWrappers) {
    EXPECT_EQ(
        kqtest::SourceFrame({"read", "/usr/include/x86_64-linux-gnu/bits/unistd.h:38",
                             "kq::LineRead(int, void*, unsigned long, kq::OnSignal)",
                             "/work/build/src/../../src/serial/LineIo.cpp:34 (discriminator 2)"}),
        "src/serial/LineIo.cpp:34 kq::LineRead");
    EXPECT_EQ(kqtest::SourceFrame({"CSerCom::Open(char const*)", "/a/src/serial/SerComIo.cpp:29"}),
              "src/serial/SerComIo.cpp:29 CSerCom::Open");
    EXPECT_EQ(kqtest::SourceFrame({"??", "??:0"}), "??:0 ??");
    EXPECT_EQ(kqtest::SourceFrame({}), "?");
}

TEST(Peers, RequestsFoundInWhatArrives) {
    size_t end = 0;
    uint32_t seq = 0;
    const std::string request = kqtest::Request(5);
    ASSERT_TRUE(kqtest::FindRequest(request, &end, &seq));
    EXPECT_EQ(end, request.size());
    EXPECT_EQ(seq, 5u);
    // After the bytes of an abandoned one.
    const std::string late = request.substr(0, 3) + kqtest::Request(6);
    ASSERT_TRUE(kqtest::FindRequest(late, &end, &seq));
    EXPECT_EQ(seq, 6u);
    EXPECT_EQ(end, late.size());
    // Not yet whole.
    EXPECT_FALSE(kqtest::FindRequest(request.substr(0, 7), &end, &seq));
    EXPECT_FALSE(kqtest::FindRequest(kqtest::Reply(5), &end, &seq));
}

}  // namespace
