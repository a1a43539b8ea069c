// SPDX-License-Identifier: MIT
// The guest side of the kernel-driver stage: loads kqSer.so as a host does
// and runs one scenario per "run NAME" line on standard input against the
// real ftdi_sio and 8250 drivers. Everything it prints for the harness starts
// with "KQ: "; a scenario ends with one "KQ: result NAME pass|fail ..." line.
// "KQ: need ACTION" asks the harness to act (unplug, plug, peer mode) and
// waits for its "ok [VALUE]" line. Lines that start elsewhere (the kernel's)
// are ignored by the harness.
#include <asm/termbits.h>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ISerBase.h"
#include "kqSer.h"

namespace {

// Where the harness puts things in the guest.
const char* LibPath() {
    const char* lib = std::getenv("KQ_LIB");
    return lib != nullptr ? lib : "/kq/silent/kqSer.so";
}
const char kConf[] = "/tmp/kqser.conf";
const char kTool[] = "/kq/tools/kqser";

// The factor each peer multiplies a byte by before sending it back: tells
// the adapters (and the UART) apart by their answers.
const std::map<std::string, int> kFactor = {{"KQ0001", 3}, {"KQ0002", 5}};

// The 16550's name: ttyS1 beside the x86 console, ttyS0 on a board whose
// console is not an 8250 (the harness says which).
const std::string& Uart() {
    static const std::string name = [] {
        const char* given = std::getenv("KQ_UART");
        return std::string(given != nullptr ? given : "ttyS1");
    }();
    return name;
}

std::mutex g_logMutex;
std::vector<std::string> g_log;  // the library's lines in this scenario

double NowS() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

void Say(const std::string& text) {
    std::printf("KQ: %s\n", text.c_str());
    std::fflush(stdout);
}

// The harness's answer to a request: the text after "ok".
std::string Need(const std::string& action) {
    Say("need " + action);
    std::string line;
    while (std::getline(std::cin, line)) {
        if (line.rfind("ok", 0) == 0) {
            return line.size() > 3 ? line.substr(3) : "";
        }
    }
    std::exit(3);
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path);
    std::string text;
    std::getline(in, text);
    return text;
}

std::string ReadTextAll(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path);
    out << text << "\n";
    return static_cast<bool>(out.flush());
}

// The tty (ttyUSBn) whose USB device has this serial number; "" when none.
std::string TtyOfSerial(const std::string& serial) {
    DIR* dir = opendir("/sys/class/tty");
    if (dir == nullptr) {
        return "";
    }
    std::string found;
    while (dirent* e = readdir(dir)) {
        const std::string name = e->d_name;
        if (name.rfind("ttyUSB", 0) == 0 &&
            ReadText("/sys/class/tty/" + name + "/device/../../serial") == serial) {
            found = name;
        }
    }
    closedir(dir);
    return found;
}

// Waits for the adapter to enumerate (or, with gone, to leave).
std::string WaitTty(const std::string& serial, bool gone = false, double seconds = 30) {
    const double end = NowS() + seconds;
    std::string tty;
    while ((tty = TtyOfSerial(serial)).empty() != gone && NowS() < end) {
        usleep(100000);
    }
    return tty;
}

std::string LatencyPath(const std::string& tty) {
    return "/sys/class/tty/" + tty + "/device/latency_timer";
}

int OpenFds() {
    int n = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (dirent* e = readdir(dir)) {
        n += e->d_name[0] != '.';
    }
    closedir(dir);
    return n - 1;  // the folder's own descriptor
}

std::vector<std::string> LogLines() {
    std::lock_guard<std::mutex> lock(g_logMutex);
    return g_log;
}

// The first library line that contains every piece; "" when none does.
std::string Logged(std::initializer_list<std::string> pieces) {
    for (const std::string& line : LogLines()) {
        bool all = true;
        for (const std::string& piece : pieces) {
            all = all && line.find(piece) != std::string::npos;
        }
        if (all) {
            return line;
        }
    }
    return "";
}

// One scenario's verdict: every failed check, and what it showed.
struct Verdict {
    std::vector<std::string> failed;
    std::vector<std::string> shown;
    void Check(bool ok, const std::string& what) {
        if (!ok) {
            failed.push_back(what);
        }
    }
    void Show(const std::string& what) { shown.push_back(what); }
};

