// SPDX-License-Identifier: MIT
// Faults the fault matrix found, one case each, kept as plain tests: the
// failure put in at the one call that showed it, and what the library does
// about it now.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "FaultInjector.h"
#include "Loopback.h"
#include "Process.h"
#include "Pty.h"
#include "SerCom_p.h"
#include "kqSer.h"

extern const char* filename;

namespace {

using kqtest::Fault;
using kqtest::FaultInjector;
using kqtest::interpose::Fn;

Fault FailNth(Fn fn, int nth, int err) {
    Fault f;
    f.fn = fn;
    f.nth = nth;
    f.err = err;
    return f;
}

class FoundFaults : public ::testing::Test {
protected:
    FaultInjector injector_{reinterpret_cast<const void*>(&GetSerManager)};
    void TearDown() override { FreeSerManager(); }
};

// A network port's Open that cannot put its socket into the mode it needs
// (non-blocking for the connect and its bounded waits, blocking afterwards)
// fails and keeps nothing open, instead of handing out a port whose connect
// or sends keep no bound.
TEST_F(FoundFaults, NetworkOpenFailsWhenTheSocketModeCannotBeSet) {
    for (const char* kind : {"", "u"}) {
        kqtest::TcpListener peer;
        ASSERT_TRUE(peer.ok());
        const std::string def = kind + std::string("127.0.0.1:") + std::to_string(peer.port());
        ISerBase* port = GetSerManager()->GetSer(def.c_str(), kind[0] == 'u' ? 0x200002 : 0x200001);
        ASSERT_NE(port, nullptr);
        // Reading the flags and setting them, before the connect and after it.
        for (int nth = 1; nth <= 4; ++nth) {
            injector_.Start(FailNth(Fn::fcntl, nth, EBADF));
            EXPECT_EQ(port->Open(nullptr), 0) << def << ", fcntl #" << nth;
            EXPECT_TRUE(injector_.Landed()) << def << ", fcntl #" << nth;
            injector_.Stop();
            EXPECT_EQ(injector_.Held(), 0) << def << ", fcntl #" << nth;
            const int accepted = peer.Accept(0);
            if (accepted >= 0) {
                close(accepted);
            }
        }
        EXPECT_EQ(port->Open(nullptr), 1) << def;
        EXPECT_EQ(port->Close(), 1);
    }
}

// A serial port's Open that cannot make the line blocking fails like one
// that cannot open the device: a non-blocking line would end every Read at
// once, the reply not in yet.
TEST_F(FoundFaults, SerialOpenFailsWhenTheLineCannotBeMadeBlocking) {
    kqtest::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    const std::string def = pty.Def("9600,N,8,1");
    ISerBase* port = GetSerManager()->GetSer(def.c_str(), CSerCom::GetDefType(def.c_str()));
    ASSERT_NE(port, nullptr);
    injector_.Start(FailNth(Fn::fcntl, 1, EBADF));
    EXPECT_EQ(port->Open(nullptr), 0);
    EXPECT_TRUE(injector_.Landed());
    injector_.Stop();
    EXPECT_EQ(port->IsOpened(), 0);
    EXPECT_EQ(port->GetHandle(), -1);
    EXPECT_EQ(injector_.Held(), 0);

    ASSERT_EQ(port->Open(nullptr), 1);
    EXPECT_EQ(fcntl(port->GetHandle(), F_GETFL) & O_NONBLOCK, 0);
    EXPECT_EQ(port->Close(), 1);
}

// A log-config file read again after a read that failed, or written by a save
// that failed after its rename, holds what the parser holds already: it is
// not loaded again, for the parser keeps a copy of every text loaded into it.
TEST_F(FoundFaults, LogConfigFileIsNotLoadedAgainAfterAFailure) {
    kqtest::TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string path = dir.path() + "/kqser.log.ini";
    std::ofstream(path) << "[trace]\nlevel = 3\n; where the lines go\ntarget = console\n";
    filename = path.c_str();
    setenv("KQSER_CONF", "", 1);
    GetSerManager();
    ASSERT_EQ(FreeSerManager(), 0);

    const long long before = kqtest::HeapInUse();
    for (int i = 0; i < 50; ++i) {
        // The first read of GetSerManager is the file's.
        injector_.Start(FailNth(Fn::read, 1, EIO));
        GetSerManager();
        ASSERT_TRUE(injector_.Landed());
        EXPECT_EQ(FreeSerManager(), -1) << "a file that could not be read is not replaced";
        // The file's and then the folder's flush: the second fails after the rename.
        injector_.Start(FailNth(Fn::fsync, 2, EIO));
        GetSerManager();
        EXPECT_EQ(FreeSerManager(), -3);
        ASSERT_TRUE(injector_.Landed());
        injector_.Stop();
    }
    GetSerManager();
    EXPECT_EQ(FreeSerManager(), 0);
    // A few hundred bytes a load when the parser takes the text in again.
    EXPECT_LT(kqtest::HeapInUse() - before, 4096);
    filename = nullptr;
}

std::string Text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A log-config file with a second link is written in place. When the parser
// writes it shorter than it was and cutting the file fails, what is past the
// new text is blank lines, not the tail of the old text.
TEST_F(FoundFaults, LogConfigFileWrittenInPlaceNeverEndsInItsOldTail) {
    kqtest::TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string path = dir.File("kqser.log.ini");
    std::ofstream(path) << "[trace]\nlevel        =        3\ntarget       =        console\n";
    ASSERT_EQ(link(path.c_str(), dir.File("other").c_str()), 0);
    filename = path.c_str();
    setenv("KQSER_CONF", "", 1);

    GetSerManager();
    injector_.Start(FailNth(Fn::ftruncate, 1, EIO));
    EXPECT_EQ(FreeSerManager(), -3);
    EXPECT_TRUE(injector_.Landed());
    injector_.Stop();
    const std::string cut = Text(path);

    GetSerManager();
    ASSERT_EQ(FreeSerManager(), 0);
    const std::string whole = Text(path);
    EXPECT_EQ(Text(dir.File("other")), whole);
    EXPECT_LT(whole.size(), cut.size());
    EXPECT_EQ(cut.substr(0, whole.size()), whole);
    EXPECT_EQ(cut.find_first_not_of('\n', whole.size()), std::string::npos) << cut;
    filename = nullptr;
}

// A save that finds no file at the path (here the look says so, as when the
// file is made at that moment by someone else) makes the file without
// replacing one that is there: the save fails and the file, with its other
// link, stays as it was.
TEST_F(FoundFaults, LogConfigSaveOfAMissingFileReplacesNoFileThatAppeared) {
    kqtest::TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string path = dir.File("kqser.log.ini");
    const std::string text = "[trace]\nlevel = 3\n";
    std::ofstream(path) << text;
    ASSERT_EQ(link(path.c_str(), dir.File("other").c_str()), 0);
    filename = path.c_str();
    setenv("KQSER_CONF", "", 1);

    GetSerManager();
    // The save's first look at the path.
    injector_.Start(FailNth(Fn::lstat, 1, ENOENT));
    EXPECT_EQ(FreeSerManager(), -3);
    EXPECT_TRUE(injector_.Landed());
    injector_.Stop();
    EXPECT_EQ(Text(path), text);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_nlink, 2u) << "the file was replaced";

