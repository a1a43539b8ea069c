// SPDX-License-Identifier: MIT
// The silent build loaded by a host, as a host loads it, with [log] in
// kqser.conf: its own trace_log sends the lines to a file, standard error or
// syslog, and the direct console lines follow with console_lines = log.
// Built twice: a host without trace_log, and a host with one (the spy),
// which receives every call exactly as before and leaves the file empty.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <future>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Capture.h"
#include "Exchange.h"
#include "HostLibrary.h"
#include "ISerBase.h"
#include "Interpose.h"
#include "NetPeer.h"
#include "Process.h"
#include "Pty.h"
#include "PtyDevice.h"

namespace {

const kqtool::KqLibrary& Lib() {
    static kqtest::HostLibrary host;
    return host.lib();
}

// Whether the library's own trace_log sends the lines: the silent build, in
// a host without a trace_log of its own.
bool Routed() {
    return !kqtest::SpyLinked() && !kqtest::kConsole;
}

// Shown to a host as "%x" of the address.
std::string Hex(const void* p) {
    char text[32];
    std::snprintf(text, sizeof text, "%x",
                  static_cast<unsigned int>(reinterpret_cast<std::uintptr_t>(p)));
    return text;
}

std::string HexDump(const std::string& bytes) {
    std::string text;
    for (unsigned char c : bytes) {
        char pair[4];
        std::snprintf(pair, sizeof pair, "%02X ", c);
        text += pair;
    }
    return text;
}

using kqtest::ReadFile;

using kqtest::LinesOf;

bool Exists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

class LogRoute : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(Lib().handle, nullptr);
        ASSERT_TRUE(dir_.ok());
        ASSERT_EQ(chmod(dir_.path().c_str(), 0777), 0);  // for a child of another user
        conf_ = dir_.File("kqser.conf");
        log_ = dir_.File("kq.log");
        ASSERT_EQ(setenv("KQSER_CONF", conf_.c_str(), 1), 0);
    }
    void TearDown() override {
        Lib().freeSerManager();
        unlink(conf_.c_str());
        Lib().getSerManager();  // no file: the route is let go
        Lib().freeSerManager();
        unsetenv("KQSER_CONF");
    }

    void Conf(const std::string& text) {
        std::ofstream out(conf_, std::ios::trunc);
        out << text;
    }

    // A manager made after the file was written.
    ISerManager* Manager() {
        Lib().freeSerManager();
        return Lib().getSerManager();
    }

    // One request and its reply on a pty whose device answers. False after a
    // failed check.
    static bool Exchange(ISerManager* manager, const kqtest::PtyPair& pty, int count) {
        ISerBase* port = manager->GetSer(pty.Def().c_str(), 0x100000);
        if (port == nullptr || port->Open(nullptr) != 1) {
            ADD_FAILURE() << "no pty port";
            return false;
        }
        for (int i = 0; i < count; ++i) {
            const std::string request = kqtest::Request(static_cast<uint32_t>(i));
            unsigned char reply[kqtest::kReplySize] = {};
            const int written = port->Write(reinterpret_cast<const unsigned char*>(request.data()),
                                            static_cast<int>(request.size()));
            const int read = port->Read(reply, kqtest::kReplySize, 500);
            if (written != kqtest::kRequestSize || read != kqtest::kReplySize ||
                std::string(reinterpret_cast<char*>(reply), kqtest::kReplySize) !=
                    kqtest::Reply(static_cast<uint32_t>(i))) {
                ADD_FAILURE() << "exchange " << i << ": wrote " << written << ", read " << read;
                port->Close();
                return false;
            }
        }
        port->Close();
        return true;
    }

    kqtest::TempDir dir_;
    std::string conf_;
    std::string log_;
};

