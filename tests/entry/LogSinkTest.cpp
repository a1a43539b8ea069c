// SPDX-License-Identifier: MIT
// Log lines reach a host's trace_log (silent build) or standard output
// (console build), byte for byte; the few direct console lines print on
// standard output in both, in order with the log lines. Built against both
// variants: this is where the variants differ.
#include "SerCom_p.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Capture.h"
#include "GpioFake.h"
#include "Loopback.h"
#include "Process.h"
#include "Pty.h"
#include "SerDio_p.h"
#include "SerManager_p.h"
#include "SerNet_p.h"
#include "TcsetattrSpy.h"

namespace {

using kqtest::Capture;

std::string Format(const char* format, unsigned int addr, int number) {
    char text[128];
    std::snprintf(text, sizeof text, format, addr, number);
    return text;
}

std::string Format(const char* format, const std::string& note, int type) {
    char text[256];
    std::snprintf(text, sizeof text, format, note.c_str(), static_cast<unsigned int>(type));
    return text;
}

unsigned int Addr(const void* p) {
    return static_cast<unsigned int>(reinterpret_cast<std::uintptr_t>(p));
}

// What a capture must show: the log lines on standard output (console) or
// as sink calls with the section "RtLog" and the given formats (silent),
// and nothing else on standard output.
void ExpectLogOnly(const kqtest::Captured& got, const std::vector<std::string>& formats) {
    if (kqtest::kConsole) {
        EXPECT_EQ(got.out, got.log);
        return;
    }
    EXPECT_EQ(got.out, "");
    ASSERT_EQ(got.calls.size(), formats.size());
    for (size_t i = 0; i < formats.size(); ++i) {
        EXPECT_EQ(got.calls[i].section, "RtLog");
        EXPECT_EQ(got.calls[i].format, formats[i]);
    }
}

TEST(LogSink, SerialPortConstructionLines) {
    std::unique_ptr<CSerCom> port;
    auto got = Capture([&] { port.reset(new CSerCom("ttyUSB0:115200,N,8,1")); });

    const std::string init = Format("CSerCom InitCom: %x  %d\r\n", Addr(port.get()), 1);
    const std::string upd = "CSerCom UpdParams: ComPort: ttyUSB0, 0, 0\r\n";
    EXPECT_EQ(got.log, init + upd);
    ExpectLogOnly(got,
                  {"CSerCom InitCom: %x  %d\r\n", "CSerCom UpdParams: ComPort: %s%d, %d, %d\r\n"});
}

TEST(LogSink, EveryCallCarriesTheSection) {
    auto got = Capture([] {
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
    auto got = Capture([&] { port.reset(new CSerCom(12)); });
    EXPECT_EQ(got.log, Format("CSerCom InitCom: %x  %d\r\n", Addr(port.get()), 12));
}

TEST(LogSink, SerialExchange) {
    kqtest::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    CSerCom port(pty.Def("9600,N,8,1").c_str());
    auto opened = Capture([&] { EXPECT_EQ(port.Open(nullptr), 1); });
    EXPECT_EQ(opened.log, "CSerCom::Open: /dev/" + pty.SlaveName() + ",9600,8,N,0\r\n" +
                              "set serial done+!\n" +
                              Format("%s[%x] open ok!\r\n", port.GetNote(), port.GetType()));
    ExpectLogOnly(opened, {"CSerCom::Open: %s,%d,%d,%c,%d\r\n", "set serial done+!\n",
                           "%s[%x] open ok!\r\n"});

    const unsigned char request[] = {0x01, 0x03};
    auto wrote = Capture([&] { EXPECT_EQ(port.Write(request, 2), 2); });
    EXPECT_EQ(wrote.log, "SEND: 01 03 \r\n");
    ExpectLogOnly(wrote, {"SEND: %s\r\n"});
    EXPECT_EQ(pty.ReadMaster(2, 2000), "\x01\x03");

    ASSERT_TRUE(pty.WriteMaster("\x41\x42"));
    unsigned char reply[2] = {};
    auto read = Capture([&] { EXPECT_EQ(port.Read(reply, 2, 0), 2); });
    EXPECT_EQ(read.log, "RECV: 41 42 \r\n");
    ExpectLogOnly(read, {"RECV: %s\r\n"});
    EXPECT_EQ(port.Close(), 1);
}

TEST(LogSink, SettingsThatCannotBeReadPrintTheirOwnLine) {
    const kqtest::DigitFile file;
    const int digit = file.digit();
    if (digit < 0) {
        GTEST_SKIP() << "no free single-digit descriptor or no /dev/fd";
    }
    const std::string def = "fd/" + std::to_string(digit) + ":9600,N,8,1";
    CSerCom notTty(def.c_str());
    auto c = Capture([&] { EXPECT_EQ(notTty.Open(nullptr), 0); });
    const std::string head = "CSerCom::Open: /dev/fd/" + std::to_string(digit) + ",9600,8,N,0\r\n";
    const std::string tail = Format("%s[%x] set_op error!\r\n", notTty.GetNote(), notTty.GetType());
    if (kqtest::kConsole) {
        EXPECT_EQ(c.out, head + "tcgetattr error\n" + tail);
    } else {
        EXPECT_EQ(c.log, head + tail);
        EXPECT_EQ(c.out, "tcgetattr error\n");
    }
}

TEST(LogSink, RefusedSettingsShowTwiceInTheConsoleBuild) {
    kqtest::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    CSerCom serial(pty.Def().c_str());
    kqtest::TcsetattrReset();
    kqtest::TcsetattrFailNext();
    auto c = Capture([&] { EXPECT_EQ(serial.Open(nullptr), 0); });
    const std::string head = "CSerCom::Open: /dev/" + pty.SlaveName() + ",9600,8,N,0\r\n";
    const std::string tail = Format("%s[%x] set_op error!\r\n", serial.GetNote(), serial.GetType());
    if (kqtest::kConsole) {
        EXPECT_EQ(c.out, head + "serial setup error\nserial setup error\n" + tail);
    } else {
        EXPECT_EQ(c.log, head + "serial setup error\n" + tail);
        EXPECT_EQ(c.out, "serial setup error\n");
    }
}

TEST(LogSink, GpioPortLines) {
    gpiofake::Reset();
    gpiofake::Dev().levels[18] = 1;
    std::unique_ptr<CSerDio> port;
    auto made = Capture([&] { port.reset(new CSerDio(nullptr)); });
    EXPECT_EQ(made.log, "CSerDio::CSerDio: Dio Init\n");
    ExpectLogOnly(made, {"CSerDio::CSerDio: Dio Init\n"});

    auto opened = Capture([&] { EXPECT_EQ(port->Open(nullptr), 1); });
    EXPECT_EQ(opened.log, "KQI1:[800001] open ok!\r\n");
    ExpectLogOnly(opened, {"%s[%x] open ok!\r\n"});
    // Samples and commands log nothing in either build.
    unsigned char levels[2] = {};
    const unsigned char command[] = {3, 1};
    auto used = Capture([&] {
        EXPECT_EQ(port->Read(levels, 2, 0), 1);
        EXPECT_EQ(port->Write(command, 2), 0);
        EXPECT_EQ(port->Close(), 1);
    });
    EXPECT_EQ(levels[0], 1);
    EXPECT_EQ(used.out, "");
    EXPECT_EQ(used.log, "");
    EXPECT_EQ(gpiofake::Calls(), 5u);  // open, two reads, one ioctl, close
}

TEST(LogSink, NetworkPortConstructionLines) {
    std::unique_ptr<CSerNet> byNumber;
    std::unique_ptr<CSerNet> byString;
    auto got = Capture([&] {
        byNumber.reset(new CSerNet(502));
        byString.reset(new CSerNet("10.0.0.5:502"));
    });
    EXPECT_EQ(got.log, Format("SerNet new: %x  %d\r\n", Addr(byNumber.get()), 502) +
                           "SerNet new: " + Format("%x", Addr(byString.get()), 0) +
                           "  10.0.0.5:502\r\n");
    ExpectLogOnly(got, {"SerNet new: %x  %d\r\n", "SerNet new: %x  %s\r\n"});
}

TEST(LogSink, ManagerLinesInOrder) {
    CSerManager* manager = nullptr;
    auto made = Capture([&] { manager = CSerManager::GetInstance(); });
    const unsigned int addr = Addr(manager);
    EXPECT_EQ(made.log, Format("SerManager new: %x\r\n", addr, 0));
    ExpectLogOnly(made, {"SerManager new: %x\r\n"});

    auto freed = Capture([] { CSerManager::FreeInstance(); });
    EXPECT_EQ(freed.log, Format("SerManager delete: %x\r\n", addr, 0) +
                             Format("SerManager free: %x\r\n", addr, 0));
    ExpectLogOnly(freed, {"SerManager delete: %x\r\n", "SerManager free: %x\r\n"});
}

const char kRecvMarks[] = "CSerNet::Read recv start:\r\nCSerNet::Read recv end:\r\n";

// A network port's reads: the log lines on standard output (console) or in
// the sink (silent), and the two receive marks on standard output in both,
// ahead of the read's lines. The peer has sent AB CD.
void ExpectNetworkReads(CSerNet* port) {
    unsigned char buf[16] = {};
    auto read = Capture([&] { EXPECT_EQ(port->Read(buf, 16, 2000), 2); });
    const std::string lines = "CSerNet::Read recv: 2\r\nRECV: AB CD \r\n";
    if (kqtest::kConsole) {
        EXPECT_EQ(read.out, kRecvMarks + lines);
    } else {
        EXPECT_EQ(read.log, lines);
        EXPECT_EQ(read.out, kRecvMarks);
    }
    auto quiet = Capture([&] { EXPECT_EQ(port->Read(buf, 16, 100), -1); });
    EXPECT_EQ(quiet.log,
              "CSerNet::Read select timeout: stTime.tv_sec=0,stTime.tv_usec=0,waittime=100\r\n");
    ExpectLogOnly(quiet, {"CSerNet::Read select timeout: "
                          "stTime.tv_sec=%d,stTime.tv_usec=%d,waittime=%d\r\n"});
}

void ExpectOpenAndWrite(CSerNet* port, const std::string& host) {
    auto opened = Capture([&] { EXPECT_EQ(port->Open(nullptr), 1); });
    EXPECT_NE(opened.log.find("OK: Have connected to the " + host + "\n"), std::string::npos);
    EXPECT_EQ(opened.out, kqtest::kConsole ? opened.log : "");
    const unsigned char request[] = {0x10, 0x20};
    auto wrote = Capture([&] { EXPECT_EQ(port->Write(request, 2), 2); });
    EXPECT_EQ(wrote.log, "SEND: 10 20 \r\n");
    ExpectLogOnly(wrote, {"SEND: %s\r\n"});
}

TEST(LogSink, StreamExchange) {
    kqtest::TcpListener listener;
    ASSERT_TRUE(listener.ok());
    CSerNet port(("127.0.0.1:" + std::to_string(listener.port())).c_str());
    ExpectOpenAndWrite(&port, "127.0.0.1");
    const int peer = listener.Accept(5000);
    ASSERT_GE(peer, 0);
    EXPECT_EQ(kqtest::RecvUpTo(peer, 2, 2000), "\x10\x20");
    ASSERT_TRUE(kqtest::SendAll(peer, "\xAB\xCD"));
    ExpectNetworkReads(&port);
    EXPECT_EQ(port.Close(), 1);
    close(peer);
}

TEST(LogSink, DatagramExchange) {
    kqtest::UdpPeer peer;
    ASSERT_TRUE(peer.ok());
    CSerNet port(("u127.0.0.1:" + std::to_string(peer.port())).c_str());
    ExpectOpenAndWrite(&port, "u127.0.0.1");
    std::string datagram;
    sockaddr_in from{};
    ASSERT_TRUE(peer.Recv(&datagram, 2000, &from));
    EXPECT_EQ(datagram, "\x10\x20");
    ASSERT_TRUE(peer.SendTo(from, "\xAB\xCD"));
    ExpectNetworkReads(&port);
    EXPECT_EQ(port.Close(), 1);
}

TEST(LogSink, ConnectionCodesPrintTheirOwnLine) {
    CSerNet port("127.0.0.1:502");
    const std::string note = port.GetNote();
    auto would = Capture([&] { EXPECT_EQ(port.IsConnDropped(11), 0); });
    EXPECT_EQ(would.out, "net isdroped: 11\r\n");
    EXPECT_EQ(would.log, kqtest::kConsole ? would.out : "");
    auto dropped = Capture([&] { EXPECT_EQ(port.IsConnDropped(104), 1); });
    const std::string line = "..." + note + " conn dropped: 104\r\n";
    if (kqtest::kConsole) {
        EXPECT_EQ(dropped.out, "net isdroped: 104\r\n" + line);
    } else {
        EXPECT_EQ(dropped.log, line);
        EXPECT_EQ(dropped.out, "net isdroped: 104\r\n");
    }
}

TEST(LogSink, NoSocketShowsTwiceForAStreamPortInTheConsoleBuild) {
    const std::string fail = "CSerNet::Open ERROR: Failed to obtain Socket Descriptor!\n";
    for (const char* def : {"127.0.0.1:9", "u127.0.0.1:9"}) {
        CSerNet port(def);
        // Inside the capture: it needs descriptors of its own.
        auto got = Capture(
            [&] { kqtest::WithoutFreeDescriptors([&] { EXPECT_EQ(port.Open(nullptr), 0); }); });
        const bool stream = def[0] == '1';
        const std::string direct = stream ? fail : "";
        if (kqtest::kConsole) {
            EXPECT_EQ(got.out, fail + direct) << def;
        } else {
            EXPECT_EQ(got.log, fail) << def;
            EXPECT_EQ(got.out, direct) << def;
        }
    }
}

}  // namespace
