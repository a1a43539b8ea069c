// SPDX-License-Identifier: MIT
// Costs of one request/response exchange through kqSer, next to the raw
// system calls (the floor) and to libserialport (what a host would use
// otherwise), all in one process and taking turns so that every figure comes
// from the same machine state.
//
//   kqser_bench time OUT.tsv         round-trip times, idle-wait CPU
//   kqser_bench gap OUT.tsv          replies of unknown length under
//                                    kqser.conf's frame_gap (gap_bench.cpp)
//   kqser_bench insn VARIANT COUNT   COUNT 8-byte round trips (serial; TCP
//                                    for tcp-*) inside kqbench_measured,
//                                    for callgrind
//
// kqSer is loaded with dlopen, as a host loads it. Its log lines (console
// build) and the network port's direct lines go to standard output: run with
// standard output on /dev/null.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <pty.h>
#include <sched.h>
#include <sys/socket.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <libserialport.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ISerBase.h"
#include "Library.h"
#include "bench_support.h"
#include "frame_bench.h"
#include "gap_bench.h"
#include "kqSer.h"

extern "C" int kqbench_sp_setup;

namespace {

[[noreturn]] void Die(const char* what) {
    std::fprintf(stderr, "kqser_bench: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

// Reads until buf holds n bytes, got of them already there.
bool ReadRest(int fd, unsigned char* buf, int got, int n) {
    while (got < n) {
        const ssize_t k = ::read(fd, buf + got, static_cast<size_t>(n - got));
        if (k <= 0) return false;
        got += static_cast<int>(k);
    }
    return true;
}

using kqbench::NowNs;
using kqbench::ThreadCpuNs;

bool WriteAll(int fd, const unsigned char* p, size_t n) {
    while (n > 0) {
        const ssize_t k = ::write(fd, p, n);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return false;
        p += k;
        n -= static_cast<size_t>(k);
    }
    return true;
}

// ---- the devices on the other side -----------------------------------------

// Pins the calling thread to one CPU. Client and responders share it, so
// every hand-over is the same kind of context switch for every client.
void PinToBenchCpu() {
    static const int cpu = [] {
        cpu_set_t set;
        CPU_ZERO(&set);
        sched_getaffinity(0, sizeof set, &set);
        for (int i = 0; i < CPU_SETSIZE; ++i) {
            if (CPU_ISSET(i, &set)) return i;
        }
        return 0;
    }();
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    pthread_setaffinity_np(pthread_self(), sizeof one, &one);
}

// Echoes on the device ends (pty masters, accepted TCP connections), one
// blocking thread each. A thread ends when its line closes: a pty master
// reads EIO once no slave descriptor is open, a connection reads 0.
class EchoHub {
public:
    ~EchoHub() { Join(); }
    void Add(int fd) { fds_.push_back(fd); }
    void Start() {
        for (int fd : fds_) {
            threads_.emplace_back([fd] {
                PinToBenchCpu();
                unsigned char buf[4096];
                for (;;) {
                    const ssize_t n = ::read(fd, buf, sizeof buf);
                    if (n < 0 && errno == EINTR) continue;
                    if (n <= 0 || !WriteAll(fd, buf, static_cast<size_t>(n))) return;
                }
            });
        }
    }
    // Call after closing every client end.
    void Join() {
        for (std::thread& t : threads_) t.join();
        threads_.clear();
    }

private:
    std::vector<int> fds_;
    std::vector<std::thread> threads_;
};

class Pty {
public:
    Pty() {
        char name[64] = {};
        if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) Die("openpty");
        path_ = name;
    }
    ~Pty() {
        CloseSlave();
        ::close(master_);
    }
    const std::string& Path() const { return path_; }     // /dev/pts/N
    std::string Name() const { return path_.substr(5); }  // pts/N
    int Master() const { return master_; }
    int Slave() const { return slave_; }
    void CloseSlave() {
        if (slave_ >= 0) ::close(slave_);
        slave_ = -1;
    }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

// A loopback TCP listener; the client connects, then Accept gives the
// device end.
class TcpPeer {
public:
    TcpPeer() {
        listen_ = ::socket(AF_INET, SOCK_STREAM, 0);
        if (listen_ < 0) Die("socket");
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) Die("bind");
        socklen_t len = sizeof a;
        ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        if (::listen(listen_, 1) != 0) Die("listen");
    }
    ~TcpPeer() {
        if (conn_ >= 0) ::close(conn_);
        ::close(listen_);
    }
    int Port() const { return port_; }
    int Accept() {
        conn_ = ::accept(listen_, nullptr, nullptr);
        if (conn_ < 0) Die("accept");
        const int one = 1;
        ::setsockopt(conn_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        return conn_;
    }

private:
    int listen_ = -1;
    int port_ = 0;
    int conn_ = -1;
};

// ---- the clients ------------------------------------------------------------

class Client {
public:
    virtual ~Client() = default;
    // One request of n bytes and its echo; false when the echo fell short.
    virtual bool RoundTrip(const unsigned char* req, unsigned char* rsp, int n) = 0;
    // Before each batch, outside the timing.
    virtual void Prepare() {}
};

class RawSerial : public Client {
public:
    explicit RawSerial(int fd) : fd_(fd) {
        termios tio;
        if (tcgetattr(fd_, &tio) != 0) Die("tcgetattr");
        cfmakeraw(&tio);
        cfsetspeed(&tio, B115200);
        tio.c_cc[VMIN] = 1;
        tio.c_cc[VTIME] = 0;
        if (tcsetattr(fd_, TCSANOW, &tio) != 0) Die("tcsetattr");
    }
    bool RoundTrip(const unsigned char* req, unsigned char* rsp, int n) override {
        if (::write(fd_, req, static_cast<size_t>(n)) != n) return false;
        return ReadRest(fd_, rsp, 0, n);
    }

private:
    int fd_;
};

// The calls that kqSer's serial Read makes for a reply that arrives whole
// when its time-out gives one extra pass: the floor for that pacing.
class RawPaced : public Client {
public:
    explicit RawPaced(int fd) : fd_(fd) {}  // a descriptor set up by RawSerial
    bool RoundTrip(const unsigned char* req, unsigned char* rsp, int n) override {
        if (::write(fd_, req, static_cast<size_t>(n)) != n) return false;
        if (::read(fd_, rsp, 1) != 1) return false;
        ::usleep(1000);
        return ReadRest(fd_, rsp, 1, n);
    }

private:
    int fd_;
};

class SpSerial : public Client {
public:
    SpSerial(const std::string& path, bool debugHandler) : debugHandler_(debugHandler) {
        Prepare();
        kqbench_sp_setup = 1;
        if (sp_get_port_by_name(path.c_str(), &port_) != SP_OK) Die("sp_get_port_by_name");
        if (sp_open(port_, SP_MODE_READ_WRITE) != SP_OK) Die("sp_open");
        if (sp_set_baudrate(port_, 115200) != SP_OK || sp_set_bits(port_, 8) != SP_OK ||
            sp_set_parity(port_, SP_PARITY_NONE) != SP_OK || sp_set_stopbits(port_, 1) != SP_OK ||
            sp_set_flowcontrol(port_, SP_FLOWCONTROL_NONE) != SP_OK) {
            Die("sp_set_config");
        }
        kqbench_sp_setup = 0;
    }
    ~SpSerial() override { Close(); }
    void Close() {
        if (port_ == nullptr) return;
        sp_close(port_);
        sp_free_port(port_);
        port_ = nullptr;
    }
    bool RoundTrip(const unsigned char* req, unsigned char* rsp, int n) override {
        if (sp_blocking_write(port_, req, static_cast<size_t>(n), 1000) != n) return false;
        return sp_blocking_read(port_, rsp, static_cast<size_t>(n), 1000) == n;
    }
    // The debug handler is process-wide.
    void Prepare() override {
        sp_set_debug_handler(debugHandler_ ? sp_default_debug_handler : nullptr);
    }

private:
    bool debugHandler_;
    sp_port* port_ = nullptr;
};

// One variant of kqSer.so, loaded as a host loads it. With conf (kqser.conf
// text, {DIR} standing for a scratch folder), a copy of the library of its
// own: the [log] route is process-wide, and each copy has its own.
class KqLib {
public:
    explicit KqLib(const char* path, const std::string& conf = "") {
        char dir[] = "/tmp/kqbench.XXXXXX";
        if (mkdtemp(dir) == nullptr) Die("mkdtemp");
        dir_ = dir;
        std::string load = path;
        if (!conf.empty()) {
            load = dir_ + "/kqSer.so";
            CopyFile(path, load);
            std::string text = conf;
            for (size_t at; (at = text.find("{DIR}")) != std::string::npos;)
                text.replace(at, 5, dir_);
            WriteFile(dir_ + "/kqser.conf", text);
            files_ = {load, dir_ + "/kqser.conf"};
        }
        std::string error;
        if (!kqtool::LoadKqLibrary(load, &lib_, &error)) {
            std::fprintf(stderr, "kqser_bench: %s\n", error.c_str());
            std::exit(1);
        }
        // The silent build reads and rewrites its log-config file at the
        // first GetSerManager and at FreeSerManager: keep it in the scratch dir.
        if (lib_.logConfigPath != nullptr) {
            ini_ = dir_ + "/kqser.log.ini";
            *lib_.logConfigPath = ini_.c_str();
        }
        // kqser.conf is read when the manager is made; no file: none at all.
        const std::string confPath = conf.empty() ? "" : dir_ + "/kqser.conf";
        setenv("KQSER_CONF", confPath.c_str(), 1);
        manager_ = lib_.getSerManager();
        unsetenv("KQSER_CONF");
    }
    ~KqLib() {
        lib_.freeSerManager();
        // What the variant wrote there (the log, the capture, their older generations).
        for (const char* name : {"/kqser.log.ini", "/kq.log", "/kq.log.1", "/kq.cap", "/kq.cap.1"})
            std::remove((dir_ + name).c_str());
        for (const std::string& file : files_) std::remove(file.c_str());
        ::rmdir(dir_.c_str());
        // Not unloaded: the console build's buffered lines are flushed at exit.
    }
    ISerBase* Get(const std::string& def, int type) { return manager_->GetSer(def.c_str(), type); }

private:
    static void CopyFile(const std::string& from, const std::string& to) {
        FILE* in = std::fopen(from.c_str(), "rb");
        FILE* out = std::fopen(to.c_str(), "wb");
        if (in == nullptr || out == nullptr) Die("copying the library");
        char buf[65536];
        for (size_t n; (n = std::fread(buf, 1, sizeof buf, in)) > 0;) {
            if (std::fwrite(buf, 1, n, out) != n) Die("copying the library");
        }
        std::fclose(in);
        if (std::fclose(out) != 0) Die("copying the library");
    }
    static void WriteFile(const std::string& path, const std::string& text) {
        FILE* out = std::fopen(path.c_str(), "w");
        if (out == nullptr || std::fputs(text.c_str(), out) < 0 || std::fclose(out) != 0)
            Die(path.c_str());
    }

    kqtool::KqLibrary lib_;
    ISerManager* manager_ = nullptr;
    std::string dir_, ini_;
    std::vector<std::string> files_;
};

class KqPort : public Client {
public:
    KqPort(ISerBase* port, int timeout) : port_(port), timeout_(timeout) {}
    bool RoundTrip(const unsigned char* req, unsigned char* rsp, int n) override {
        if (port_->Write(req, n) != n) return false;
        return port_->Read(rsp, n, timeout_) == n;
    }
    void SetTimeout(int timeout) { timeout_ = timeout; }

private:
    ISerBase* port_;
    int timeout_;
};

ISerBase* OpenKqSerial(KqLib& lib, const Pty& pty) {
    // pts/N: device name pts/ plus the leading digits, port number the last.
    const std::string name = pty.Name();
    const int type = KQ_KIND_SERIAL + (name.back() - '0');
    ISerBase* port = lib.Get(name + ":115200,N,8,1", type);
    if (port == nullptr || port->Open(nullptr) != 1) Die("kqSer serial Open");
    return port;
}

class RawTcp : public Client {
public:
    // waitFirst: wait for the reply with poll and a time-out before the
    // first recv, as kqSer's network Read does (its floor).
    RawTcp(int port, bool waitFirst) : waitFirst_(waitFirst) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        if (fd_ < 0) Die("socket");
        const int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) Die("connect");
    }
    ~RawTcp() override { Close(); }
    void Close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    bool RoundTrip(const unsigned char* req, unsigned char* rsp, int n) override {
        if (::send(fd_, req, static_cast<size_t>(n), 0) != n) return false;
        int got = 0;
        while (got < n) {
            if (waitFirst_) {
                pollfd pfd = {fd_, POLLIN, 0};
                if (::poll(&pfd, 1, 500) != 1) return false;
            }
            const ssize_t k = ::recv(fd_, rsp + got, static_cast<size_t>(n - got), 0);
            if (k <= 0) return false;
            got += static_cast<int>(k);
        }
        return true;
    }

private:
    bool waitFirst_;
    int fd_ = -1;
};

// A host reads a network port until the reply is complete.
class KqTcp : public Client {
public:
    explicit KqTcp(ISerBase* port) : port_(port) {}
    bool RoundTrip(const unsigned char* req, unsigned char* rsp, int n) override {
        if (port_->Write(req, n) != n) return false;
        int got = 0;
        while (got < n) {
            const int k = port_->Read(rsp + got, n - got, 500);
            if (k <= 0) return false;
            got += k;
        }
        return true;
    }

private:
    ISerBase* port_;
};

// ---- measuring ----------------------------------------------------------------

std::vector<unsigned char> Request(int n) {
    // Printable bytes: no 0x00 (dropped at the head of a kqSer serial read),
    // no flow-control characters.
    std::vector<unsigned char> req(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i)
        req[static_cast<size_t>(i)] = static_cast<unsigned char>('A' + i % 26);
    return req;
}

struct Series {
    std::string group;    // serial, tcp, pause
    std::string variant;  // raw, libserialport, kqSer-500, ...
    int n;
    Client* client;  // null: the 1 ms pause alone
    int batch;
    std::vector<int64_t> ns;
    int failures = 0;
};

void RunBatch(Series& s) {
    if (s.client == nullptr) {
        for (int i = 0; i < s.batch; ++i) {
            const int64_t t0 = NowNs();
            ::usleep(1000);
            s.ns.push_back(NowNs() - t0);
        }
        return;
    }
    s.client->Prepare();
    const std::vector<unsigned char> req = Request(s.n);
    std::vector<unsigned char> rsp(req.size());
    for (int i = 0; i < s.batch; ++i) {
        std::fill(rsp.begin(), rsp.end(), 0);
        const int64_t t0 = NowNs();
        const bool ok = s.client->RoundTrip(req.data(), rsp.data(), s.n);
        const int64_t t1 = NowNs();
        if (!ok || rsp != req) {
            ++s.failures;
            continue;
        }
        s.ns.push_back(t1 - t0);
    }
}

// Every series runs a batch per round, in turn, so that all of them see the
// same moments of a noisy machine.
void RunRounds(std::vector<Series>& all, int rounds) {
    for (Series& s : all) {  // warm-up, not recorded
        const int batch = s.batch;
        s.batch = std::max(1, batch / 10);
        RunBatch(s);
        s.ns.clear();
        s.failures = 0;
        s.batch = batch;
    }
    for (int r = 0; r < rounds; ++r) {
        for (Series& s : all) RunBatch(s);
    }
}

void WriteSeries(FILE* out, const std::vector<Series>& all) {
    for (const Series& s : all) {
        std::fprintf(out, "rt\t%s\t%s\t%d\t%d", s.group.c_str(), s.variant.c_str(), s.n,
                     s.failures);
        for (int64_t v : s.ns) std::fprintf(out, "\t%lld", static_cast<long long>(v));
        std::fprintf(out, "\n");
    }
}

struct Idle {
    std::string variant;
    std::vector<int64_t> cpu, wall;
};

// One wait with no data, on a thread of its own so that its CPU time is its own.
template <typename F>
void IdleWait(Idle& idle, F wait) {
    const int64_t w0 = NowNs();
    const int64_t c0 = ThreadCpuNs();
    wait();
    idle.cpu.push_back(ThreadCpuNs() - c0);
    idle.wall.push_back(NowNs() - w0);
}

int TimeMain(const char* outPath) {
    FILE* out = std::fopen(outPath, "w");
    if (out == nullptr) Die(outPath);
    PinToBenchCpu();

    KqLib silent(KQBENCH_LIB_SILENT);
    KqLib console(KQBENCH_LIB_CONSOLE);
    // What a field engineer switches on: the log lines into a file, the
    // traffic into a capture file, and both.
    KqLib logFile(KQBENCH_LIB_SILENT, "[log]\nto = {DIR}/kq.log\n");
    KqLib capture(KQBENCH_LIB_SILENT, "[serial]\ncapture = {DIR}/kq.cap\n");
    KqLib both(KQBENCH_LIB_SILENT, "[log]\nto = {DIR}/kq.log\n[serial]\ncapture = {DIR}/kq.cap\n");

    EchoHub hub;
    Pty rawPty, spPty, spQuietPty, kqPty, kqConsolePty, idlePty, pacedPty;
    Pty logPty, capturePty, bothPty;
    for (const Pty* p :
         {&rawPty, &spPty, &spQuietPty, &kqPty, &kqConsolePty, &logPty, &capturePty, &bothPty})
        hub.Add(p->Master());
    RawSerial raw(rawPty.Slave());
    RawPaced rawPaced(rawPty.Slave());
    SpSerial sp(spPty.Path(), true);
    SpSerial spQuiet(spQuietPty.Path(), false);
    ISerBase* kqSerial = OpenKqSerial(silent, kqPty);
    ISerBase* kqConsoleSerial = OpenKqSerial(console, kqConsolePty);
    KqPort kq500(kqSerial, 500), kq2000(kqSerial, 2000), kqConsole500(kqConsoleSerial, 500);
    ISerBase* logSerial = OpenKqSerial(logFile, logPty);
    ISerBase* captureSerial = OpenKqSerial(capture, capturePty);
    ISerBase* bothSerial = OpenKqSerial(both, bothPty);
    KqPort kqLog500(logSerial, 500), kqCapture500(captureSerial, 500), kqBoth500(bothSerial, 500);

    TcpPeer rawPeer, rawWaitPeer, kqPeer;
    RawTcp rawTcp(rawPeer.Port(), false);
    hub.Add(rawPeer.Accept());
    RawTcp rawWaitTcp(rawWaitPeer.Port(), true);
    hub.Add(rawWaitPeer.Accept());
    ISerBase* kqNet = silent.Get("127.0.0.1:" + std::to_string(kqPeer.Port()), KQ_KIND_NET + 1);
    if (kqNet == nullptr || kqNet->Open(nullptr) != 1) {
        std::fprintf(stderr, "kqser_bench: kqSer network port does not open: TCP rows left out\n");
        kqNet = nullptr;
    } else {
        hub.Add(kqPeer.Accept());
    }
    KqTcp kqTcp(kqNet);
    hub.Start();

    std::vector<Series> all;
    for (int n : {8, 64, 256}) {
        all.push_back({"serial", "raw", n, &raw, 100, {}});
        all.push_back({"serial", "libserialport", n, &sp, 100, {}});
        all.push_back({"serial", "libserialport-nodebug", n, &spQuiet, 100, {}});
        all.push_back({"serial", "kqSer-500", n, &kq500, 100, {}});
        all.push_back({"serial", "kqSer-console-500", n, &kqConsole500, 100, {}});
        if (n == 8) {
            all.push_back({"serial", "kqSer-logfile-500", n, &kqLog500, 100, {}});
            all.push_back({"serial", "kqSer-capture-500", n, &kqCapture500, 100, {}});
            all.push_back({"serial", "kqSer-logfile-capture-500", n, &kqBoth500, 100, {}});
        }
        all.push_back({"serial", "raw-paced", n, &rawPaced, 20, {}});
        all.push_back({"serial", "kqSer-2000", n, &kq2000, 20, {}});
        all.push_back({"tcp", "raw", n, &rawTcp, 100, {}});
        all.push_back({"tcp", "raw-wait", n, &rawWaitTcp, 100, {}});
        if (kqNet != nullptr) all.push_back({"tcp", "kqSer", n, &kqTcp, 100, {}});
    }
    all.push_back({"pause", "usleep-1000", 0, nullptr, 20, {}});
    std::fprintf(stderr, "kqser_bench: round trips\n");
    RunRounds(all, 30);
    WriteSeries(out, all);

    // Idle waits: kqSer serial with time-out 9000 (ten reads that meet
    // 0.2 s of silence and nine 1 ms pauses, about 2 s), kqSer network with
    // 2000, a raw poll of 2 s, and raw calls paced as the serial read loop
    // is (the floor for that pacing), side by side on threads of their own.
    std::fprintf(stderr, "kqser_bench: idle waits\n");
    Idle idleRaw{"raw-poll", {}, {}}, idlePaced{"raw-paced", {}, {}},
        idleSerial{"kqSer-serial", {}, {}}, idleNet{"kqSer-tcp", {}, {}};
    const int idleFd = idlePty.Slave();
    const int pacedFd = pacedPty.Slave();
    {
        termios tio;
        if (tcgetattr(pacedFd, &tio) != 0) Die("tcgetattr");
        cfmakeraw(&tio);
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = 2;
        if (tcsetattr(pacedFd, TCSANOW, &tio) != 0) Die("tcsetattr");
    }
    for (int rep = 0; rep < 3; ++rep) {
        std::thread a([&] {
            IdleWait(idleRaw, [&] {
                pollfd pfd = {idleFd, POLLIN, 0};
                ::poll(&pfd, 1, 2000);
            });
        });
        std::thread b([&] {
            unsigned char buf[8];
            IdleWait(idleSerial, [&] { kqSerial->Read(buf, 8, 9000); });
        });
        std::thread c([&] {
            unsigned char buf[8];
            if (kqNet != nullptr) IdleWait(idleNet, [&] { kqNet->Read(buf, 8, 2000); });
        });
        std::thread d([&] {
            unsigned char buf[8];
            IdleWait(idlePaced, [&] {
                ssize_t n = ::read(pacedFd, buf, 1);
                for (int pass = 0; pass < 9 && n == 0; ++pass) {
                    ::usleep(1000);
                    n = ::read(pacedFd, buf, 8);
                }
            });
        });
        a.join();
        b.join();
        c.join();
        d.join();
    }
    for (const Idle* idle : {&idleRaw, &idlePaced, &idleSerial, &idleNet}) {
        if (idle->cpu.empty()) continue;
        std::fprintf(out, "idle\t%s", idle->variant.c_str());
        for (size_t i = 0; i < idle->cpu.size(); ++i) {
            std::fprintf(out, "\t%lld:%lld", static_cast<long long>(idle->cpu[i]),
                         static_cast<long long>(idle->wall[i]));
        }
        std::fprintf(out, "\n");
    }

    if (kqNet != nullptr) kqNet->Close();
    kqSerial->Close();
    kqConsoleSerial->Close();
    for (ISerBase* port : {logSerial, captureSerial, bothSerial}) port->Close();
    sp.Close();
    spQuiet.Close();
    rawTcp.Close();
    rawWaitTcp.Close();
    for (Pty* p :
         {&rawPty, &spPty, &spQuietPty, &kqPty, &kqConsolePty, &logPty, &capturePty, &bothPty})
        p->CloseSlave();
    hub.Join();
    std::fclose(out);
    return 0;
}

}  // namespace