// The library for one scenario: a manager made after kqser.conf was written.
class Session {
public:
    explicit Session(const std::string& conf) {
        WriteText(kConf, conf);
        setenv("KQSER_CONF", kConf, 1);
        {
            std::lock_guard<std::mutex> lock(g_logMutex);
            g_log.clear();
        }
        lib_ = dlopen(LibPath(), RTLD_NOW);
        if (lib_ == nullptr) {
            Say(std::string("cannot load the library: ") + dlerror());
            std::exit(2);
        }
        getManager_ = reinterpret_cast<KqGetSerManagerFn>(dlsym(lib_, "GetSerManager"));
        freeManager_ = reinterpret_cast<KqFreeSerManagerFn>(dlsym(lib_, "FreeSerManager"));
        manager_ = getManager_();
    }
    ~Session() {
        for (ISerBase* port : ports_) {
            port->Close();
        }
        freeManager_();
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    ISerBase* Port(const std::string& def) {
        ISerBase* port = manager_->GetSer(def.c_str(), KQ_KIND_SERIAL);
        if (port != nullptr) {
            ports_.push_back(port);
        }
        return port;
    }

private:
    void* lib_ = nullptr;
    KqGetSerManagerFn getManager_ = nullptr;
    KqFreeSerManagerFn freeManager_ = nullptr;
    ISerManager* manager_ = nullptr;
    std::vector<ISerBase*> ports_;
};

// All 256 byte values out, 1 to 255 then 0 (a 0x00 in front of a reply is
// dropped as line noise); the peer answers each multiplied by its factor.
std::string Exchange(ISerBase* port, int factor, int count = 256) {
    std::vector<unsigned char> out(count);
    for (int i = 0; i < count; ++i) {
        out[i] = static_cast<unsigned char>((i + 1) & 0xFF);
    }
    port->Purge();
    const int written = port->Write(out.data(), count);
    if (written != count) {
        return "wrote " + std::to_string(written) + " of " + std::to_string(count);
    }
    std::vector<unsigned char> in(count);
    int got = 0;
    const double end = NowS() + 20;
    while (got < count && NowS() < end) {
        const int n = port->Read(in.data() + got, count - got, 2000);
        if (n < 0) {
            return "Read returned " + std::to_string(n);
        }
        got += n;
    }
    if (got != count) {
        return "read " + std::to_string(got) + " of " + std::to_string(count);
    }
    for (int i = 0; i < count; ++i) {
        if (in[i] != static_cast<unsigned char>(out[i] * factor)) {
            char text[96];
            std::snprintf(text, sizeof text, "byte %d: %02x, expected %02x (factor %d)", i, in[i],
                          static_cast<unsigned char>(out[i] * factor), factor);
            return text;
        }
    }
    return "";
}

std::string UsbSection(const std::string& name, const std::string& serial,
                       const std::string& more = "") {
    return "[serial " + name + "]\ndevice = usb:0403:6001:" + serial + "\n" + more;
}

// The device a port's last Open used, from its "CSerCom::Open:" line.
std::string OpenedPath() {
    std::string path;
    for (const std::string& line : LogLines()) {
        const size_t at = line.find("CSerCom::Open: ");
        if (at != std::string::npos) {
            path = line.substr(at + 15, line.find(',', at) - at - 15);
        }
    }
    return path;
}

// ---- scenarios ----

void Smoke(Verdict* v) {
    Session s(UsbSection("ttyUSB0", "KQ0001"));
    ISerBase* port = s.Port("ttyUSB0:115200,N,8,1");
    v->Check(port != nullptr && port->Open(nullptr) == 1, "Open");
    if (v->failed.empty()) {
        const std::string why = Exchange(port, kFactor.at("KQ0001"));
        v->Check(why.empty(), "exchange: " + why);
        v->Show("256 bytes both ways through " + OpenedPath());
    }
}

// Both adapters by serial number, under host names that may or may not be
// the names the kernel gave them.
void Identity(Verdict* v) {
    const std::string tty1 = TtyOfSerial("KQ0001");
    const std::string tty2 = TtyOfSerial("KQ0002");
    v->Show("kernel names: KQ0001 " + tty1 + ", KQ0002 " + tty2);
    for (bool crossed : {false, true}) {
        const std::string a = crossed ? "KQ0002" : "KQ0001";
        const std::string b = crossed ? "KQ0001" : "KQ0002";
        Session s(UsbSection("ttyUSB0", a) + UsbSection("ttyUSB1", b));
        ISerBase* p0 = s.Port("ttyUSB0:115200,N,8,1");
        ISerBase* p1 = s.Port("ttyUSB1:115200,N,8,1");
        const bool open = p0->Open(nullptr) == 1 && p1->Open(nullptr) == 1;
        v->Check(open, "Open of both (ttyUSB0 -> " + a + ")");
        if (!open) {
            continue;
        }
        const std::string why0 = Exchange(p0, kFactor.at(a));
        const std::string why1 = Exchange(p1, kFactor.at(b));
        v->Check(why0.empty(), "ttyUSB0 -> " + a + ": " + why0);
        v->Check(why1.empty(), "ttyUSB1 -> " + b + ": " + why1);
        v->Show("ttyUSB0 -> " + a + ", ttyUSB1 -> " + b + ": 256 bytes each way byte-exact");
    }
}

void ReplugByIdentity(Verdict* v, const std::string& before);

// Identity again once replug brought the adapters back in the other order.
void IdentityReplugged(Verdict* v) {
    const std::string tty = TtyOfSerial("KQ0001");
    v->Check(!tty.empty() && tty != "ttyUSB0", "KQ0001 is " + tty + ": the order is not swapped");
    Identity(v);
}

// Unplugs KQ0001 during a Read, then brings both adapters back in the
// other order so that KQ0001 gets another name.
void Replug(Verdict* v) {
    const std::string before = TtyOfSerial("KQ0001");
    v->Check(!before.empty(), "KQ0001 present");
    ReplugByIdentity(v, before);

    // A plain name is the kernel's: it now reaches whichever adapter has it.
    Session plain("");
    ISerBase* byName = plain.Port(before + ":115200,N,8,1");
    const std::string now = TtyOfSerial("KQ0002") == before ? "KQ0002" : "KQ0001";
    v->Check(byName->Open(nullptr) == 1, "Open of the plain name " + before);
    const std::string why = Exchange(byName, kFactor.at(now));
    v->Check(why.empty(), "plain " + before + " reaches " + now + ": " + why);
    v->Show("plain " + before + " now reaches " + now);
}

void ReplugByIdentity(Verdict* v, const std::string& before) {
    Session s(UsbSection("ttyUSB0", "KQ0001"));
    const int fds = OpenFds();
    ISerBase* port = s.Port("ttyUSB0:9600,N,8,1");
    v->Check(port->Open(nullptr) == 1, "Open");
    v->Check(Exchange(port, 3, 16).empty(), "exchange before the unplug");

    // The unplug lands while Read waits: the harness waits a second before
    // it unplugs, and its answer is read after Read returned. Without the
    // unplug this Read would wait about 12 s. A child waits across the same
    // unplug in a Read with no time-out, which only a full buffer or the
    // line's end stops: a hung-up tty reads 0 bytes, not an error, so only
    // the hang-up check ends that one.
    int said[2];
    const pid_t child = pipe2(said, O_CLOEXEC) == 0 ? fork() : -1;
    if (child == 0) {
        unsigned char buf[64];
        const int n = port->Read(buf, sizeof buf, -1000);
        _exit(write(said[1], &n, sizeof n) == sizeof n ? 0 : 1);
    }
    Say("need unplug u0 1.0");
    unsigned char buf[64];
    const double start = NowS();
    const int n = port->Read(buf, sizeof buf, 30000);
    const double took = NowS() - start;
    std::string line;
    std::getline(std::cin, line);
    int unbounded = -2;
    if (child > 0) {
        close(said[1]);
        pollfd ready{said[0], POLLIN, 0};
        if (poll(&ready, 1, 5000) != 1 || read(said[0], &unbounded, sizeof unbounded) != 4) {
            kill(child, SIGKILL);
        }
        waitpid(child, nullptr, 0);
        close(said[0]);
    }
    v->Check(unbounded == 0,
             "a Read with no time-out across the unplug returned " +
                 (unbounded == -2 ? std::string("nothing within 5 s") : std::to_string(unbounded)));
    v->Check(n == 0, "Read across the unplug returned " + std::to_string(n));
    v->Check(took > 0.9 && took < 4.0, "Read ended " + std::to_string(took) + " s after it began");
    v->Check(WaitTty("KQ0001", true).empty(), "KQ0001 gone");
    v->Show("Read during device_del: " + std::to_string(n) + " after " +
            std::to_string(static_cast<int>(took * 1000)) +
            " ms; with no time-out: " + std::to_string(unbounded));
    const unsigned char byte = 0x55;
    const int w = port->Write(&byte, 1);
    v->Check(w == -1, "Write after the unplug returned " + std::to_string(w));
    const double readStart = NowS();
    const int r = port->Read(buf, sizeof buf, 1000);
    v->Check(r == 0 && NowS() - readStart < 3.0, "Read after the unplug returned " +
                                                     std::to_string(r) + " in " +
                                                     std::to_string(NowS() - readStart) + " s");
    v->Check(port->Close() == 1 && port->GetHandle() == -1, "Close after the unplug");
    v->Check(OpenFds() == fds, "descriptors after Close: " + std::to_string(OpenFds()) +
                                   ", before Open " + std::to_string(fds));
    v->Show("after it: Write " + std::to_string(w) + ", Read " + std::to_string(r) + ", Close 1");
    v->Check(port->Open(nullptr) == 0, "Open with the adapter gone fails");
    v->Check(!Logged({"device usb:0403:6001:KQ0001: no USB serial line matches"}).empty(),
             "the no-match line");

    // KQ0002 leaves and comes back first: it takes the lowest free name.
    Need("unplug u1");
    WaitTty("KQ0002", true);
    Need("plug u1");
    const std::string tty2 = WaitTty("KQ0002");
    Need("plug u0");
    const std::string after = WaitTty("KQ0001");
    v->Check(!after.empty() && after != before,
             "KQ0001 came back as " + after + " (was " + before + ")");
    v->Show("replugged: KQ0002 as " + tty2 + ", KQ0001 as " + after);
    const bool reopened = port->Open(nullptr) == 1;
    v->Check(reopened && OpenedPath() == "/dev/" + after,
             "the next Open uses /dev/" + after + ", not " + OpenedPath());
    if (reopened) {
        const std::string why = Exchange(port, kFactor.at("KQ0001"));
        v->Check(why.empty(), "exchange after the replug: " + why);
        port->Close();
    }
    v->Check(OpenFds() == fds, "descriptors after the replug: " + std::to_string(OpenFds()));
}

// A process of its own that holds a line: "hold DEF" opens it with the
// kqser.conf in force, says "held" on standard output and waits to be killed.
int Hold(const std::string& def) {
    Session s(ReadTextAll(kConf));
    ISerBase* port = s.Port(def);
    const char* said = port->Open(nullptr) == 1 ? "held\n" : "not held\n";
    if (write(3, said, std::strlen(said)) < 0) {
        return 1;
    }
    pause();
    return 0;
}

// Starts "hold DEF" and waits for its first line: the child's pid, or -1.
pid_t StartHolder(const std::string& def) {
    int out[2];
    if (pipe(out) != 0) {
        return -1;
    }
    // By its own path, so that the process is named kqguest, not exe.
    char self[256] = {};
    if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) {
        return -1;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        // The read end may be descriptor 3 itself: dup2 replaces it then.
        if (out[0] != 3) {
            close(out[0]);
        }
        dup2(out[1], 3);
        if (out[1] != 3) {
            close(out[1]);
        }
        execl(self, "kqguest", "hold", def.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    char text[16] = {};
    const ssize_t n = read(out[0], text, sizeof text - 1);
    close(out[0]);
    return n > 0 && std::strncmp(text, "held", 4) == 0 ? pid : -1;
}

// An open by an ordinary user, as TIOCEXCL judges it: 0 or the errno.
int OpenAsUser(const std::string& path) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) {
            _exit(126);
        }
        const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        _exit(fd >= 0 ? 0 : errno);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void Exclusive(Verdict* v) {
    const std::string tty = TtyOfSerial("KQ0001");
    const std::string path = "/dev/" + tty;
    chmod(path.c_str(), 0666);
    const std::string conf = UsbSection("ttyUSB0", "KQ0001", "exclusive = on\n");
    WriteText(kConf, conf);
    const pid_t holder = StartHolder("ttyUSB0:9600,N,8,1");
    v->Check(holder > 0, "the holder opened the line");
    {
        Session s(conf);
        ISerBase* port = s.Port("ttyUSB0:9600,N,8,1");
        v->Check(port->Open(nullptr) == 0, "a second process's Open is refused");
        const std::string named =
            "exclusive: " + path + " is held by process " + std::to_string(holder) + " (kqguest)";
        v->Check(!Logged({named}).empty(), "the line naming the holder: " + named);
        v->Show("second Open refused: \"" + named + "\"");
        const int user = OpenAsUser(path);
        v->Check(user == EBUSY, std::string("a user's open while held: ") + std::strerror(user));
        v->Show(std::string("a user's open(2) while held: ") + std::strerror(user));
        kill(holder, SIGKILL);
        waitpid(holder, nullptr, 0);
        const int freed = OpenAsUser(path);
        v->Check(freed == 0, std::string("a user's open after the kill: ") + std::strerror(freed));
        v->Check(port->Open(nullptr) == 1, "Open after the holder was killed");
        v->Show("holder killed: the line is free (TIOCEXCL gone with its last close)");
    }
}

// ftdi_sio keeps ASYNC_LOW_LATENCY past the last close, and while it is set
// latency_timer reads 1 whatever was written to it.
void ClearLowLatency(const std::string& tty) {
    const int fd = open(("/dev/" + tty).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    serial_struct serial{};
    if (fd >= 0 && ioctl(fd, TIOCGSERIAL, &serial) == 0) {
        serial.flags &= ~ASYNC_LOW_LATENCY;
        ioctl(fd, TIOCSSERIAL, &serial);
    }
    if (fd >= 0) {
        close(fd);
    }
}

int LatencyOf(const std::string& tty) {
    return std::atoi(ReadText(LatencyPath(tty)).c_str());
}

void LowLatency(Verdict* v) {
    const std::string tty = TtyOfSerial("KQ0001");
    ClearLowLatency(tty);
    WriteText(LatencyPath(tty), "16");
    v->Check(LatencyOf(tty) == 16, "latency_timer set to 16 first");
    Session s(UsbSection("ttyUSB0", "KQ0001", "low_latency = on\n"));
    ISerBase* port = s.Port("ttyUSB0:9600,N,8,1");
    v->Check(port->Open(nullptr) == 1, "Open");
    const int latency = LatencyOf(tty);
    const std::string refused = Logged({"low_latency:"});
    v->Check(latency == 1 || !refused.empty(),
             "latency_timer " + std::to_string(latency) + " and no refusal line");
    serial_struct serial{};
    const int r = ioctl(port->GetHandle(), TIOCGSERIAL, &serial);
    const bool flag = r == 0 && (serial.flags & ASYNC_LOW_LATENCY) != 0;
    v->Check(refused.find("ASYNC_LOW_LATENCY") != std::string::npos || flag,
             "ASYNC_LOW_LATENCY neither set nor its refusal logged");
    v->Show("latency_timer 16 -> " + std::to_string(latency) + ", TIOCGSERIAL " +
            (r == 0 ? (flag ? "ASYNC_LOW_LATENCY set" : "flag clear") : std::strerror(errno)) +
            (refused.empty() ? ", no refusal" : ", \"" + refused + "\""));
    port->Close();
    ClearLowLatency(tty);
}

// The gap "frame gap X ms" of the last Open.
double LoggedGap() {
    double gap = -1;
    for (const std::string& line : LogLines()) {
        const size_t at = line.find("] frame gap ");
        if (at != std::string::npos) {
            gap = std::atof(line.c_str() + at + 12);
        }
    }
    return gap;
}

void FrameGap(Verdict* v) {
    const std::string tty = TtyOfSerial("KQ0001");
    ClearLowLatency(tty);
    Session s(UsbSection("ttyUSB0", "KQ0001", "frame_gap = auto\n"));
    ISerBase* port = s.Port("ttyUSB0:9600,N,8,1");
    // 3.5 characters of 10 bits at 9600 bit/s: 3.646 ms.
    for (int latency : {16, 4, 1}) {
        WriteText(LatencyPath(tty), std::to_string(latency));
        v->Check(LatencyOf(tty) == latency,
                 "latency_timer reads " + std::to_string(LatencyOf(tty)));
        v->Check(port->Open(nullptr) == 1, "Open");
        const double want = std::max(3.646, latency + 1.0);
        const double gap = LoggedGap();
        v->Check(std::fabs(gap - want) < 0.001, "latency_timer " + std::to_string(latency) +
                                                    ": gap " + std::to_string(gap) + " ms");
        v->Show("latency_timer " + std::to_string(latency) + " ms: frame gap " +
                std::to_string(gap) + " ms");
        port->Close();
    }
    WriteText(LatencyPath(tty), "16");
}

int SpeedOf(int fd) {
    termios2 tio{};
    return ioctl(fd, TCGETS2, &tio) == 0 ? static_cast<int>(tio.c_ospeed) : -1;
}

// One rate on one line: what Open did with it.
struct BaudCase {
    const char* what;
    int bps;
};

void CustomBaudOn(Verdict* v, const std::string& name, const std::string& section,
                  const std::vector<BaudCase>& cases) {
    for (const BaudCase& c : cases) {
        Session s(section + "custom_baud = on\n");
        ISerBase* port = s.Port(name + ":" + std::to_string(c.bps) + ",N,8,1");
        const bool open = port->Open(nullptr) == 1;
        const std::string asked = Logged({"custom_baud: " + std::to_string(c.bps) + " bit/s"});
        const int back = open ? SpeedOf(port->GetHandle()) : -1;
        v->Show(name + " " + c.what + " " + std::to_string(c.bps) + ": " +
                (open ? "open, reads back " + std::to_string(back) : "not opened") + "; \"" +
                asked + "\"");
        v->Check(!asked.empty(), name + " " + std::to_string(c.bps) + ": no custom_baud line");
        if (std::string(c.what) == "cannot") {
            v->Check(!open && asked.find("refused") != std::string::npos,
                     name + " " + std::to_string(c.bps) + " should be refused");
        } else {
            v->Check(open && asked.find(" " + std::to_string(back) + " set") != std::string::npos,
                     name + " " + std::to_string(c.bps) + ": logged rate is not the one read back");
        }
        if (std::string(c.what) == "exact") {
            v->Check(back == c.bps, name + " exact rate read back as " + std::to_string(back));
        }
    }
}

void CustomBaud(Verdict* v) {
    // ftdi_sio (FT232BM): 3 MHz over a divisor in eighths, up to 3 Mbit/s.
    CustomBaudOn(v, "ttyUSB0", UsbSection("ttyUSB0", "KQ0001"),
                 {{"exact", 250000}, {"approach", 345600}, {"cannot", 3500000}});
    // The 16550: 115200 over a whole divisor.
    CustomBaudOn(v, Uart(), "[serial " + Uart() + "]\n",
                 {{"exact", 14400}, {"approach", 31250}, {"cannot", 250000}});
}

void Rs485On(Verdict* v) {
    for (const std::string& name : {std::string("ttyUSB0"), Uart()}) {
        const std::string section =
            name == Uart() ? "[serial " + Uart() + "]\n" : UsbSection("ttyUSB0", "KQ0001");
        Session s(section + "rs485 = on\n");
        const int fds = OpenFds();
        ISerBase* port = s.Port(name + ":19200,E,8,1");
        const bool open = port->Open(nullptr) == 1;
        const std::string line = Logged({"rs485:"});
        v->Check(!open, name + ": Open with rs485 = on should fail");
        v->Check(line.find("the driver refuses RS-485") != std::string::npos,
                 name + ": the refusal line");
        v->Check(OpenFds() == fds, name + ": a descriptor left behind");
        v->Show(name + ": " + (open ? "opened" : "not opened") + ", \"" + line + "\"");
    }
}

// Whether the peer got what Write said it wrote. QEMU's 16550 drops a byte
// when its chardev stays unwritable through four retries (seen: 65 of 512
// bytes lost over a 0.5 s pause), so a UART whose peer stalled may come a
// few bytes short.
bool Delivered(const std::string& count, int written, bool uart) {
    const int got = std::atoi(count.c_str());
    return got == written || (uart && got < written && got >= written - 8);
}

// rs485 = rts: RTS low while listening, high while a Write is on its way,
// low again afterwards. On the UART a second thread samples TIOCMGET while a
// slow peer keeps the Write going; the emulated FTDI chip is fast, so there
// the harness reads the modem-control requests the chip received.
void Rs485Rts(Verdict* v) {
    for (const std::string& name : {Uart(), std::string("ttyUSB0")}) {
        const bool uart = name == Uart();
        const std::string peer = uart ? "s1" : "u0";
        Session s((uart ? "[serial " + Uart() + "]\n" : UsbSection("ttyUSB0", "KQ0001")) +
                  "rs485 = rts\n");
        ISerBase* port = s.Port(name + ":115200,N,8,1");
        if (port->Open(nullptr) != 1) {
            v->Check(false, name + ": Open");
            continue;
        }
        const int fd = port->GetHandle();
        auto rts = [fd] {
            int bits = 0;
            return ioctl(fd, TIOCMGET, &bits) == 0 && (bits & TIOCM_RTS) != 0;
        };
        const bool before = rts();
        // A stalled peer keeps the UART's drain waiting; the harness resumes
        // reading by itself after 0.5 s.
        Need("peer " + peer + (uart ? " pause" : " sink"));
        Need("mark " + peer);
        std::atomic<bool> done{false};
        std::atomic<int> high{0};
        std::atomic<int> samples{0};
        std::thread watch([&] {
            while (!done) {
                high += rts();
                ++samples;
                usleep(1000);
            }
        });
        std::vector<unsigned char> data(512, 0x41);
        const int n = port->Write(data.data(), static_cast<int>(data.size()));
        done = true;
        watch.join();
        const bool after = rts();
        const std::string count = Need("count " + peer);
        const std::string chip = uart ? "" : Need("rts " + peer);
        Need("peer " + peer + " answer");
        v->Check(n == static_cast<int>(data.size()),
                 name + ": Write returned " + std::to_string(n));
        v->Check(!before && !after, name + ": RTS not low before and after the Write");
        if (uart) {
            v->Check(high > 0, name + ": RTS never seen high during the Write");
        } else {
            v->Check(chip == "high low", name + ": the chip's RTS went " + chip);
        }
        // The chip takes every byte; the UART's peer paused, so some may be
        // lost in the emulation (see Delivered).
        v->Check(uart ? std::atoi(count.c_str()) > 0 : count == std::to_string(n),
                 name + ": the peer got " + count);
        v->Show(name + ": RTS " + (before ? "high" : "low") + " before, " +
                (uart ? "high in " + std::to_string(high) + " of " + std::to_string(samples) +
                            " TIOCMGET samples during"
                      : "the chip told \"" + chip + "\" for") +
                " a 512-byte Write, " + (after ? "high" : "low") + " after; the peer got " + count);
    }
}

// The peer stops reading: Write returns at its bound with what it wrote,
// and that is what the peer gets once it reads again.
void WriteTimeout(Verdict* v) {
    // The UART only: once an emulated adapter's peer stops reading, the
    // whole guest stops (QEMU 7.2's usb-serial write blocks the emulator).
    for (const std::string& name : {Uart()}) {
        const bool uart = name == Uart();
        const std::string peer = uart ? "s1" : "u0";
        Session s((uart ? "[serial " + Uart() + "]\n" : UsbSection("ttyUSB0", "KQ0001")) +
                  "write_timeout = 500\n");
        ISerBase* port = s.Port(name + ":115200,N,8,1");
        if (port->Open(nullptr) != 1) {
            v->Check(false, name + ": Open");
            continue;
        }
        Need("peer " + peer + " stall");
        const int len = uart ? 65536 : 4 << 20;
        std::vector<unsigned char> data(len, 0x42);
        const double start = NowS();
        const int n = port->Write(data.data(), len);
        const double took = NowS() - start;
        const std::string count = Need("count " + peer);
        Need("peer " + peer + " answer");
        const std::string line = Logged({"write_timeout: "});
        v->Check(n > 0 && n < len, name + ": Write returned " + std::to_string(n));
        v->Check(took >= 0.45 && took < 1.5, name + ": Write took " + std::to_string(took) + " s");
        v->Check(line.find(std::to_string(n) + " of " + std::to_string(len)) != std::string::npos,
                 name + ": the write_timeout line");
        v->Check(Delivered(count, n, uart),
                 name + ": the peer got " + count + ", Write said " + std::to_string(n));
        v->Show(name + ": Write of " + std::to_string(len) + " to a stalled peer returned " +
                std::to_string(n) + " after " + std::to_string(static_cast<int>(took * 1000)) +
                " ms; the peer then got " + count + "; \"" + line + "\"");
    }
}

// `kqser ports` names both adapters and opens no line (inotify sees every
// open of a device node).
void Ports(Verdict* v) {
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    for (const std::string& path :
         {std::string("/dev/ttyUSB0"), std::string("/dev/ttyUSB1"), "/dev/" + Uart()}) {
        inotify_add_watch(watch, path.c_str(), IN_OPEN);
    }
    FILE* tool = popen((std::string(kTool) + " ports 2>&1").c_str(), "r");
    std::string out;
    char text[512];
    while (std::fgets(text, sizeof text, tool) != nullptr) {
        out += text;
        std::string line = text;
        line.pop_back();
        Say("tool " + line);
    }
    const int status = pclose(tool);
    char events[4096];
    const ssize_t opened = read(watch, events, sizeof events);
    close(watch);
    v->Check(status == 0, "kqser ports exit status " + std::to_string(status));
    for (const std::string& serial : {std::string("KQ0001"), std::string("KQ0002")}) {
        const std::string tty = TtyOfSerial(serial);
        bool listed = false;
        size_t at = 0;
        while (!listed && (at = out.find(tty + " ", at)) != std::string::npos) {
            const std::string row = out.substr(at, out.find('\n', at) - at);
            listed = row.find("ftdi_sio") != std::string::npos &&
                     row.find("0403:6001") != std::string::npos &&
                     row.find(serial) != std::string::npos;
            ++at;
        }
        v->Check(listed, tty + " not listed with ftdi_sio, 0403:6001 and " + serial);
    }
    v->Check(out.find(Uart()) != std::string::npos, Uart() + " not listed");
    v->Check(opened <= 0, "kqser ports opened a line");
    v->Show(std::string("both adapters listed with driver, VID:PID and serial; ") +
            (opened <= 0 ? "no open seen" : "a line was opened"));
}

// The same options on a pseudo-terminal in the same guest, for comparison:
// what a pty shows where the drivers above show something else.
class GuestPty {
public:
    GuestPty() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0) {
            name_ = std::string(ptsname(master_)).substr(5);  // "pts/0"
        }
    }
    ~GuestPty() {
        if (master_ >= 0) {
            close(master_);
        }
    }
    GuestPty(const GuestPty&) = delete;
    GuestPty& operator=(const GuestPty&) = delete;
    const std::string& name() const { return name_; }
    std::string Section(const std::string& keys) const { return "[serial " + name_ + "]\n" + keys; }

private:
    int master_ = -1;
    std::string name_;
};

