// SPDX-License-Identifier: MIT
#include "SerManager_p.h"

#include <fcntl.h>
#include <malloc.h>

#include <cerrno>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Capture.h"
#include "Pty.h"
#include "SerBase_p.h"
#include "SerCom_p.h"

extern "C" int trace_log(const char* section, const char* format, ...);

namespace {

// A manager of one's own, with the registry size in view.
class ManagerProbe : public CSerManager {
public:
    size_t Size() const { return m_vecSer.size(); }
};

// Puts a marker among the log lines of this binary's variant.
void Mark(const std::string& text) {
    if (kqtest::kConsole) {
        std::printf("%s", text.c_str());
    } else {
        trace_log("Test", "%s", text.c_str());
    }
}

// A port that leaves a marker when destroyed.
class MarkedPort : public CSerBase {
public:
    explicit MarkedPort(int number) : CSerBase(number) {}
    ~MarkedPort() override { Mark("~" + std::to_string(m_nNumber) + "\n"); }
};

std::string Hex(const void* p) {
    char text[32];
    std::snprintf(text, sizeof text, "%x",
                  static_cast<unsigned int>(reinterpret_cast<std::uintptr_t>(p)));
    return text;
}

class Manager : public ::testing::Test {
protected:
    void TearDown() override { CSerManager::FreeInstance(); }
};

TEST_F(Manager, EmptyManager) {
    ManagerProbe m;
    EXPECT_EQ(m.FindType(0x100001), -1);
    EXPECT_EQ(m.FindType(0), -1);
    EXPECT_EQ(m.GetSer(nullptr, 0x400001), nullptr);
    EXPECT_EQ(m.GetSer("ttyUSB0:9600", 0x400000), nullptr);
    EXPECT_EQ(m.Size(), 0u);
}

TEST_F(Manager, SerialByNumberIsBuiltOnceAndHandedOutAgain) {
    ManagerProbe m;
    ISerBase* port = m.GetSer(nullptr, 0x100003);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->GetType(), 0x100003);
    EXPECT_STREQ(port->GetNote(), "COM3:9600,n,8,1.5");
    EXPECT_EQ(m.GetSer(nullptr, 0x100003), port);
    EXPECT_EQ(m.Size(), 1u);

    ISerBase* zero = m.GetSer(nullptr, 0);
    ASSERT_NE(zero, nullptr);
    EXPECT_EQ(zero->GetType(), 0x100000);
    EXPECT_EQ(m.FindType(0x100000), 1);
}

TEST_F(Manager, SerialFamilyBitsOfABareCodeAreNotKept) {
    ManagerProbe m;
    ISerBase* port = m.GetSer(nullptr, 0x110005);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->GetType(), 0x100005);
    // Misses the first look-up, builds a duplicate, gets the first port back.
    EXPECT_EQ(m.GetSer(nullptr, 0x110005), port);
    EXPECT_EQ(m.GetSer(nullptr, 0x100005), port);
    EXPECT_EQ(m.Size(), 1u);
}

TEST_F(Manager, SerialByDefinitionString) {
    ManagerProbe m;
    ISerBase* usb = m.GetSer("ttyUSB0:115200,N,8,1", 0x120000);
    ASSERT_NE(usb, nullptr);
    EXPECT_EQ(usb->GetType(), 0x120000);
    EXPECT_STREQ(usb->GetNote(), "ttyUSB0:115200,n,8,1");
    // Found by the type code the string names, whatever code is asked for.
    EXPECT_EQ(m.GetSer("ttyUSB0:9600", 0x100009), usb);
    EXPECT_STREQ(usb->GetNote(), "ttyUSB0:115200,n,8,1");  // def not applied
    // The requested code serves only the first look-up.
    ISerBase* s1 = m.GetSer("ttyS1:9600,E,7,2", 0x100007);
    ASSERT_NE(s1, nullptr);
    EXPECT_EQ(s1->GetType(), 0x100001);
    EXPECT_EQ(m.FindType(0x100007), -1);
    EXPECT_EQ(m.Size(), 2u);
}

