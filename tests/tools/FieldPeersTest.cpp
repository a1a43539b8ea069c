// SPDX-License-Identifier: MIT
// kqser as real peers and a field engineer use it: every byte of a line,
// a client that half-closes, Modbus coils, broadcast and a TCP unit, the
// library's reasons on a failure, data alone on standard output, lines
// named by path, config as a gate, and mbpoll against sim.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "AnsweringPeers.h"
#include "Capture.h"
#include "Child.h"
#include "FakeSys.h"
#include "KqserRun.h"
#include "Loopback.h"
#include "Modbus.h"
#include "Process.h"
#include "Pty.h"

namespace {

using kqtest::Child;
using kqtest::ChildResult;
using kqtest::PtyPair;
using namespace kqtest::field;

const std::string kLib = kqtest::kLibrary;

// Four chunks, each starting with 0x00 so that every read the tool makes
// can begin with one: all 256 values.
std::vector<std::string> Chunks() {
    std::vector<std::string> chunks(4, std::string(1, '\0'));
    for (int v = 0; v < 256; ++v) chunks[v / 64] += static_cast<char>(v);
    return chunks;
}

// The device: after a request byte (or at once), the chunks with a pause
// between them, as a device's bursts come.
void PlayChunks(PtyPair* pty, bool waitForRequest, int pauseMs) {
    if (waitForRequest && pty->ReadMaster(1, 10000).size() != 1) return;
    for (const std::string& chunk : Chunks()) {
        if (!pty->WriteMaster(chunk)) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    }
}

TEST(KqserLineData, EveryByteValueThroughSendListenTermAndBridge) {
    std::string expected;
    for (const std::string& chunk : Chunks()) expected += chunk;
    const struct {
        std::vector<std::string> args;  // DEF follows the command
        const char* ready;              // on standard error before the device starts
    } rows[] = {
        {{"-q", "send", "--read", "260", "--timeout", "5000", "--raw"}, nullptr},
        {{"listen", "--raw", "--count", "4", "--gap", "20", "--timeout", "10000"}, "Ctrl-C stops"},
        {{"-q", "term"}, nullptr},
        {{"bridge", "--listen", "0", "--once"}, nullptr},
    };
    for (const auto& row : rows) {
        PtyPair pty;
        ASSERT_TRUE(pty.ok());
        std::vector<std::string> args = row.args;
        const auto at = std::find_if(args.begin(), args.end(),
                                     [](const std::string& a) { return a[0] != '-'; });
        const std::string command = *at;
        args.insert(at + 1, pty.Def());
        if (command == "send") args.push_back("01");
        const bool bridge = command == "bridge", listen = command == "listen";
        Child child;
        ASSERT_TRUE(Start(&child, args, {}, true));
        if (row.ready != nullptr) {
            EXPECT_TRUE(child.WaitForErr(row.ready, 10000)) << child.err();
        }
        const int client = bridge ? ConnectLoopback(PortOf(WhereTo(&child))) : -1;
        std::thread device(PlayChunks, &pty, !listen, listen ? 100 : 40);
        std::string got;
        if (bridge) {
            kqtest::SendAll(client, "x");
            got = kqtest::RecvUpTo(client, expected.size(), 10000);
            close(client);
        } else {
            child.WriteStdin("x");  // term sends it
        }
        child.CloseStdin();
        device.join();
        const ChildResult r = child.Wait(15000);
        if (!bridge) got = r.out;
        EXPECT_EQ(r.exitCode, 0) << command << Describe(r);
        EXPECT_TRUE(got == expected)
            << command << ": a byte hidden or changed, " << got.size() << " bytes";
    }
}

TEST(KqserLineData, StandardOutputCarriesTheDataAlone) {
    // Over TCP the library prints two lines of its own on standard output
    // per Read; --raw keeps them out of the data.
    std::string all;
    for (int v = 0; v < 256; ++v) all += static_cast<char>(v);
    kqtest::TcpPeer peer([&](int, const std::string&) { return all; });
    const ChildResult raw =
        Kqser({"send", peer.Def(), "01", "--read", "256", "--timeout", "5000", "--raw"});
    EXPECT_EQ(raw.exitCode, 0) << Describe(raw);
    EXPECT_TRUE(raw.out == all) << Describe(raw);

    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    kqtest::PtyDevice device(
        &pty, 1, [](const std::string&) { return std::string("OK"); }, 1);
    const ChildResult quiet = Kqser({"-q", "send", pty.Def(), "5A", "--read", "2"});
    EXPECT_EQ(quiet.exitCode, 0) << Describe(quiet);
    EXPECT_EQ(quiet.out, "   0000  4F 4B" + std::string(44, ' ') + " |OK|\n") << Describe(quiet);
}

TEST(KqserBridge, AHalfCloseStillGetsTheReplyAndEveryByteIsCountedOnce) {
    {
        PtyPair pty;
        ASSERT_TRUE(pty.ok());
        kqtest::PtyDevice echo(
            &pty, 7, [](const std::string& r) { return r; }, 1);
        Child bridge;
        ASSERT_TRUE(
            Start(&bridge, {"bridge", pty.Def(), "--listen", "0", "--once", "--linger", "300"}));
        const int fd = ConnectLoopback(PortOf(WhereTo(&bridge)));
        ASSERT_GE(fd, 0) << bridge.err();
        ASSERT_TRUE(kqtest::SendAll(fd, "HELLO\r\n"));
        shutdown(fd, SHUT_WR);
        EXPECT_EQ(kqtest::RecvUpTo(fd, 7, 10000), "HELLO\r\n");
        EXPECT_TRUE(kqtest::PeerEnded(fd, 10000)) << "the bridge lets go after the linger";
        close(fd);
        const ChildResult r = bridge.Wait(10000);
        EXPECT_EQ(r.exitCode, 0) << Describe(r);
        EXPECT_FALSE(Has(r.err, "while no client was there")) << r.err;
    }

    // A client that stops reading and resets: what the bridge had queued
    // for it is counted as dropped, the rest of the stream too.
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    Child bridge;
    ASSERT_TRUE(Start(&bridge, {"bridge", pty.Def(), "--listen", "0"}));
    const int port = PortOf(WhereTo(&bridge));
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int small = 4096;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    const sockaddr_in addr = kqtest::Ipv4Addr("127.0.0.1", port);
    ASSERT_EQ(connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_TRUE(bridge.WaitForErr("connected\n", 10000)) << bridge.err();
    const size_t total = 8 << 20;  // more than the socket buffers hold
    std::atomic<bool> written{false};
    std::atomic<size_t> progress{0};
    std::thread device([&] {
        const std::string block(512, 'z');
        for (size_t done = 0; done < total; done += block.size()) {
            pty.WriteMaster(block);
            progress = done + block.size();
        }
        written = true;
    });
    auto unread = [&] {
        int n = 0;
        ioctl(pty.slave(), FIONREAD, &n);
        return n;
    };
    // The bridge holds bytes it cannot send once it stops taking the line's:
    // the device's writes stand still (a bridge that reads moves megabytes
    // in that time).
    size_t seen = 0;
    double since = kqtest::NowMs();
    EXPECT_TRUE(kqtest::WaitUntil(
        [&] {
            if (progress != seen) {
                seen = progress;
                since = kqtest::NowMs();
            }
            return seen > 0 && unread() >= 3072 && kqtest::NowMs() - since > 300;
        },
        20000));
    kqtest::ResetClose(fd);
    // The rest of the stream: read and dropped once the line stays empty
    // (bytes still on their way through the pty do not show in FIONREAD).
    double empty = kqtest::NowMs();
    EXPECT_TRUE(kqtest::WaitUntil(
        [&] {
            if (!written || unread() != 0) empty = kqtest::NowMs();
            return kqtest::NowMs() - empty > 300;
        },
        30000));
    device.join();
    ASSERT_TRUE(bridge.WaitForErr("; from the port ", 10000)) << bridge.err();
    bridge.Signal(SIGINT);
    const ChildResult r = bridge.Wait(10000);
    auto count = [&](const char* pattern) {
        std::smatch m;
        return std::regex_search(r.err, m, std::regex(pattern)) ? std::stoll(m[1]) : 0LL;
    };
    const long long sent = count("in all: [^;]*; from the port (\\d+) bytes");
    const long long queued = count("(\\d+) bytes queued for a client that left");
    const long long noClient = count("(\\d+) bytes from the port while no client");
    EXPECT_GT(queued, 0) << r.err;
    EXPECT_EQ(sent + queued + noClient, static_cast<long long>(total)) << r.err;
}

// A Modbus TCP peer that misbehaves: answers each request in two pieces, or
// resets the connection.
class OddModbusPeer {
public:
    enum Mode { kInPieces, kReset };
    explicit OddModbusPeer(Mode mode) : listener_(0) {
        thread_ = std::thread([this, mode] {
            const int conn = listener_.Accept(10000);
            if (conn < 0) return;
            kqtool::Meter meter = kqtool::DefaultSimMeter(1);
            for (;;) {
                const std::string request = kqtest::RecvUpTo(conn, 12, 5000);
                if (request.size() != 12) break;
                if (mode == kReset) {
                    kqtest::ResetClose(conn);
                    return;
                }
                const kqtool::Bytes reply =
                    kqtool::MeterAnswerTcp(&meter, kqtool::Bytes(request.begin(), request.end()));
                const std::string text(reply.begin(), reply.end());
                kqtest::SendAll(conn, text.substr(0, 5));
                std::this_thread::sleep_for(std::chrono::milliseconds(30));  // the device's pause
                kqtest::SendAll(conn, text.substr(5));
            }
            close(conn);
        });
    }
    ~OddModbusPeer() { thread_.join(); }
    std::string Def() const { return "127.0.0.1:" + std::to_string(listener_.port()); }

private:
    kqtest::TcpListener listener_;
    std::thread thread_;
};

TEST(KqserModbus, CoilsBroadcastUnitsAndPeersThatMisbehave) {
    Child rtu, tcp;
    ASSERT_TRUE(Start(&rtu, {"sim", "--modbus", "1", "--baud", "0"}));
    ASSERT_TRUE(Start(&tcp, {"sim", "--tcp", "0"}));
    const std::string line = WhereTo(&rtu), address = WhereTo(&tcp);
    ASSERT_FALSE(line.empty()) << rtu.err();
    ASSERT_EQ(address.rfind("127.0.0.1:", 0), 0u) << tcp.err();
    const struct {
        std::vector<std::string> args;
        int exit;
        std::string out;
        std::string err;
        std::string simSays = "";  // a broadcast: the unit takes it before the next request
    } rows[] = {
        {{line, "read", "1", "0", "4", "--discrete"}, 0, "      1  1\n      2  0\n", ""},
        {{line, "write", "1", "2", "1", "1", "--coils"},
         0,
         "write 2 coils from 2 of unit 1: done",
         ""},
        {{line, "read", "1", "1", "3", "--coils"}, 0, "      1  0\n      2  1\n      3  1\n", ""},
        // Broadcast: sent, no reply awaited, carried out by the unit.
        {{line, "write", "0", "7", "4321"},
         0,
         "sent, no reply expected",
         "",
         "broadcast 00 06 00 07"},
        {{line, "write", "0", "9", "1", "--coils"},
         0,
         "sent, no reply expected",
         "",
         "broadcast 00 05 00 09"},
        {{line, "read", "1", "7", "1"}, 0, "      7   4321", ""},
        {{line, "read", "1", "9", "1", "--coils"}, 0, "      9  1\n", ""},
        {{line, "read", "0", "0", "1"}, 2, "", "takes writes only"},
        {{line, "read", "248", "0", "1"}, 2, "", "unit 248 is reserved on Modbus RTU"},
        {{line, "read", "1", "0", "2", "--repeat", "3"}, 0, "", "latency us: min "},
        // The same over Modbus TCP, where 255 is an address like any.
        {{address, "write", "1", "5", "1", "0", "1", "--coils"}, 0, "done", ""},
        {{address, "read", "255", "5", "3", "--coils"},
         0,
         "      5  1\n      6  0\n      7  1\n",
         ""},
        {{address, "read", "1", "0", "2", "--discrete"}, 0, "      0  0\n      1  1\n", ""},
        {{address, "write", "0", "20", "99"}, 0, "done", ""},
        {{address, "read", "1", "20", "1"}, 0, "     20     99", ""},
    };
    for (const auto& row : rows) {
        std::vector<std::string> args = {"modbus"};
        args.insert(args.end(), row.args.begin(), row.args.end());
        const ChildResult r = Kqser(args);
        EXPECT_EQ(r.exitCode, row.exit) << row.args[1] << " " << row.args[2] << Describe(r);
        EXPECT_TRUE(Has(r.out, row.out)) << Describe(r);
        EXPECT_TRUE(Has(r.err, row.err)) << Describe(r);
        if (!row.simSays.empty()) {
            EXPECT_TRUE(rtu.WaitForErr(row.simSays, 10000)) << rtu.err();
        }
    }
    rtu.Signal(SIGTERM);
    const ChildResult sim = rtu.Wait(10000);
    EXPECT_TRUE(Has(sim.err, "carried out, no reply")) << sim.err;
    EXPECT_FALSE(Has(sim.err, "bad CRC")) << sim.err;

    {
        OddModbusPeer pieces(OddModbusPeer::kInPieces);
        const ChildResult r =
            Kqser({"modbus", pieces.Def(), "read", "1", "0", "2", "--repeat", "3"});
        EXPECT_EQ(r.exitCode, 0) << Describe(r);
        EXPECT_TRUE(Has(r.err, "replies 3  no reply 0  exceptions 0  in pieces 3\n")) << r.err;
    }
    OddModbusPeer reset(OddModbusPeer::kReset);
    const ChildResult r =
        Kqser({"modbus", reset.Def(), "read", "1", "0", "2", "--timeout", "5000"});
    EXPECT_EQ(r.exitCode, 1) << "a reset is a failure, not silence: " << Describe(r);
    EXPECT_TRUE(Has(r.err, "reset")) << r.err;
}

// A TCP client that sends requests and never reads the replies is dropped
// once it has taken none for a while; the unit goes on serving the others.
TEST(KqserSim, AClientThatTakesNoRepliesIsDroppedAndOthersAreServed) {
    Child tcp;
    ASSERT_TRUE(Start(&tcp, {"sim", "--tcp", "0", "-q"}));  // -q: no line per request
    const std::string address = WhereTo(&tcp);
    ASSERT_FALSE(address.empty()) << tcp.err();
    const int greedy = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int window = 4096;  // small: the replies back up at once
    setsockopt(greedy, SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
    const sockaddr_in addr = kqtest::Ipv4Addr("127.0.0.1", PortOf(address));
    ASSERT_EQ(connect(greedy, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
    // Holding registers 0 to 9 of unit 1, again and again.
    const char request[] = {0, 1, 0, 0, 0, 6, 1, 3, 0, 0, 0, 10};
    std::string burst;
    for (int i = 0; i < 4096; ++i) burst.append(request, sizeof request);
    bool dropped = false;
    for (const double end = kqtest::NowMs() + 20000; !dropped && kqtest::NowMs() < end;) {
        send(greedy, burst.data(), burst.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        dropped = tcp.WaitForErr("dropped: it took no reply for 2000 ms", 50);
    }
    EXPECT_TRUE(dropped) << tcp.err();
    const ChildResult r =
        Kqser({"modbus", address, "read", "1", "0", "2", "--timeout", "5000"}, {}, 15000);
    EXPECT_EQ(r.exitCode, 0) << Describe(r);
    close(greedy);
    tcp.Signal(SIGTERM);
    EXPECT_FALSE(tcp.Wait(10000).timedOut);
}

TEST(KqserCauses, TheLibrarysReasonWithoutVerboseAndRefusalsAsWarnings) {
    if (kqtest::kConsole) GTEST_SKIP() << "the console build prints its lines itself";
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    kqtest::ConfFile conf;
    ASSERT_TRUE(conf.Write("[serial]\nexclusive = on\nlow_latency = on\n"));
    const std::vector<std::string> env = {"KQSER_CONF=" + conf.path()};
    {
        const int held = open(("/dev/" + pty.SlaveName()).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(held, 0);
        ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
        const ChildResult r = Kqser({"send", pty.Def(), "01"}, env);
        close(held);
        EXPECT_EQ(r.exitCode, 1) << Describe(r);
        EXPECT_TRUE(Has(r.err, "kqser send: library: " + pty.Def("9600,n,8,1"))) << Describe(r);
        EXPECT_TRUE(Has(r.err, "is held by process " + std::to_string(getpid()))) << r.err;
    }
    kqtest::PtyDevice device(
        &pty, 1, [](const std::string&) { return std::string("K"); }, 1);
    const ChildResult r = Kqser({"send", pty.Def(), "01", "--read", "1"}, env);
    EXPECT_EQ(r.exitCode, 0) << Describe(r);
    EXPECT_TRUE(Has(r.err, "kqser send: warning: ")) << r.err;
    EXPECT_TRUE(Has(r.err, "low_latency: ASYNC_LOW_LATENCY refused")) << r.err;
    EXPECT_FALSE(Has(r.err, "lib| ")) << "no -v: " << r.err;
}

TEST(KqserPaths, DevNameBareNameAndAnyPath) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    kqtest::TempDir dir;
    ASSERT_TRUE(dir.Link("by-id/usb-KQ_Bench_0001-if00-port0", "/dev/" + pty.SlaveName()));
    const std::string link = dir.File("by-id/usb-KQ_Bench_0001-if00-port0");
    const struct {
        std::string def;
        int exit;
        std::string err;
    } rows[] = {
        {"/dev/" + pty.SlaveName(), 0, "-> 1 bytes to " + pty.SlaveName() + ":9600,n,8,1"},
        {pty.SlaveName(), 0, "-> 1 bytes to " + pty.SlaveName() + ":9600,n,8,1"},
        {"/dev/" + pty.SlaveName() + ":19200,E,8,1", 0, "19200 bit/s"},
        {link + ":4800", 0, "4800 bit/s"},
        {link, 0, "9600 bit/s"},
        {"ttyKQ_far_too_long_name0:9600", 2, "device = PATH"},
    };
    for (const auto& row : rows) {
        kqtest::PtyDevice device(
            &pty, 1, [](const std::string& r) { return r; }, row.exit == 0);
        const ChildResult r = Kqser({"send", row.def, "61", "--read", "1"});
        EXPECT_EQ(r.exitCode, row.exit) << row.def << Describe(r);
        EXPECT_TRUE(Has(r.err, row.err)) << row.def << Describe(r);
    }
    const ChildResult help = Kqser({"--help"});
    EXPECT_TRUE(Has(help.out, "device = PATH")) << help.out;
}

TEST(KqserConfig, AGateForDeployScripts) {
    kqtest::ConfFile conf;
    const struct {
        std::string text;
        int exit;
        std::string out;
    } rows[] = {
        {"\xEF\xBB\xBF[serial]\nexclusive = on\n", 0, "exclusive              = on"},
        {"[serial]\nexclusiv = on\n", 1, "unknown key; not used (did you mean exclusive?)"},
        {"[seriel ttyUSB0]\nframe_gap = 4\n", 1, "(did you mean [serial ttyUSB0]?)"},
        {"[serial]\nframe_gap = 900\n", 1, "frame_gap"},
        {"[log]\nto = stderr\n[serial ttyUSB1]\nrs485 = on\n", 0,
         "  [serial ttyusb1] rs485 = on\n"},
        {"[log]\nto = stderr\n", 0, "[log] keys:\n  to                     = stderr       ([log])"},
    };
    for (const auto& row : rows) {
        ASSERT_TRUE(conf.Write(row.text));
        const ChildResult r = kqtest::RunKqser({"config"}, 30000, {"KQSER_CONF=" + conf.path()});
        EXPECT_EQ(r.exitCode, row.exit) << row.text << Describe(r);
        EXPECT_TRUE(Has(r.out, row.out)) << row.text << Describe(r);
        EXPECT_FALSE(Has(r.out, "not a key = value line")) << "a byte-order mark is no line";
    }
}

TEST(KqserSmallPoints, InfoNamesTheFileLoadedAndCompletionKnowsLinesAndValues) {
    const std::string folder = kLib.substr(0, kLib.rfind('/'));
    const ChildResult info =
        kqtest::RunKqser({"--lib", "kqSer.so", "info"}, 30000, {"LD_LIBRARY_PATH=" + folder});
    EXPECT_EQ(info.exitCode, 0) << Describe(info);
    EXPECT_TRUE(Has(info.out, "library     " + folder + "/kqSer.so\n")) << info.out;

    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    EXPECT_TRUE(Has(Complete("kqser send --read 4 pts/"), pty.SlaveName()));
    EXPECT_EQ(Complete("kqser term x --map c"), "crlf cr\n");
    EXPECT_EQ(Complete("kqser send x --crc ''"), "modbus\n");
}

// mbpoll, the Modbus master integrators use, against sim on a line and over TCP.
TEST(KqserMbpoll, ReadsAndWritesCoilsInputsAndRegistersOfSim) {
    if (std::system("command -v mbpoll >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "mbpoll is not installed (Debian package mbpoll)";
    }
    Child rtu, tcp;
    ASSERT_TRUE(Start(&rtu, {"sim", "--modbus", "1", "--baud", "0"}));
    ASSERT_TRUE(Start(&tcp, {"sim", "--tcp", "0"}));
    const std::string line = WhereTo(&rtu), address = WhereTo(&tcp);
    ASSERT_FALSE(line.empty());
    ASSERT_FALSE(address.empty());
    const std::vector<std::string> rtuArgs = {
        "-m", "rtu", "-b", "9600", "-P", "none", "/dev/" + line.substr(0, line.find(':'))};
    const std::vector<std::string> tcpArgs = {"-m", "tcp", "-p", std::to_string(PortOf(address)),
                                              "127.0.0.1"};
    // -t 0 coils, 1 discrete inputs, 4 holding registers; -r counts from 1.
    const struct {
        std::vector<std::string> args;
        std::vector<std::string> values;  // written after the device
        std::string out;
    } rows[] = {
        {{"-t", "1", "-r", "1", "-c", "4"}, {}, "[1]: \t0\n[2]: \t1\n[3]: \t0\n[4]: \t1\n"},
        {{"-t", "0", "-r", "2"}, {"1", "0", "1"}, "Written 3 references"},
        {{"-t", "0", "-r", "1", "-c", "4"}, {}, "[1]: \t0\n[2]: \t1\n[3]: \t0\n[4]: \t1\n"},
        {{"-t", "4", "-r", "11"}, {"4242"}, "Written 1 references"},
        {{"-t", "4", "-r", "11", "-c", "1"}, {}, "[11]: \t4242\n"},
    };
    for (const auto* transport : {&rtuArgs, &tcpArgs}) {
        for (const auto& row : rows) {
            std::vector<std::string> argv = {"mbpoll", "-a", "1", "-1", "-q", "-o", "2"};
            argv.insert(argv.end(), row.args.begin(), row.args.end());
            argv.insert(argv.end(), transport->begin(), transport->end());
            argv.insert(argv.end(), row.values.begin(), row.values.end());
            Child mbpoll;
            ASSERT_TRUE(mbpoll.Start(argv, {}));
            const ChildResult r = mbpoll.Wait(20000);
            EXPECT_EQ(r.exitCode, 0) << transport->front() << Describe(r);
            EXPECT_TRUE(Has(r.out, row.out)) << Describe(r);
        }
    }
}

}  // namespace
