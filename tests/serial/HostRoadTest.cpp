// SPDX-License-Identifier: MIT
// One request from a host's point of view: the library loaded with dlopen,
// the manager resolved by name, a pty playing a device behind a serial port.
#include "kqSer.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "Capture.h"
#include "HostLibrary.h"
#include "ISerBase.h"
#include "Pty.h"

namespace {

std::string Hex(const void* p) {
    char text[32];
    std::snprintf(text, sizeof text, "%x",
                  static_cast<unsigned int>(reinterpret_cast<std::uintptr_t>(p)));
    return text;
}

TEST(SerialHost, RoadOfOneRequest) {
    kqtest::PtyPair pty;
    ASSERT_TRUE(pty.ok());

    // The silent build's log-config file is kept in a scratch folder.
    kqtest::HostLibrary host;
    ASSERT_TRUE(host.ok()) << host.error();
    const KqGetSerManagerFn getManager = host.lib().getSerManager;
    const KqFreeSerManagerFn freeManager = host.lib().freeSerManager;

    const std::string name = pty.SlaveName();  // pts/N
    const std::string def = pty.Def("115200,N,8,1");
    const int type = 0x100000 + (name.back() - '0');
    const std::string request("\x01\x03\x00\x00\x00\x02\xC4\x0B", 8);
    const std::string reply("\x01\x03\x04\x00\x2A\x00\x00\xDB\xF9", 9);

    ISerManager* manager = nullptr;
    ISerBase* port = nullptr;
    std::string atDevice;
    int written = -2;
    int got = -2;
    unsigned char buf[16] = {};
    auto road = kqtest::Capture([&] {
        manager = getManager();
        ASSERT_NE(manager, nullptr);
        port = manager->GetSer(def.c_str(), type);
        ASSERT_NE(port, nullptr);
        ASSERT_EQ(port->Open(nullptr), 1);
        written = port->Write(reinterpret_cast<const unsigned char*>(request.data()), 8);
        atDevice = pty.ReadMaster(8, 2000);
        ASSERT_TRUE(pty.WriteMaster(reply));
        got = port->Read(buf, sizeof buf, 2000);
        EXPECT_EQ(port->Close(), 1);
        EXPECT_EQ(freeManager(), 0);
    });
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(written, 8);
    EXPECT_EQ(atDevice, request);
    ASSERT_EQ(got, 9);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(buf), 9), reply);

    const std::string note = name + ":115200,n,8,1";
    char typeHex[16];
    std::snprintf(typeHex, sizeof typeHex, "%x", static_cast<unsigned int>(type));
    const std::string lines[] = {
        "SerManager new: " + Hex(manager) + "\r\n",
        "CSerCom InitCom: " + Hex(port) + "  1\r\n",
        "CSerCom UpdParams: ComPort: " + name + ", 0, 0\r\n",
        "CSerCom::Open: /dev/" + name + ",115200,8,N,0\r\n",
        "set serial done+!\n",
        note + "[" + typeHex + "] open ok!\r\n",
        "SEND: 01 03 00 00 00 02 C4 0B \r\n",
        "RECV: 01 03 04 00 2A 00 00 DB F9 \r\n",
        "SerManager delete: " + Hex(manager) + "\r\n",
        "SerManager free: " + Hex(manager) + "\r\n",
    };
    std::string expected;
    for (const std::string& line : lines) {
        expected += line;
    }
    if (kqtest::kConsole) {
        EXPECT_EQ(road.out, expected);
    } else {
        // A host's own trace_log hears every line; nothing reaches stdout.
        EXPECT_EQ(road.log, expected);
        EXPECT_EQ(road.out, "");
    }
}

}  // namespace
