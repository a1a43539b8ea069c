// SPDX-License-Identifier: MIT
// kqser's field commands as a user runs them: bridge to a pty device, sim
// answering the library's own serial port, modbus against sim and against a
// Modbus TCP peer, and the habits (streams, exit codes, man page, completion).
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "AnsweringPeers.h"
#include "Capture.h"
#include "CaptureFile.h"
#include "Child.h"
#include "DefString.h"
#include "ISerBase.h"
#include "KqserRun.h"
#include "Loopback.h"
#include "Modbus.h"
#include "Process.h"
#include "Pty.h"
#include "kqSer.h"

namespace {

using kqtest::Child;
using kqtest::ChildResult;
using kqtest::PtyPair;
using namespace kqtest::field;
using kqtool::Bytes;

const std::string kLib = kqtest::kLibrary;

// Starts kqser with args and returns the line it prints that names where to
// connect.
std::string StartKqser(Child* child, const std::vector<std::string>& args) {
    return kqtest::field::Start(child, args) ? WhereTo(child) : "";
}

std::string AsString(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// Sends back whatever reaches the master side, until stopped.
class PtyEcho {
public:
    explicit PtyEcho(PtyPair* pty)
        : thread_([this, pty] {
              while (!stop_) {
                  pollfd pfd = {pty->master(), POLLIN, 0};
                  if (poll(&pfd, 1, 100) <= 0) continue;
                  char buf[4096];
                  const ssize_t n = read(pty->master(), buf, sizeof buf);
                  if (n <= 0) return;
                  if (!pty->WriteMaster(std::string(buf, static_cast<size_t>(n)))) return;
              }
          }) {}
    ~PtyEcho() {
        stop_ = true;
        thread_.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// True when /proc/net/tcp lists a socket listening on 127.0.0.1:port.
bool ListensOnLoopbackOnly(int port) {
    std::ifstream table("/proc/net/tcp");
    char wanted[32];
    std::snprintf(wanted, sizeof wanted, ":%04X", port);
    bool loopback = false, other = false;
    for (std::string line; std::getline(table, line);) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (state != "0A" || local.size() < 13 || local.substr(8) != wanted) continue;
        (local.compare(0, 8, "0100007F") == 0 ? loopback : other) = true;
    }
    return loopback && !other;
}

TEST(KqserBridge, PassesOneMebibyteBothWaysAndRefusesASecondClient) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    PtyEcho echo(&pty);
    Child bridge;
    const std::string address =
        StartKqser(&bridge, {"bridge", pty.Def("115200,N,8,1"), "--listen", "0"});
    ASSERT_EQ(address.rfind("127.0.0.1:", 0), 0u) << address << bridge.err();
    const int port = PortOf(address);
    EXPECT_TRUE(ListensOnLoopbackOnly(port)) << "listens on 127.0.0.1 unless told otherwise";

    const int first = ConnectLoopback(port);
    ASSERT_GE(first, 0);
    ASSERT_TRUE(bridge.WaitForErr("connected", 10000)) << bridge.err();
    std::string data(1 << 20, '\0');
    std::mt19937 random(20);
    for (char& c : data) c = static_cast<char>(random() & 0xFF);
    std::thread writer([&] { kqtest::SendAll(first, data); });
    std::string back;
    std::atomic<bool> received{false};
    std::thread reader([&] {
        back = kqtest::RecvUpTo(first, data.size(), 60000);
        received = true;
    });
    // The console build logs every transfer on the tool's standard output:
    // keep reading it, or the tool blocks on a full pipe.
    while (!received) bridge.WaitForOut("\x01(pumps output for a while)", 100);
    reader.join();
    writer.join();
    ASSERT_EQ(back.size(), data.size());
    EXPECT_TRUE(back == data) << "every byte unchanged, 0x00 included";

    const int second = ConnectLoopback(port);
    ASSERT_GE(second, 0);
    EXPECT_TRUE(Has(kqtest::RecvUpTo(second, 200, 5000), "busy"));
    EXPECT_TRUE(kqtest::PeerEnded(second, 5000)) << "the second client is disconnected";
    close(second);
    ASSERT_TRUE(kqtest::SendAll(first, "still here"));
    EXPECT_EQ(kqtest::RecvUpTo(first, 10, 5000), "still here") << "the first goes on";

    close(first);
    ASSERT_TRUE(bridge.WaitForErr("left", 10000)) << bridge.err();
    bridge.Signal(SIGINT);
    const ChildResult r = bridge.Wait(10000);
    EXPECT_EQ(r.exitCode, 130) << Describe(r);
    EXPECT_TRUE(Has(r.err, "to the port 1048586 bytes in ")) << r.err;
    EXPECT_TRUE(Has(r.err, "from the port 1048586 bytes in ")) << r.err;
    EXPECT_TRUE(Has(r.err, "1 client, 1 refused")) << r.err;
}

TEST(KqserBridge, OnceEndsWhenTheClientLeavesAndTheAddressIsChecked) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    PtyEcho echo(&pty);
    Child bridge;
    const std::string address =
        StartKqser(&bridge, {"bridge", pty.Def(), "--listen", "127.0.0.1:0", "--once"});
    const int client = ConnectLoopback(PortOf(address));
    ASSERT_GE(client, 0) << address;
    ASSERT_TRUE(kqtest::SendAll(client, "ping"));
    EXPECT_EQ(kqtest::RecvUpTo(client, 4, 5000), "ping");
    close(client);
    const ChildResult r = bridge.Wait(10000);
    EXPECT_EQ(r.exitCode, 0) << Describe(r);

    const ChildResult bad = Kqser({"bridge", pty.Def(), "--listen", "example.org:80"});
    EXPECT_EQ(bad.exitCode, 2) << Describe(bad);
    EXPECT_TRUE(Has(bad.err, "not an IPv4 address")) << bad.err;
    EXPECT_EQ(Kqser({"bridge", pty.Def()}).exitCode, 2) << "--listen is needed";
}

// The library as a host loads it, with one serial port opened on def. The
// manager is process-wide: one HostPort at a time.
class HostPort {
public:
    explicit HostPort(const std::string& def) {
        lib_ = dlopen(kqtest::kLibrary, RTLD_NOW | RTLD_LOCAL);
        if (lib_ == nullptr) return;
        auto getManager = reinterpret_cast<KqGetSerManagerFn>(dlsym(lib_, "GetSerManager"));
        free_ = reinterpret_cast<KqFreeSerManagerFn>(dlsym(lib_, "FreeSerManager"));
        kqtool::DefInfo info;
        std::string error;
        if (getManager == nullptr || free_ == nullptr || !kqtool::ClassifyDef(def, &info, &error))
            return;
        port_ = getManager()->GetSer(def.c_str(), info.typeCode);
        if (port_ != nullptr && !port_->Open(nullptr)) port_ = nullptr;
    }
    ~HostPort() {
        if (port_ != nullptr) port_->Close();
        if (free_ != nullptr) free_();
    }
    ISerBase* port() const { return port_; }
    // Writes the frame and reads up to n bytes of the answer.
    Bytes Exchange(const Bytes& frame, size_t n) {
        port_->Write(frame.data(), static_cast<int>(frame.size()));
        Bytes reply(n);
        const int got = port_->Read(reply.data(), static_cast<int>(n), 1000);
        reply.resize(got > 0 ? static_cast<size_t>(got) : 0);
        return reply;
    }

private:
    void* lib_ = nullptr;
    KqFreeSerManagerFn free_ = nullptr;
    ISerBase* port_ = nullptr;
};

TEST(KqserSim, ModbusUnitAnswersTheLibrarysSerialPort) {
    Child sim;
    const std::string def = StartKqser(&sim, {"sim", "--modbus", "1"});
    ASSERT_TRUE(Has(def, ":9600,N,8,1")) << def << sim.err();
    HostPort host(def);
    ASSERT_NE(host.port(), nullptr);

    std::vector<uint16_t> values;
    std::string error;
    const Bytes read = host.Exchange(kqtool::RtuReadHolding(1, 0, 4), 13);
    ASSERT_TRUE(kqtool::ParseRtuReadHoldingReply(read, 1, 4, &values, &error)) << error;
    EXPECT_EQ(values, std::vector<uint16_t>({2304, 512, 5000, 1180}));

    const Bytes write = kqtool::WriteRequestPdu(10, {7, 0xBEEF});
    EXPECT_EQ(host.Exchange(kqtool::RtuFrame(1, write), 8),
              kqtool::RtuFrame(1, Bytes(write.begin(), write.begin() + 5)));
    ASSERT_TRUE(kqtool::ParseRtuReadHoldingReply(host.Exchange(kqtool::RtuReadHolding(1, 10, 2), 9),
                                                 1, 2, &values, &error))
        << error;
    EXPECT_EQ(values, std::vector<uint16_t>({7, 0xBEEF})) << "the write stuck";

    EXPECT_EQ(host.Exchange(kqtool::RtuReadHolding(1, 100, 1), 7),
              kqtool::RtuFrame(1, Bytes({0x83, 0x02})))
        << "register 100 is past the default bank";

    Bytes badCrc = kqtool::RtuReadHolding(1, 0, 1);
    badCrc.back() ^= 0xFF;
    EXPECT_TRUE(host.Exchange(badCrc, 7).empty()) << "a bad CRC gets no answer";
    EXPECT_TRUE(host.Exchange(kqtool::RtuReadHolding(2, 0, 1), 7).empty()) << "another unit";
    EXPECT_EQ(host.Exchange(kqtool::RtuReadHolding(1, 0, 1), 7).size(), 7u) << "still answers";

    sim.Signal(SIGTERM);
    const ChildResult r = sim.Wait(10000);
    EXPECT_EQ(r.exitCode, 128 + SIGTERM) << Describe(r);
    EXPECT_TRUE(Has(r.err, "ignored 01 03 00 00 00 01 84 F5")) << r.err;
}

std::string TempPath(const std::string& name) {
    char dir[] = "/tmp/kqsim.XXXXXX";
    if (mkdtemp(dir) == nullptr) return "";
    return std::string(dir) + "/" + name;
}

void RemoveTemp(const std::string& path) {
    std::remove(path.c_str());
    rmdir(path.substr(0, path.rfind('/')).c_str());
}

TEST(KqserSim, ReplaysACaptureAndTheRegistersOfAFile) {
    const std::string capture = TempPath("session.cap");
    {
        std::ofstream out(capture);
        out << "# kqSer capture 1\n"
            << "# a modem\n"
            << "1796745255.000001\tTX\t100000\t3\t41 54 0D\tpts/0:9600,n,8,1\n"
            << "1796745255.020000\tRX\t100000\t2\t4F 4B\tpts/0:9600,n,8,1\n"
            << "1796745255.020500\tRX\t100000\t2\t0D 0A\tpts/0:9600,n,8,1\n"
            << "1796745256.000000\tTX\t100000\t5\t41 54 49 33 0D\tpts/0:9600,n,8,1\n"
            << "1796745256.010000\tRX\t100000\t4\t6B 71 31 0D\tpts/0:9600,n,8,1\n";
    }
    {
        Child sim;
        const std::string def = StartKqser(&sim, {"sim", "--replay", capture, "--baud", "0"});
        HostPort host(def);
        ASSERT_NE(host.port(), nullptr) << def << sim.err();
        EXPECT_EQ(AsString(host.Exchange(Bytes({'A', 'T', 'I', '3', '\r'}), 4)), "kq1\r");
        EXPECT_EQ(AsString(host.Exchange(Bytes({'A', 'T', '\r'}), 4)), "OK\r\n");
        EXPECT_TRUE(host.Exchange(Bytes({'A', 'T', 'Z', '\r'}), 4).empty()) << "not recorded";
    }  // one manager at a time: the next host frees it
    RemoveTemp(capture);

    const std::string registers = TempPath("bank.txt");
    std::ofstream(registers) << "# a small bank\n500 1 2 3\n";
    Child unit;
    HostPort other(StartKqser(&unit, {"sim", "--modbus", "7", "--registers", registers}));
    ASSERT_NE(other.port(), nullptr);
    std::vector<uint16_t> values;
    std::string error;
    ASSERT_TRUE(kqtool::ParseRtuReadHoldingReply(
        other.Exchange(kqtool::RtuReadHolding(7, 500, 3), 11), 7, 3, &values, &error))
        << error;
    EXPECT_EQ(values, std::vector<uint16_t>({1, 2, 3}));
    RemoveTemp(registers);

    const ChildResult bad = Kqser({"sim", "--replay", "/nonexistent/kq.cap"});
    EXPECT_EQ(bad.exitCode, 2) << Describe(bad);
    EXPECT_TRUE(Has(bad.err, "No such file")) << bad.err;
    EXPECT_EQ(Kqser({"sim", "--echo", "--modbus", "1"}).exitCode, 2) << "one mode";
}

// What the library records with capture = FILE, kqser reads back (decoded
// as Modbus RTU) and replays.
TEST(KqserCapture, TheLibrarysCaptureIsReadBackAndReplayed) {
    kqtest::TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string capture = dir.File("meter.cap");
    Bytes reply;
    std::string note;
    {
        Child sim;
        const std::string def = StartKqser(&sim, {"sim", "--modbus", "1", "--baud", "0"});
        std::ofstream(dir.File("kqser.conf")) << "[serial]\ncapture = " << capture << "\n";
        ASSERT_EQ(setenv("KQSER_CONF", dir.File("kqser.conf").c_str(), 1), 0);
        HostPort host(def);
        unsetenv("KQSER_CONF");
        ASSERT_NE(host.port(), nullptr) << def << sim.err();
        note = host.port()->GetNote();
        reply = host.Exchange(kqtool::RtuReadHolding(1, 0, 4), 13);
        ASSERT_EQ(reply.size(), 13u);
    }
    const ChildResult shown = Kqser({"capture", capture, "--modbus"});
    EXPECT_EQ(shown.exitCode, 0) << Describe(shown);
    EXPECT_TRUE(Has(shown.out, "TX  " + note)) << shown.out;
    EXPECT_TRUE(Has(shown.out, "8 bytes: 01 03 00 00 00 04 44 09\n")) << shown.out;
    EXPECT_TRUE(Has(shown.out, "modbus rtu unit 1: read holding registers 0-3 (4); CRC ok\n"))
        << shown.out;
    EXPECT_TRUE(Has(shown.out,
                    "modbus rtu unit 1: read holding registers: 4 values 2304 "
                    "512 5000 1180; CRC ok\n"))
        << shown.out;
    EXPECT_TRUE(Has(shown.err, "2 records: 1 TX, 1 RX")) << shown.err;

    {
        Child sim;
        HostPort host(StartKqser(&sim, {"sim", "--replay", capture, "--baud", "0"}));
        ASSERT_NE(host.port(), nullptr);
        EXPECT_EQ(host.Exchange(kqtool::RtuReadHolding(1, 0, 4), 13), reply);
    }

    EXPECT_EQ(Kqser({"capture"}).exitCode, 2);
    const ChildResult missing = Kqser({"capture", dir.File("none.cap")});
    EXPECT_EQ(missing.exitCode, 1) << "a failure, not a usage error";
    EXPECT_TRUE(Has(missing.err, "No such file")) << missing.err;
    std::ofstream(dir.File("other.txt")) << "SEND: 01 02\n";
    const ChildResult other = Kqser({"capture", dir.File("other.txt")});
    EXPECT_EQ(other.exitCode, 1);
    EXPECT_TRUE(Has(other.err, "not a capture file: its first line is \"SEND: 01 02\", where"))
        << other.err;
}

TEST(KqserSim, BaudPacesTheRepliesAndDelayAddsATurnaround) {
    // 192 bytes at 9600 bit/s, 10 bits a byte: 200 ms on the wire.
    const Bytes text(192, 'k');
    for (const char* delay : {"0", "300"}) {
        Child sim;
        HostPort host(StartKqser(&sim, {"sim", "--echo", "--baud", "9600", "--delay", delay}));
        ASSERT_NE(host.port(), nullptr);
        const double start = kqtest::NowMs();
        EXPECT_EQ(host.Exchange(text, text.size()), text);
        const double took = kqtest::NowMs() - start;
        const double floor = 190 + std::atof(delay);
        EXPECT_GE(took, floor) << "delay " << delay;
        EXPECT_LT(took, floor + 3000) << "delay " << delay;
    }
}

TEST(KqserModbus, ReadsWritesAndNamesExceptionsAgainstSim) {
    Child sim;
    const std::string def = StartKqser(&sim, {"sim", "--modbus", "1", "--baud", "0"});
    const ChildResult read = Kqser({"modbus", def, "read", "1", "0", "2", "--pairs"});
    EXPECT_EQ(read.exitCode, 0) << Describe(read);
    EXPECT_TRUE(Has(read.out, "      0   2304  0x0900    2304\n")) << read.out;
    EXPECT_TRUE(Has(read.out, "u32  150995456")) << read.out;
    EXPECT_TRUE(Has(read.err, "read holding registers 0-1 of unit 1")) << read.err;

    const ChildResult write = Kqser({"modbus", def, "write", "1", "20", "-2", "0x10"});
    EXPECT_EQ(write.exitCode, 0) << Describe(write);
    const ChildResult back = Kqser({"-q", "modbus", def, "read", "1", "20", "2", "--input"});
    EXPECT_EQ(back.exitCode, 0) << Describe(back);
    EXPECT_TRUE(Has(back.out,
                    "     20  65534  0xFFFE      -2\n"
                    "     21     16  0x0010      16\n"))
        << back.out;
    EXPECT_TRUE(back.err.empty()) << "-q: no banners: " << back.err;

    const ChildResult bad = Kqser({"modbus", def, "read", "1", "99", "2"});
    EXPECT_EQ(bad.exitCode, 4) << Describe(bad);
    EXPECT_TRUE(Has(bad.err, "exception reply: illegal data address (code 2)")) << bad.err;
    EXPECT_FALSE(Has(bad.out, "0x")) << "no values: " << bad.out;

    const ChildResult repeat = Kqser({"modbus", def, "read", "1", "0", "4", "--repeat", "5"});
    EXPECT_EQ(repeat.exitCode, 0) << Describe(repeat);
    EXPECT_TRUE(Has(repeat.err, "exchanges 5  replies 5  no reply 0  exceptions 0\n"))
        << repeat.err;
    EXPECT_TRUE(Has(repeat.err, "latency us: min ")) << repeat.err;

    const ChildResult silent = Kqser({"modbus", def, "read", "9", "0", "1", "--timeout", "300"});
    EXPECT_EQ(silent.exitCode, 3) << "no unit 9: " << Describe(silent);
    EXPECT_EQ(Kqser({"modbus", def, "read", "1", "0", "126"}).exitCode, 2);
    EXPECT_EQ(Kqser({"modbus", def, "write", "1", "0", "65536"}).exitCode, 2);
    EXPECT_EQ(Kqser({"modbus", def, "frob", "1", "0"}).exitCode, 2);
}

TEST(KqserModbus, OverTcpWithTheMbapHeader) {
    kqtool::Meter meter = kqtool::DemoMeter();
    kqtest::TcpPeer peer([&meter](int, const std::string& request) {
        return AsString(kqtool::MeterAnswerTcp(&meter, Bytes(request.begin(), request.end())));
    });
    const ChildResult r = Kqser({"modbus", peer.Def(), "read", "1", "2", "2", "--repeat", "2"});
    EXPECT_EQ(r.exitCode, 0) << Describe(r);
    EXPECT_TRUE(Has(r.out, "      2   5000  0x1388    5000\n")) << r.out;
    EXPECT_TRUE(Has(r.err, "Modbus TCP")) << r.err;
    EXPECT_EQ(peer.requests(), 2) << "each exchange its own transaction";

    kqtool::Meter other = kqtool::DemoMeter();
    kqtest::TcpPeer second([&other](int, const std::string& request) {
        return AsString(kqtool::MeterAnswerTcp(&other, Bytes(request.begin(), request.end())));
    });
    const ChildResult bad = Kqser({"modbus", second.Def(), "write", "1", "9", "1"});
    EXPECT_EQ(bad.exitCode, 4) << Describe(bad);
    EXPECT_TRUE(Has(bad.err, "illegal data address")) << bad.err;
}

TEST(KqserSend, CrcAndTextSpareTheHandWork) {
    Child sim;
    const std::string def = StartKqser(&sim, {"sim", "--modbus", "1", "--baud", "0"});
    const ChildResult crc =
        Kqser({"send", def, "01 03 00 00 00 01", "--crc", "modbus", "--read", "7"});
    EXPECT_EQ(crc.exitCode, 0) << Describe(crc);
    EXPECT_TRUE(Has(crc.err, "01 03 00 00 00 01 84 0A")) << crc.err;
    EXPECT_TRUE(Has(crc.out, "01 03 02 09 00 BE 14")) << crc.out;

    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    kqtest::PtyDevice device(
        &pty, 5, [](const std::string&) { return std::string("OK"); }, 1);
    const ChildResult text = Kqser({"send", pty.Def(), "--text", "AT\\r\\n\\x00", "--read", "2"});
    EXPECT_EQ(text.exitCode, 0) << Describe(text);
    ASSERT_EQ(device.requests().size(), 1u);
    EXPECT_EQ(device.requests()[0], std::string("AT\r\n\0", 5));
    EXPECT_EQ(Kqser({"send", pty.Def(), "--text", "\\q"}).exitCode, 2);
    EXPECT_EQ(Kqser({"send", pty.Def(), "01", "--crc", "xor"}).exitCode, 2);
}

TEST(KqserTerm, MapsEnterEchoesAndLogsTheSession) {
    PtyPair line;
    ASSERT_TRUE(line.ok());
    kqtest::PtyDevice device(
        &line, 8, [](const std::string&) { return std::string("OK"); }, 1);
    const std::string log = TempPath("term.cap");
    Child child;
    Child::Options options;
    options.stdinPipe = true;
    ASSERT_TRUE(child.Start(
        kqtest::KqserCommand(
            {"--lib", kLib, "term", line.Def(), "--map", "crlf", "--echo", "--log", log}, nullptr),
        options));
    child.WriteStdin("ab\ncd\n");
    child.CloseStdin();
    const ChildResult r = child.Wait(20000);
    EXPECT_EQ(r.exitCode, 0) << Describe(r);
    ASSERT_EQ(device.requests().size(), 1u);
    EXPECT_EQ(device.requests()[0], "ab\r\ncd\r\n");
    EXPECT_TRUE(Has(r.out, "ab\r\ncd\r\n")) << "local echo: " << r.out;
    EXPECT_TRUE(Has(r.out.substr(r.out.find("cd\r\n")), "OK")) << "then the answer";
    EXPECT_TRUE(Has(r.err, "Ctrl-] leaves")) << r.err;

    std::ifstream in(log);
    std::stringstream text;
    text << in.rdbuf();
    std::vector<kqtool::CaptureRecord> records;
    std::string error;
    ASSERT_TRUE(kqtool::ParseCapture(text.str(), &records, &error)) << error << text.str();
    std::string sent, received;
    for (const kqtool::CaptureRecord& record : records) {
        (record.tx ? sent : received) += AsString(record.bytes);
        EXPECT_EQ(record.note, line.SlaveName() + ":9600,n,8,1");
    }
    EXPECT_EQ(sent, "ab\r\ncd\r\n");
    EXPECT_EQ(received, "OK");
    RemoveTemp(log);
    EXPECT_EQ(Kqser({"term", line.Def(), "--map", "crcr"}).exitCode, 2);
}

TEST(KqserHabits, VersionQuietAndTheReasonOfAFailedOpen) {
    const ChildResult version = Kqser({"--version"});
    EXPECT_EQ(version.exitCode, 0) << Describe(version);
    EXPECT_EQ(version.out.rfind(std::string("kqser ") + KQTEST_VERSION + "\n", 0), 0u)
        << version.out;
    EXPECT_TRUE(Has(version.out, "DllVersion 1\n")) << version.out;

    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    kqtest::PtyDevice device(
        &pty, 1, [](const std::string&) { return std::string("Z"); }, 1);
    const ChildResult quiet = Kqser({"-q", "send", pty.Def(), "5A", "--read", "1"});
    EXPECT_EQ(quiet.exitCode, 0) << Describe(quiet);
    EXPECT_TRUE(quiet.err.empty()) << quiet.err;
    EXPECT_TRUE(Has(quiet.out, "|Z|")) << "the data still comes: " << quiet.out;

    // A network of its own with no route anywhere: the connect is refused
    // by the routing table, inside the namespace.
    Child isolated;
    std::vector<std::string> argv = {"unshare", "-n"};
    const std::vector<std::string> tool =
        kqtest::KqserCommand({"--lib", kLib, "send", "192.0.2.1:502", "01"}, nullptr);
    argv.insert(argv.end(), tool.begin(), tool.end());
    ASSERT_TRUE(isolated.Start(argv, {}));
    const ChildResult r = isolated.Wait(30000);
    if (Has(r.err, "unshare")) GTEST_SKIP() << "no network namespace here: " << r.err;
    EXPECT_EQ(r.exitCode, 1) << Describe(r);
    EXPECT_TRUE(Has(r.err, "network is unreachable")) << r.err;
}

TEST(KqserHabits, ManPageAndCompletionFollowTheCommandTable) {
    std::ifstream manFile(KQTEST_KQSER_MAN);
    std::stringstream man;
    man << manFile.rdbuf();
    const ChildResult help = Kqser({"--help"});
    std::istringstream lines(help.out.substr(help.out.find("commands:\n")));
    int commands = 0;
    for (std::string line; std::getline(lines, line) && !line.empty();) {
        if (line.size() < 3 || line[2] == ' ' || line[0] != ' ') continue;
        const std::string name = line.substr(2, line.find(' ', 2) - 2);
        EXPECT_TRUE(Has(man.str(), ".SS " + name + "\n")) << name;
        ++commands;
    }
    EXPECT_GE(commands, 9);
    EXPECT_TRUE(Has(man.str(), ".TH KQSER 1")) << man.str().substr(0, 200);

    EXPECT_EQ(Complete("kqser br"), "bridge\n");
    EXPECT_EQ(Complete("kqser -v sim --re"), "--registers --replay\n");
    EXPECT_EQ(Complete("kqser modbus x read --sw"), "--swap\n");
    EXPECT_EQ(Complete("kqser --lib /us"), "/usr\n") << "the value of --lib is a file name";
    EXPECT_EQ(Complete("kqser send x --timeout 1"), "\n") << "no guess at a number";
}

}  // namespace