// The measured window for callgrind (--toggle-collect=kqbench_measured).
extern "C" __attribute__((noinline)) int kqbench_measured(Client* client, const unsigned char* req,
                                                          unsigned char* rsp, int count) {
    int ok = 0;
    for (int i = 0; i < count; ++i) ok += client->RoundTrip(req, rsp, 8) ? 1 : 0;
    return ok;
}

namespace {

int InsnMain(const std::string& variant, int count) {
    KqLib silent(KQBENCH_LIB_SILENT);
    KqLib console(KQBENCH_LIB_CONSOLE);
    EchoHub hub;
    Pty pty;
    hub.Add(pty.Master());
    TcpPeer peer;
    std::unique_ptr<Client> client;
    ISerBase* port = nullptr;
    if (variant == "raw") {
        client.reset(new RawSerial(pty.Slave()));
    } else if (variant == "libserialport" || variant == "libserialport-nodebug") {
        client.reset(new SpSerial(pty.Path(), variant == "libserialport"));
    } else if (variant == "kqSer" || variant == "kqSer-console") {
        port = OpenKqSerial(variant == "kqSer" ? silent : console, pty);
        client.reset(new KqPort(port, 500));
    } else if (variant == "tcp-raw" || variant == "tcp-raw-wait") {
        client.reset(new RawTcp(peer.Port(), variant == "tcp-raw-wait"));
        hub.Add(peer.Accept());
    } else if (variant == "tcp-kqSer") {
        port = silent.Get("127.0.0.1:" + std::to_string(peer.Port()), KQ_KIND_NET + 1);
        if (port == nullptr || port->Open(nullptr) != 1) Die("kqSer network Open");
        hub.Add(peer.Accept());
        client.reset(new KqTcp(port));
    } else {
        std::fprintf(stderr, "kqser_bench: unknown variant %s\n", variant.c_str());
        return 2;
    }
    PinToBenchCpu();
    hub.Start();
    const std::vector<unsigned char> req = Request(8);
    std::vector<unsigned char> rsp(8);
    // Warm-up: lazy binding and first-touch costs stay out of the window.
    for (int i = 0; i < 50; ++i) client->RoundTrip(req.data(), rsp.data(), 8);
    const int ok = kqbench_measured(client.get(), req.data(), rsp.data(), count);
    if (port != nullptr) port->Close();
    client.reset();
    pty.CloseSlave();
    hub.Join();
    if (ok != count) {
        std::fprintf(stderr, "kqser_bench: %d of %d round trips failed\n", count - ok, count);
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "time" && argc == 3) return TimeMain(argv[2]);
    if (mode == "gap" && argc == 3) return GapMain(argv[2]);
    if (mode == "frame" && argc == 3) return FrameMain(argv[2]);
    if (mode == "insn" && argc == 4) return InsnMain(argv[2], std::atoi(argv[3]));
    std::fprintf(stderr,
                 "usage: kqser_bench time OUT.tsv\n"
                 "       kqser_bench gap OUT.tsv\n"
                 "       kqser_bench frame OUT.tsv\n"
                 "       kqser_bench insn raw|libserialport|libserialport-nodebug|kqSer|"
                 "kqSer-console|tcp-raw|tcp-raw-wait|tcp-kqSer COUNT\n");
    return 2;
}
