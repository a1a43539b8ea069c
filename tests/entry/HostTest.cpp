// SPDX-License-Identifier: MIT
// The library as a host sees it: dlopen, the five entry points resolved by
// name, then only ISerManager and ISerBase.
#include "kqSer.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "Capture.h"
#include "HostLibrary.h"
#include "ISerBase.h"

namespace {

const kqtool::KqLibrary& Lib() {
    static kqtest::HostLibrary host;
    return host.lib();
}

std::string Hex(const void* p) {
    char text[32];
    std::snprintf(text, sizeof text, "%x",
                  static_cast<unsigned int>(reinterpret_cast<std::uintptr_t>(p)));
    return text;
}

TEST(Host, ResolvesTheEntryPointsByPlainName) {
    const kqtool::KqLibrary& lib = Lib();
    ASSERT_NE(lib.handle, nullptr);
    ASSERT_NE(lib.dllType, nullptr);
    ASSERT_NE(lib.dllNote, nullptr);
    ASSERT_NE(lib.dllVersion, nullptr);
    ASSERT_NE(lib.getSerManager, nullptr);
    ASSERT_NE(lib.freeSerManager, nullptr);
    EXPECT_EQ(lib.dllType(), 0);
    EXPECT_EQ(lib.dllVersion(), 1);
    EXPECT_STREQ(lib.dllNote(), "kqSer.so for ISerBase, support COM, DIO, Net and USB");
    EXPECT_EQ(lib.dllNote(), lib.dllNote());
}

TEST(Host, VariantShowsInItsExports) {
    const kqtool::KqLibrary& lib = Lib();
    ASSERT_NE(lib.handle, nullptr);
    const bool silent = !kqtest::kConsole;
    EXPECT_EQ(dlsym(lib.handle, "trace_log") != nullptr, silent);
    EXPECT_EQ(dlsym(lib.handle, "filename") != nullptr, silent);
    EXPECT_EQ(dlsym(lib.handle, "flogIni") != nullptr, silent);
    // Internal helpers stay inside.
    EXPECT_EQ(dlsym(lib.handle, "kq_own_trace_log"), nullptr);
}

TEST(Host, ManagerThroughTheInterfaces) {
    const kqtool::KqLibrary& lib = Lib();
    ASSERT_NE(lib.getSerManager, nullptr);
    ISerManager* manager = nullptr;
    auto got = kqtest::Capture([&] { manager = lib.getSerManager(); });
    ASSERT_NE(manager, nullptr);
    // The host's trace_log (silent) or standard output (console) hears it.
    EXPECT_EQ(got.log, "SerManager new: " + Hex(manager) + "\r\n");
    EXPECT_EQ(lib.getSerManager(), manager);

    ISerBase* serial = manager->GetSer(nullptr, 0x100003);
    ASSERT_NE(serial, nullptr);
    EXPECT_EQ(serial->GetType(), 0x100003);
    EXPECT_STREQ(serial->GetNote(), "COM3:9600,n,8,1.5");
    EXPECT_EQ(manager->GetSer(nullptr, 0x100003), serial);
    EXPECT_EQ(manager->GetSer(nullptr, 0x400001), nullptr);

    ISerBase* net = manager->GetSer("10.0.0.5:502", 0x200001);
    ASSERT_NE(net, nullptr);
    EXPECT_EQ(net->GetType(), 0x200001);
    EXPECT_STREQ(net->GetNote(), "NET 502 10.0.0.5:502");

    ISerBase* dio = manager->GetSer(nullptr, 0x800001);
    ASSERT_NE(dio, nullptr);
    EXPECT_EQ(manager->GetSer(nullptr, 0x800002), dio);

    EXPECT_EQ(serial->SetTimeout(1, 2), 1);
    serial->Lock();
    EXPECT_EQ(serial->IsBusy(), 1);
    serial->Unlock();
    EXPECT_EQ(serial->IsBusy(), 0);

    int freed = -100;
    auto bye = kqtest::Capture([&] { freed = lib.freeSerManager(); });
    EXPECT_EQ(freed, 0);
    EXPECT_EQ(bye.log, "SerManager delete: " + Hex(manager) +
                           "\r\nSerManager free: " + Hex(manager) + "\r\n");

    // A fresh manager afterwards: nothing registered.
    ISerManager* fresh = lib.getSerManager();
    ASSERT_NE(fresh, nullptr);
    ISerBase* again = fresh->GetSer(nullptr, 0x100003);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->GetType(), 0x100003);
    kqtest::Capture([&] { EXPECT_EQ(lib.freeSerManager(), 0); });
    kqtest::Capture([&] { EXPECT_EQ(lib.freeSerManager(), 0); });  // nothing left to free
}

}  // namespace