// The code is the prefix's kind plus the one port digit: names that differ
// elsewhere share a port, as the README's rules for hosts warn.
TEST_F(Manager, SerialNamesWithOneCodeShareOnePort) {
    const struct {
        const char* first;
        const char* second;
        int askedCode;
        const char* note;
    } rows[] = {
        {"ttyUSB0:9600,N,8,1", "ttyUSB10:19200,E,8,1", 0x12000A, "ttyUSB0:9600,n,8,1"},
        {"pts/2:9600,N,8,1", "pts/12:9600,N,8,1", 0x10000C, "pts/2:9600,n,8,1"},
        {"pts/2:9600,N,8,1", "ttyS2:9600,N,8,1", 0x100002, "pts/2:9600,n,8,1"},
        {"ttyACM1:9600,N,8,1", "ttyUSB1:9600,N,8,1", 0x120001, "ttyACM1:9600,n,8,1"},
    };
    for (const auto& row : rows) {
        ManagerProbe m;
        ISerBase* first = m.GetSer(row.first, 0);
        ASSERT_NE(first, nullptr) << row.first;
        EXPECT_EQ(m.GetSer(row.second, row.askedCode), first) << row.second;
        EXPECT_STREQ(first->GetNote(), row.note) << row.second;
        EXPECT_EQ(m.Size(), 1u) << row.second;
    }
}

TEST_F(Manager, NetworkByNumber) {
    ManagerProbe m;
    ISerBase* port = m.GetSer(nullptr, 0x2001F6);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->GetType(), 0x2001F6);
    EXPECT_STREQ(port->GetNote(), "NET 502 127.0.0.1:502");
    EXPECT_EQ(m.GetSer(nullptr, 0x2001F6), port);
    EXPECT_EQ(m.Size(), 1u);
}

TEST_F(Manager, NetworkByStringIsReKeyed) {
    ManagerProbe m;
    ISerBase* port = m.GetSer("10.0.0.5:502", 0x200001);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->GetType(), 0x200001);
    EXPECT_STREQ(port->GetNote(), "NET 502 10.0.0.5:502");
    EXPECT_EQ(m.GetSer("10.0.0.5:502", 0x200001), port);
    // Another code built from the same string re-keys the port it lands on.
    ISerBase* second = m.GetSer("10.0.0.6:503", 0x200002);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(second, port);
    EXPECT_EQ(second->GetType(), 0x200002);
    EXPECT_EQ(m.Size(), 2u);
}

TEST_F(Manager, NetworkDuplicateReKeysTheEarlierPort) {
    ManagerProbe m;
    ISerBase* first = m.GetSer("10.0.0.5:502", 0x200001);
    ASSERT_NE(first, nullptr);
    // Built from "...:1" it reports 0x200001 like the first one: refused, and
    // the first port is re-keyed to the requested code.
    ISerBase* again = m.GetSer("10.0.0.9:1", 0x200003);
    EXPECT_EQ(again, first);
    EXPECT_EQ(first->GetType(), 0x200003);
    EXPECT_STREQ(first->GetNote(), "NET 502 10.0.0.5:502");
    EXPECT_EQ(m.Size(), 1u);
}

TEST_F(Manager, DigitalIoRequestsShareOnePort) {
    ManagerProbe m;
    ISerBase* a = m.GetSer(nullptr, 0x800001);
    ISerBase* b = m.GetSer("gpio board", 0x800002);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a, b);
    EXPECT_EQ(a->GetType(), 0x800001);
    EXPECT_STREQ(a->GetNote(), "KQI1:");
    EXPECT_EQ(m.Size(), 1u);
}

TEST_F(Manager, RegisterNew) {
    ManagerProbe m;
    EXPECT_EQ(m.RegisterNew(nullptr), -1);
    auto* a = new MarkedPort(4);
    auto* b = new MarkedPort(5);
    EXPECT_EQ(m.RegisterNew(a), 0);
    EXPECT_EQ(m.RegisterNew(b), 1);
    EXPECT_EQ(m.RegisterNew(a), 0);
    MarkedPort duplicate(5);
    EXPECT_EQ(m.RegisterNew(&duplicate), 1);
    EXPECT_EQ(m.Size(), 2u);
    EXPECT_EQ(m.FindType(0x100005), 1);
    EXPECT_EQ(m.GetSer(nullptr, 0x100004), a);
}