    GetSerManager();
    EXPECT_EQ(FreeSerManager(), 0);
    EXPECT_EQ(Text(dir.File("other")), Text(path));
    filename = nullptr;
}

// A capture file whose first write fails still begins with its header once a
// record gets in: the header goes with the first record, not in a write of
// its own that could fail alone.
TEST_F(FoundFaults, CaptureFileBeginsWithItsHeaderAfterAFailedFirstWrite) {
    kqtest::TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string capture = dir.File("port.cap");
    std::ofstream(dir.File("kqser.conf")) << "[serial]\ncapture = " << capture << "\n";
    setenv("KQSER_CONF", dir.File("kqser.conf").c_str(), 1);
    filename = nullptr;
    kqtest::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    const std::string def = pty.Def("9600,N,8,1");
    ISerBase* port = GetSerManager()->GetSer(def.c_str(), CSerCom::GetDefType(def.c_str()));
    ASSERT_NE(port, nullptr);
    ASSERT_EQ(port->Open(nullptr), 1);
    const unsigned char bytes[] = {0x51, 0x52};
    // The line's write, then the capture file's first.
    injector_.Start(FailNth(Fn::write, 2, ENOSPC));
    EXPECT_EQ(port->Write(bytes, 2), 2);
    EXPECT_TRUE(injector_.Landed());
    injector_.Stop();
    EXPECT_EQ(port->Write(bytes, 2), 2);
    EXPECT_EQ(port->Close(), 1);
    const std::string text = Text(capture);
    EXPECT_EQ(text.substr(0, text.find('\n')), "# kqSer capture 1") << text;
    EXPECT_NE(text.find("# 1 record dropped here\n"), std::string::npos) << text;
    unsetenv("KQSER_CONF");
}

}  // namespace