// The seconds since the epoch of a line's stamp, or -1 when it has none.
long long StampSeconds(const std::string& line) {
    static const std::regex stamp(R"(^(\d{4})-(\d\d)-(\d\d) (\d\d):(\d\d):(\d\d)\.\d{6} )");
    std::smatch m;
    if (!std::regex_search(line, m, stamp)) {
        return -1;
    }
    tm local{};
    local.tm_year = std::stoi(m[1]) - 1900;
    local.tm_mon = std::stoi(m[2]) - 1;
    local.tm_mday = std::stoi(m[3]);
    local.tm_hour = std::stoi(m[4]);
    local.tm_min = std::stoi(m[5]);
    local.tm_sec = std::stoi(m[6]);
    local.tm_isdst = -1;
    return static_cast<long long>(mktime(&local));
}

TEST_F(LogRoute, AFileGetsEveryLineWithItsLocalTime) {
    kqtest::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    kqtest::PtyDevices device({pty.master()}, 1);
    Conf("[log]\nto = " + log_ + "\n");
    const long long before = static_cast<long long>(time(nullptr));
    ISerManager* manager = Manager();
    ASSERT_TRUE(Exchange(manager, pty, 1));
    Lib().freeSerManager();
    const long long after = static_cast<long long>(time(nullptr));
    EXPECT_EQ(device.Finish(), "");

    const std::string text = ReadFile(log_);
    if (kqtest::kConsole) {
        EXPECT_FALSE(Exists(log_)) << "the console build ignores to";
        return;
    }
    if (kqtest::SpyLinked()) {
        // The host's trace_log takes every call, the file gets none.
        EXPECT_FALSE(Exists(log_)) << text;
        bool sawSend = false;
        for (const kqtest::SinkCall& call : kqtest::TakeSinkCalls()) {
            EXPECT_EQ(call.section, "RtLog");
            sawSend = sawSend || call.text == "SEND: " + HexDump(kqtest::Request(0)) + "\r\n";
        }
        EXPECT_TRUE(sawSend);
        return;
    }
    const std::vector<std::string> lines = LinesOf(text);
    ASSERT_GE(lines.size(), 7u) << text;
    std::vector<std::string> bodies;
    for (const std::string& line : lines) {
        const long long seconds = StampSeconds(line);
        EXPECT_GE(seconds, before - 1) << line;
        EXPECT_LE(seconds, after + 1) << line;
        bodies.push_back(line.substr(27));
    }
    // Each line once, in order, its own line end replaced by one "\n".
    const std::string name = pty.SlaveName();
    const std::vector<std::string> expected = {
        "SerManager new: " + Hex(manager),
        "CSerCom::Open: /dev/" + name + ",9600,8,N,0",
        "set serial done+!",
        "SEND: " + HexDump(kqtest::Request(0)),
        "RECV: " + HexDump(kqtest::Reply(0)),
        "SerManager delete: " + Hex(manager),
        "SerManager free: " + Hex(manager),
    };
    size_t at = 0;
    for (const std::string& body : bodies) {
        if (at < expected.size() && body == expected[at]) {
            ++at;
        }
    }
    EXPECT_EQ(at, expected.size())
        << "missing: " << (at < expected.size() ? expected[at] : "") << "\n"
        << text;
    EXPECT_EQ(text.find('\r'), std::string::npos);
}

TEST_F(LogRoute, WithoutTimestampsALineIsTheCallsTextAlone) {
    Conf("[log]\nto = " + log_ + "\ntimestamps = off\n");
    ISerManager* manager = nullptr;
    const std::string out = kqtest::CaptureStdout([&] {
        manager = Manager();
        Lib().freeSerManager();
    });
    if (kqtest::kConsole) {
        // printf's lines, as always.
        EXPECT_EQ(out, "SerManager new: " + Hex(manager) + "\r\nSerManager delete: " +
                           Hex(manager) + "\r\nSerManager free: " + Hex(manager) + "\r\n");
    }
    if (!Routed()) {
        EXPECT_FALSE(Exists(log_));
        return;
    }
    EXPECT_EQ(ReadFile(log_), "SerManager new: " + Hex(manager) + "\nSerManager delete: " +
                                  Hex(manager) + "\nSerManager free: " + Hex(manager) + "\n");
}