TEST_F(Manager, FreeDestroysPortsInReverseOrderThenLogs) {
    CSerManager* m = nullptr;
    auto made = kqtest::Capture([&] {
        m = CSerManager::GetInstance();
        m->RegisterNew(new MarkedPort(1));
        m->RegisterNew(new MarkedPort(2));
        m->RegisterNew(new MarkedPort(3));
    });
    EXPECT_EQ(made.log, "SerManager new: " + Hex(m) + "\r\n");
    EXPECT_EQ(CSerManager::GetInstance(), m);

    auto freed = kqtest::Capture([] { CSerManager::FreeInstance(); });
    EXPECT_EQ(freed.log, "~3\n~2\n~1\nSerManager delete: " + Hex(m) +
                             "\r\nSerManager free: " + Hex(m) + "\r\n");
    if (!kqtest::kConsole) {
        for (const auto& call : freed.calls) {
            if (call.section != "Test") {
                EXPECT_EQ(call.section, "RtLog");
            }
        }
    }

    auto again = kqtest::Capture([] { CSerManager::FreeInstance(); });
    EXPECT_EQ(again.log, "");

    CSerManager* fresh = CSerManager::GetInstance();
    EXPECT_EQ(fresh->FindType(0x100001), -1);
    EXPECT_EQ(fresh->GetSer(nullptr, 0x100003)->GetType(), 0x100003);
}

// A host that forgets to close: freeing the manager still releases the line,
// without calling Close and without logging anything beyond its own lines.
TEST_F(Manager, FreeReleasesWhatAPortStillHolds) {
    kqtest::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    CSerManager* m = nullptr;
    int fd = -1;
    kqtest::Capture([&] {
        m = CSerManager::GetInstance();
        ISerBase* port = m->GetSer(pty.Def("9600,N,8,1").c_str(), 0);
        ASSERT_NE(port, nullptr);
        ASSERT_EQ(port->Open(nullptr), 1);
        fd = port->GetHandle();
    });
    ASSERT_GE(fd, 0);
    ASSERT_NE(fcntl(fd, F_GETFD), -1);
    auto freed = kqtest::Capture([] { CSerManager::FreeInstance(); });
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(freed.log,
              "SerManager delete: " + Hex(m) + "\r\nSerManager free: " + Hex(m) + "\r\n");
}

// A port refused for a type code already registered is deleted at once.
TEST_F(Manager, RefusedDuplicatesDoNotLeak) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the leak checker covers this under AddressSanitizer";
#else
    ManagerProbe m;
    ISerBase* port = m.GetSer(nullptr, 0x100005);
    ASSERT_NE(port, nullptr);
    ASSERT_NE(m.GetSer(nullptr, 0x800001), nullptr);
    ASSERT_NE(m.GetSer("10.0.0.5:502", 0x200001), nullptr);
    auto churn = [&](int rounds) {
        for (int i = 0; i < rounds; ++i) {
            m.GetSer(nullptr, 0x110005);       // serial duplicate
            m.GetSer("gpio", 0x800002);        // digital I/O duplicate
            m.GetSer("10.0.0.9:1", 0x200009);  // network duplicate (re-keys, 0x200009 after)
        }
    };
    // Capture drops what the spy recorded, so only the library's heap counts.
    kqtest::Capture([&] { churn(100); });
    const size_t before = mallinfo2().uordblks;
    kqtest::Capture([&] { churn(5000); });
    const size_t after = mallinfo2().uordblks;
    EXPECT_LT(after, before + 64 * 1024) << "heap grew by " << (after - before) << " bytes";
    EXPECT_EQ(m.Size(), 3u);
#endif
}

}  // namespace