void Pty(Verdict* v) {
    GuestPty pty;
    v->Check(!pty.name().empty(), "no pseudo-terminal");
    const std::string def = pty.name() + ":9600,N,8,1";
    struct Row {
        const char* keys;
        int opens;
        const char* line;  // what the library says, "" for no line
    };
    const Row rows[] = {
        {"low_latency = on\n", 1, "low_latency: ASYNC_LOW_LATENCY refused"},
        {"frame_gap = auto\n", 1, "frame gap 3.646 ms (auto: 3.5 characters of 10 bits"},
        {"custom_baud = on\n", 1, "custom_baud: 250000 bit/s asked, 250000 set"},
        {"rs485 = on\n", 0, "rs485: the driver refuses RS-485"},
        {"rs485 = rts\n", 0, "rs485: RTS cannot be switched"},
        {"device = usb:0403:6001:KQ0003\n", 0, "no USB serial line matches"},
    };
    for (const Row& row : rows) {
        Session s(pty.Section(row.keys));
        const bool baud = std::strstr(row.keys, "custom_baud") != nullptr;
        ISerBase* port = s.Port(baud ? pty.name() + ":250000,N,8,1" : def);
        const int opened = port->Open(nullptr);
        const std::string line = Logged({row.line});
        std::string key = row.keys;
        key.pop_back();
        v->Check(opened == row.opens, "pty " + key + ": Open returned " + std::to_string(opened));
        v->Check(!line.empty(), "pty " + key + ": no line with \"" + row.line + "\"");
        v->Show("pty " + key + ": " + (opened ? "opened" : "not opened") + ", \"" + line + "\"");
        port->Close();
    }
    // Nobody reads the master: the write bound ends the Write.
    {
        Session s(pty.Section("write_timeout = 300\n"));
        ISerBase* port = s.Port(def);
        v->Check(port->Open(nullptr) == 1, "pty write_timeout: Open");
        std::vector<unsigned char> data(1 << 20, 0x43);
        const int n = port->Write(data.data(), static_cast<int>(data.size()));
        const std::string line = Logged({"write_timeout: "});
        v->Check(n > 0 && n < static_cast<int>(data.size()) && !line.empty(),
                 "pty write_timeout: Write returned " + std::to_string(n));
        v->Show("pty write_timeout = 300: \"" + line + "\"");
    }
    // The holder killed: the flock is gone with it, TIOCEXCL is not while
    // the master stays open.
    const std::string path = "/dev/" + pty.name();
    chmod(path.c_str(), 0666);
    WriteText(kConf, pty.Section("exclusive = on\n"));
    const pid_t holder = StartHolder(def);
    v->Check(holder > 0, "pty exclusive: the holder opened the line");
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    const int user = OpenAsUser(path);
    v->Show(std::string("pty exclusive = on, holder killed: a user's open(2): ") +
            (user == 0 ? "works" : std::strerror(user)));
    v->Check(user == EBUSY, "pty exclusive: TIOCEXCL gone with the holder (a pty keeps it)");
}