TEST_F(LogRoute, TheFileRotatesAtMaxKib) {
    if (!Routed()) {
        GTEST_SKIP() << "the host's trace_log or the console build takes the lines";
    }
    kqtest::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    kqtest::PtyDevices device({pty.master()}, 40);
    Conf("[log]\nto = " + log_ + "\nmax_kib = 1\n");
    ASSERT_TRUE(Exchange(Manager(), pty, 40));
    Lib().freeSerManager();
    EXPECT_EQ(device.Finish(), "");
    const std::string now = ReadFile(log_);
    const std::string older = ReadFile(log_ + ".1");
    EXPECT_LE(now.size(), 1024u);
    EXPECT_GT(older.size(), 900u);
    EXPECT_LE(older.size(), 1024u);
    EXPECT_FALSE(Exists(log_ + ".2"));
    EXPECT_NE(now.find("SerManager free: "), std::string::npos);
}

// As another user, in a folder that user cannot write: the lines are lost
// and counted, every port operation works as before, and once the folder
// can be written the next line says how many were lost.
TEST_F(LogRoute, AFolderThatCannotBeWrittenLosesLinesNeverAPortOperation) {
    if (!Routed()) {
        GTEST_SKIP() << "the host's trace_log or the console build takes the lines";
    }
    const std::string ro = dir_.File("ro");
    ASSERT_EQ(mkdir(ro.c_str(), 0755), 0);
    const std::string log = ro + "/kq.log";
    Conf("[log]\nto = " + log + "\ntimestamps = off\n");
    kqtest::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    ASSERT_EQ(fchown(pty.slave(), 65534, 65534), 0);
    int toChild[2];
    int toParent[2];
    ASSERT_EQ(pipe(toChild), 0);
    ASSERT_EQ(pipe(toParent), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) {
            _exit(20);
        }
        ISerManager* manager = Lib().getSerManager();
        ISerBase* port = manager->GetSer(pty.Def().c_str(), 0x100000);
        if (port == nullptr || port->Open(nullptr) != 1) {
            _exit(21);
        }
        const unsigned char request[] = {1, 2, 3};
        if (port->Write(request, 3) != 3 || Exists(log)) {
            _exit(22);
        }
        char byte = 0;
        if (write(toParent[1], "w", 1) != 1 || read(toChild[0], &byte, 1) != 1) {
            _exit(23);
        }
        // The folder is looked at again once a second.
        const bool back =
            kqtest::WaitUntil([&] { return port->Write(request, 3) == 3 && Exists(log); }, 10000);
        port->Close();
        _exit(back ? 0 : 24);
    }
    // What the child writes goes nowhere, but must not fill the line.
    std::atomic<bool> done{false};
    std::thread drain([&] {
        while (!done) {
            pty.Drain(20);
        }
    });
    char byte = 0;
    const bool ready = read(toParent[0], &byte, 1) == 1;
    EXPECT_EQ(chmod(ro.c_str(), 0777), 0);
    EXPECT_EQ(write(toChild[1], "g", 1), 1);
    int status = 0;
    const pid_t waited = waitpid(child, &status, 0);
    done = true;
    drain.join();
    ASSERT_TRUE(ready);
    ASSERT_EQ(waited, child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    const std::vector<std::string> lines = LinesOf(ReadFile(log));
    ASSERT_FALSE(lines.empty());
    // Lost at least: the manager's line, the port's lines, one SEND.
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(R"(\[\d+ lines dropped\] SEND: 01 02 03 )")))
        << lines[0];
    EXPECT_GE(std::atoi(lines[0].c_str() + 1), 5);
}

