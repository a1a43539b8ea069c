// SPDX-License-Identifier: MIT
#include "SerBase_p.h"
#include "SerUsb_p.h"

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

namespace {

// Exposes the base members and records what reaches the two-argument Write.
class ProbePort : public CSerBase {
public:
    using CSerBase::CSerBase;
    using CSerBase::Write;
    int Write(const unsigned char* buf, int len) override {
        lastBuf = buf;
        lastLen = len;
        return 42;
    }
    int ByteTimeout() const { return m_nByteTimeout; }
    int BaseTimeout() const { return m_nBaseTimeout; }
    size_t Observers() const { return m_vecObserver.size(); }

    const unsigned char* lastBuf = nullptr;
    int lastLen = -100;
};

// A port whose UpdParams records what SetDef passed on.
class DefPort : public CSerBase {
public:
    DefPort() : CSerBase(3) {}
    void UpdParams(const char* def) override {
        ++calls;
        last = def;
    }
    int calls = 0;
    const char* last = reinterpret_cast<const char*>(1);
};

TEST(SerBase, NumberConstructorKeepsDefaults) {
    ProbePort port(7);
    EXPECT_EQ(port.GetType(), 0x100007);
    EXPECT_STREQ(port.GetNote(), "CSerBase");
    EXPECT_EQ(port.IsBusy(), 0);
    EXPECT_EQ(port.ByteTimeout(), 6);
    EXPECT_EQ(port.BaseTimeout(), 100);
}

TEST(SerBase, StringConstructorIgnoresTheString) {
    ProbePort port("ttyUSB3:9600,N,8,1");
    EXPECT_EQ(port.GetType(), 0x100001);
    EXPECT_STREQ(port.GetNote(), "CSerBase");
    ProbePort nullPort(static_cast<const char*>(nullptr));
    EXPECT_EQ(nullPort.GetType(), 0x100001);
}

TEST(SerBase, TypeCodeIsAPlainSum) {
    ProbePort port(0x10000);
    EXPECT_EQ(port.GetType(), 0x110000);
    ProbePort high(0x7FFFFFFF);  // wraps instead of overflowing
    EXPECT_EQ(high.GetType(), static_cast<int>(0x7FFFFFFFu + 0x100000u));
}

TEST(SerBase, SetTimeoutStoresWithoutRangeTest) {
    ProbePort port(1);
    EXPECT_EQ(port.SetTimeout(0, -5), 1);
    EXPECT_EQ(port.ByteTimeout(), 0);
    EXPECT_EQ(port.BaseTimeout(), -5);
}

TEST(SerBase, SetDefPassesThePointerOnAndSucceeds) {
    DefPort port;
    const char* text = "x:1";
    EXPECT_EQ(port.SetDef(text), 1);
    EXPECT_EQ(port.last, text);
    EXPECT_EQ(port.SetDef(nullptr), 1);
    EXPECT_EQ(port.last, nullptr);
    EXPECT_EQ(port.calls, 2);

    ProbePort plain(4);  // the base UpdParams changes nothing
    EXPECT_EQ(plain.SetDef("ttyUSB0:115200"), 1);
    EXPECT_EQ(plain.SetDef(nullptr), 1);
    EXPECT_EQ(plain.GetType(), 0x100004);
    EXPECT_STREQ(plain.GetNote(), "CSerBase");
}

TEST(SerBase, TextWritePassesItsLength) {
    ProbePort port(1);
    const unsigned char text[] = "hello";
    EXPECT_EQ(port.Write(text), 42);
    EXPECT_EQ(port.lastBuf, text);
    EXPECT_EQ(port.lastLen, 5);
    const unsigned char empty[] = "";
    EXPECT_EQ(port.Write(empty), 42);
    EXPECT_EQ(port.lastLen, 0);
    // A null text is refused before anything reads it.
    port.lastLen = -100;
    EXPECT_EQ(port.Write(static_cast<const unsigned char*>(nullptr)), -1);
    EXPECT_EQ(port.lastLen, -100);
}

TEST(SerBase, ObserverSequence) {
    ProbePort port(1);
    ISerObserver p, q, r;
    EXPECT_EQ(port.InsertObserver(nullptr), -1);
    EXPECT_EQ(port.InsertObserver(&p), 0);
    EXPECT_EQ(port.InsertObserver(&p), 0);  // no second entry
    EXPECT_EQ(port.Observers(), 1u);
    EXPECT_EQ(port.InsertObserver(&q), 1);
    EXPECT_EQ(port.InsertObserver(&r), 2);
    EXPECT_EQ(port.RemoveObserver(&q), 1);
    EXPECT_EQ(port.InsertObserver(&r), 1);  // r moved down one place
    EXPECT_EQ(port.RemoveObserver(&q), -1);
    EXPECT_EQ(port.InsertObserver(&q), 2);
    EXPECT_EQ(port.RemoveObserver(nullptr), -1);
    EXPECT_EQ(port.RemoveObserver(&p), 0);
    EXPECT_EQ(port.Observers(), 2u);
}

TEST(SerBase, LockSetsAndUnlockClearsBusy) {
    ProbePort port(1);
    port.Lock();
    EXPECT_EQ(port.IsBusy(), 1);
    port.Unlock();
    EXPECT_EQ(port.IsBusy(), 0);
}

TEST(SerBase, LockSerialisesHostThreads) {
    ProbePort port(1);
    long counter = 0;  // deliberately unsynchronised but for the port lock
    constexpr int kRounds = 200000;
    auto work = [&] {
        for (int i = 0; i < kRounds; ++i) {
            port.Lock();
            counter = counter + 1;
            port.Unlock();
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 2L * kRounds);
    EXPECT_EQ(port.IsBusy(), 0);
}

TEST(SerBase, DeviceOperationsFailWithFixedResults) {
    ProbePort port(1);
    unsigned char buf[4] = {9, 9, 9, 9};
    EXPECT_EQ(port.Open("ttyS0:9600"), 0);
    EXPECT_EQ(port.Close(), 0);
    EXPECT_EQ(port.IsOpened(), 0);
    EXPECT_EQ(port.GetHandle(), -1);
    EXPECT_EQ(port.SetPort(5), 0);
    EXPECT_EQ(port.SetBaud(19200), 0);
    EXPECT_EQ(port.Purge(), 0);
    EXPECT_EQ(port.CSerBase::Read(buf, 4, 100), -1);
    EXPECT_EQ(port.CSerBase::Write(buf, 4), -1);
    EXPECT_EQ(buf[0], 9);
    EXPECT_EQ(port.GetType(), 0x100001);
}

TEST(SerUsb, AnswersLikeTheBase) {
    CSerUsb usb;
    ISerBase& port = usb;
    unsigned char buf[4] = {7, 7, 7, 7};
    EXPECT_EQ(port.GetType(), 0x100001);
    EXPECT_STREQ(port.GetNote(), "CSerBase");
    EXPECT_EQ(port.Open(nullptr), 0);
    EXPECT_EQ(port.IsOpened(), 0);
    EXPECT_EQ(port.GetHandle(), -1);
    EXPECT_EQ(port.Read(buf, 4, 0), -1);
    EXPECT_EQ(buf[0], 7);
    EXPECT_EQ(port.Write(buf, 4), -1);
    EXPECT_EQ(port.Write(reinterpret_cast<const unsigned char*>("ab")), -1);
    EXPECT_EQ(port.Purge(), 0);
    EXPECT_EQ(port.SetBaud(9600), 0);
    EXPECT_EQ(port.SetPort(1), 0);
    EXPECT_EQ(port.SetDef("ttyUSB0:9600"), 1);
    EXPECT_EQ(port.GetType(), 0x100001);
}

// The interface is the layout host binaries call through.
TEST(SerBase, InterfaceLayout) {
    static_assert(sizeof(ISerBase) == sizeof(void*), "ISerBase holds only its table");
    static_assert(std::is_abstract<ISerBase>::value, "ISerBase is abstract");
    static_assert(std::has_virtual_destructor<CSerBase>::value, "ports are deleted as CSerBase");
    static_assert(!std::has_virtual_destructor<ISerBase>::value, "ISerBase declares none");
    SUCCEED();
}

}  // namespace