const std::vector<std::pair<std::string, std::function<void(Verdict*)>>> kScenarios = {
    {"smoke", Smoke},
    {"identity", Identity},
    {"replug", Replug},
    {"identity_replugged", IdentityReplugged},
    {"exclusive", Exclusive},
    {"low_latency", LowLatency},
    {"frame_gap", FrameGap},
    {"custom_baud", CustomBaud},
    {"rs485_on", Rs485On},
    {"rs485_rts", Rs485Rts},
    {"write_timeout", WriteTimeout},
    {"ports", Ports},
    {"pty", Pty},
};

void Run(const std::string& name) {
    for (const auto& scenario : kScenarios) {
        if (scenario.first != name) {
            continue;
        }
        Verdict v;
        const double start = NowS();
        scenario.second(&v);
        for (const std::string& shown : v.shown) {
            Say("shown " + name + ": " + shown);
        }
        std::string text = "result " + name + (v.failed.empty() ? " pass" : " fail");
        for (const std::string& why : v.failed) {
            text += "; " + why;
        }
        char took[32];
        std::snprintf(took, sizeof took, " (%.1f s)", NowS() - start);
        Say(text + took);
        return;
    }
    Say("result " + name + " fail; no such scenario");
}

}  // namespace

// The library's log lines: collected for the checks, and shown.
extern "C" __attribute__((visibility("default"))) int trace_log(const char* /*section*/,
                                                                const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::string line = text;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.pop_back();
    }
    {
        std::lock_guard<std::mutex> lock(g_logMutex);
        g_log.push_back(line);
    }
    Say("lib " + line);
    return 1;
}

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "hold") {
        return Hold(argv[2]);
    }
    // The adapters enumerate once the harness's peers are connected.
    const std::string a = WaitTty("KQ0001", false, 60);
    const std::string b = WaitTty("KQ0002", false, 60);
    Say("ready: KQ0001 " + (a.empty() ? "missing" : a) + ", KQ0002 " + (b.empty() ? "missing" : b));
    std::string line;
    while (std::getline(std::cin, line)) {
        if (line.rfind("run ", 0) == 0) {
            Run(line.substr(4));
        } else if (line == "quit") {
            break;
        }
    }
    Say("bye");
    return 0;
}