// RLIMIT_FSIZE is reached: a write past it would raise SIGXFSZ and end the
// host. The lines are dropped instead; every exchange works.
TEST_F(LogRoute, AFullFileSystemLosesLinesNeverAPortOperation) {
    if (!Routed()) {
        GTEST_SKIP() << "the host's trace_log or the console build takes the lines";
    }
    Conf("[log]\nto = " + log_ + "\n");
    kqtest::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        rlimit limit{1500, 1500};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) {
            _exit(30);
        }
        kqtest::PtyDevices device({pty.master()}, 30);
        const bool ok = Exchange(Lib().getSerManager(), pty, 30);
        Lib().freeSerManager();
        _exit(ok && device.Finish().empty() ? 0 : 31);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_FALSE(WIFSIGNALED(status)) << "signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    const std::string text = ReadFile(log_);
    EXPECT_LE(text.size(), 1500u);
    EXPECT_GT(text.size(), 1000u);
    EXPECT_EQ(text.back(), '\n');
}

// Standard error on a pipe the host never reads: a full pipe drops the
// lines instead of holding up the port.
TEST_F(LogRoute, StandardErrorThatIsFullDropsLinesAndNeverBlocks) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    const int savedErr = dup(2);
    ASSERT_EQ(dup2(p[1], 2), 2);
    Conf("[log]\nto = stderr\ntimestamps = off\n");
    ISerManager* manager = Manager();
    // Filled through a descriptor of the test's own, so that fd 2 stays blocking.
    const int filler =
        open(("/proc/self/fd/" + std::to_string(p[1])).c_str(), O_WRONLY | O_NONBLOCK);
    std::string text;
    char buf[65536];
    ssize_t n = read(p[0], buf, 0);
    (void)n;
    ASSERT_GE(filler, 0);
    // What is in the pipe so far: the manager's line.
    fcntl(p[0], F_SETFL, O_NONBLOCK);
    while ((n = read(p[0], buf, sizeof buf)) > 0) {
        text.append(buf, static_cast<size_t>(n));
    }
    const std::string big(4096, 'f');
    while (write(filler, big.data(), big.size()) > 0) {
    }
    while (write(filler, "f", 1) > 0) {  // the last page's room too
    }
    // Three lines into the full pipe, on a thread: a blocked write would not return.
    auto logged = std::async(std::launch::async, [&] { Lib().freeSerManager(); });
    const bool returned = logged.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    std::string tail;
    while ((n = read(p[0], buf, sizeof buf)) > 0) {
    }
    logged.wait();
    ISerManager* again = Lib().getSerManager();
    while ((n = read(p[0], buf, sizeof buf)) > 0) {
        tail.append(buf, static_cast<size_t>(n));
    }
    dup2(savedErr, 2);
    close(savedErr);
    close(filler);
    close(p[0]);
    close(p[1]);
    EXPECT_TRUE(returned);
    if (!Routed()) {
        EXPECT_EQ(text + tail, "");
        return;
    }
    EXPECT_EQ(text, "SerManager new: " + Hex(manager) + "\n");
    EXPECT_EQ(tail, "[2 lines dropped] SerManager new: " + Hex(again) + "\n");
}

using kqtest::interpose::SyslogAt;

int BindDatagram(const std::string& path) {
    const int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        return -1;
    }
    return fd;
}

std::string Receive(int fd, int timeoutMs) {
    timeval wait{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    char buf[8192];
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
}

TEST_F(LogRoute, SyslogGetsEachLineAndAGoneDaemonLosesThemQuietly) {
    const std::string path = dir_.File("syslog");
    SyslogAt fake(path);
    kqtest::interpose::Add(&fake);
    int daemon = BindDatagram(path);
    ASSERT_GE(daemon, 0);
    Conf("[log]\nto = syslog\n");
    ISerManager* manager = Manager();
    const std::string first = Receive(daemon, Routed() ? 5000 : 200);
    // The daemon goes away; lines are dropped, nothing fails or waits.
    close(daemon);
    unlink(path.c_str());
    Lib().freeSerManager();
    Lib().getSerManager();
    daemon = BindDatagram(path);
    ASSERT_GE(daemon, 0);
    // Looked for again once a second: log until a line arrives.
    std::string back;
    if (Routed()) {
        kqtest::WaitUntil(
            [&] {
                Lib().freeSerManager();
                Lib().getSerManager();
                back = Receive(daemon, 50);
                return !back.empty();
            },
            10000);
    }
    kqtest::interpose::Remove(&fake);
    close(daemon);
    if (!Routed()) {
        EXPECT_EQ(first, "");
        return;
    }
    const std::string head = "<14>kqSer[" + std::to_string(getpid()) + "]: ";
    ASSERT_EQ(first.rfind(head, 0), 0u) << first;
    EXPECT_GE(StampSeconds(first.substr(head.size())), 0) << first;
    EXPECT_EQ(first.substr(head.size() + 27), "SerManager new: " + Hex(manager));
    ASSERT_EQ(back.rfind(head, 0), 0u) << back;
    EXPECT_TRUE(std::regex_search(back, std::regex(R"(\[\d+ lines dropped\] SerManager )")))
        << back;
}

// The lines both builds print by themselves land in a host's data stream on
// standard output; with console_lines = log they go the way of the others.
TEST_F(LogRoute, ConsoleLinesGoWhereTheLogGoes) {
    kqtest::NetPeer peer(kqtest::NetPeer::Mode::Answer);
    ASSERT_TRUE(peer.ok());
    auto exchange = [&] {
        ISerManager* manager = Manager();
        ISerBase* port = manager->GetSer(peer.Def().c_str(), 0x200001);
        ASSERT_NE(port, nullptr);
        ASSERT_EQ(port->Open(nullptr), 1);
        const std::string request = kqtest::Request(0);
        unsigned char reply[kqtest::kReplySize];
        EXPECT_EQ(port->Write(reinterpret_cast<const unsigned char*>(request.data()),
                              kqtest::kRequestSize),
                  kqtest::kRequestSize);
        EXPECT_EQ(port->Read(reply, kqtest::kReplySize, 2000), kqtest::kReplySize);
        port->Close();
        Lib().freeSerManager();
    };
    if (kqtest::kConsole) {
        // Where the console build's log lines go: printf, with the others.
        Conf("[log]\nto = " + log_ + "\nconsole_lines = log\n");
        EXPECT_NE(kqtest::CaptureStdout(exchange).find(
                      "CSerNet::Read recv start:\r\nCSerNet::Read recv end:\r\n"),
                  std::string::npos);
        EXPECT_FALSE(Exists(log_));
        return;
    }
    Conf("[log]\nto = " + log_ + "\ntimestamps = off\n");
    EXPECT_EQ(kqtest::CaptureStdout(exchange),
              "CSerNet::Read recv start:\r\nCSerNet::Read recv end:\r\n");
    ASSERT_EQ(truncate(log_.c_str(), 0) == 0 || kqtest::SpyLinked(), true);
    kqtest::TakeSinkCalls();

    Conf("[log]\nto = " + log_ + "\ntimestamps = off\nconsole_lines = log\n");
    EXPECT_EQ(kqtest::CaptureStdout(exchange), "");
    if (kqtest::SpyLinked()) {
        std::vector<std::string> formats;
        for (const kqtest::SinkCall& call : kqtest::TakeSinkCalls()) {
            formats.push_back(call.format);
        }
        EXPECT_NE(std::find(formats.begin(), formats.end(), "CSerNet::Read recv start:\r\n"),
                  formats.end());
        EXPECT_FALSE(Exists(log_));
        return;
    }
    const std::string text = ReadFile(log_);
    EXPECT_NE(text.find("\nCSerNet::Read recv start:\nCSerNet::Read recv end:\n"),
              std::string::npos)
        << text;
}

// Runs body in a child process; its exit status (0: every check held).
int InChild(const std::function<int()>& body) {
    const pid_t child = fork();
    if (child == 0) {
        _exit(body());
    }
    int status = -1;
    return child > 0 && waitpid(child, &status, 0) == child ? status : -1;
}

// A daemon closed descriptor 2; the serial line it opens next does not get
// number 2, and the route taken while 2 was closed is off: the line carries
// the host's bytes alone.
TEST_F(LogRoute, StandardErrorClosedAtSetUpNeverWritesToWhatGetsNumberTwo) {
    if (!Routed()) {
        GTEST_SKIP() << "the host takes the lines";
    }
    Conf("[log]\nto = stderr\ntimestamps = off\n");
    kqtest::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    const int status = InChild([&] {
        close(2);
        ISerManager* manager = Manager();
        ISerBase* port = manager->GetSer(pty.Def().c_str(), 0x100000);
        if (port == nullptr || port->Open(nullptr) != 1) {
            return 10;
        }
        if (port->GetHandle() <= 2) {
            return 11;  // the line took a standard stream's number
        }
        port->Write(reinterpret_cast<const unsigned char*>("HOST"), 4);
        const std::string got = pty.ReadMaster(4, 2000);
        port->Close();
        return got == "HOST" && pty.Drain(100).empty() ? 0 : 12;
    });
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0) << "11: the line got number 2; 12: log lines went into it";
}

// Standard error redirected to a file under RLIMIT_FSIZE: the line that
// would pass the limit is dropped, the host lives, the file ends in a line.
TEST_F(LogRoute, StandardErrorToAFileAtTheFileSizeLimitKillsNobody) {
    if (!Routed()) {
        GTEST_SKIP() << "the host takes the lines";
    }
    Conf("[log]\nto = stderr\ntimestamps = off\n");
    const std::string err = dir_.File("stderr.txt");
    const int status = InChild([&] {
        const int fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        rlimit limit{1000, 1000};
        if (fd < 0 || dup2(fd, 2) != 2 || setrlimit(RLIMIT_FSIZE, &limit) != 0) {
            return 10;
        }
        for (int i = 0; i < 100; ++i) {  // about 30 bytes a line, 3000 in all
            Manager();
        }
        Lib().freeSerManager();
        return 0;
    });
    ASSERT_FALSE(WIFSIGNALED(status)) << "signal " << WTERMSIG(status);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    const std::string text = ReadFile(err);
    EXPECT_LE(text.size(), 1000u);
    EXPECT_GT(text.size(), 900u);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
}

// A link planted at the path of to is not followed: the route is off, one
// line to the syslog daemon says why, and the link's target stays as it was.
TEST_F(LogRoute, ALinkAtTheLogPathTurnsTheRouteOffWithOneLine) {
    if (!Routed()) {
        GTEST_SKIP() << "the host takes the lines";
    }
    const std::string target = dir_.File("target");
    ASSERT_TRUE(dir_.WriteFile("target", "precious\n"));
    ASSERT_EQ(symlink(target.c_str(), log_.c_str()), 0);
    const std::string path = dir_.File("syslog");
    SyslogAt fake(path);
    kqtest::interpose::Add(&fake);
    const int daemon = BindDatagram(path);
    ASSERT_GE(daemon, 0);
    Conf("[log]\nto = " + log_ + "\n");
    Manager();
    const std::string said = Receive(daemon, 5000);
    const std::string more = Receive(daemon, 100);
    kqtest::interpose::Remove(&fake);
    close(daemon);
    EXPECT_NE(said.find("log to = " + log_ + ": is a symbolic link; no lines routed"),
              std::string::npos)
        << said;
    EXPECT_EQ(more, "");
    EXPECT_EQ(ReadFile(target), "precious\n");
    unlink(log_.c_str());
}

}  // namespace
