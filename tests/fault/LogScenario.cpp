// SPDX-License-Identifier: MIT
// The log and capture options: the serial port's script with its log lines
// routed to a file and its traffic captured to another, both so small that
// they rotate; and with the lines sent to syslog (to a socket of the test's
// own in place of /dev/log). A fault in the routing may drop a line or a
// record, and nothing else: the port does exactly what it does without the
// options, and no line or record is ever left torn.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "Interpose.h"
#include "Scenarios.h"

extern const char* filename;

namespace kqtest {

namespace {

const char kLogName[] = "kq.log";
const char kCaptureName[] = "kq.cap";
const char kCaptureHeader[] = "# kqSer capture 1";

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteConf(Context& ctx, const std::string& text) {
    const std::string conf = ctx.dir() + "/kqser.conf";
    std::ofstream(conf, std::ios::binary) << text;
    setenv("KQSER_CONF", conf.c_str(), 1);
    filename = nullptr;
}

bool IsDigits(const std::string& s, size_t from, size_t n) {
    if (s.size() < from + n) {
        return false;
    }
    for (size_t i = from; i < from + n; ++i) {
        if (s[i] < '0' || s[i] > '9') {
            return false;
        }
    }
    return true;
}

// "2026-12-08 16:26:44.371184 " in front of every line.
bool Stamped(const std::string& line) {
    return line.size() > 27 && IsDigits(line, 0, 4) && line[4] == '-' && line[10] == ' ' &&
           line[19] == '.' && IsDigits(line, 20, 6) && line[26] == ' ';
}

// Six fields between TABs, the count matching the bytes.
bool IsRecord(const std::string& line) {
    std::string fields[6];
    size_t at = 0;
    for (int i = 0; i < 6; ++i) {
        const size_t tab = line.find('\t', at);
        if ((tab == std::string::npos) != (i == 5)) {
            return false;
        }
        fields[i] = line.substr(at, tab == std::string::npos ? std::string::npos : tab - at);
        at = tab + 1;
    }
    const long count = std::strtol(fields[3].c_str(), nullptr, 10);
    const size_t bytes = fields[4].empty() ? 0 : (fields[4].size() + 1) / 3;
    return (fields[1] == "TX" || fields[1] == "RX") && count >= -1 &&
           bytes == static_cast<size_t>(count > 0 ? count : 0);
}

// Every generation of a file the library appends to holds whole lines only,
// each of them good(). A write that came short is ended with a line end and
// counted as dropped: its piece stands on a line of its own, and the next
// line that gets through says it was dropped (dropped() of that line).
template <typename Good, typename Dropped>
void CheckLines(Context& ctx, const std::string& path, const char* what, Good good,
                Dropped dropped) {
    for (const std::string& name : {path, path + ".1"}) {
        const std::string text = ReadText(name);
        if (!text.empty() && text.back() != '\n') {
            ctx.findings.Add("%s %s ends in a torn line", what, name.c_str());
        }
        std::istringstream in(text);
        std::string line;
        int n = 0;
        bool piece = false;  // the line before was a piece of one
        while (std::getline(in, line)) {
            if (piece && !dropped(line)) {
                ctx.findings.Add("%s %s: line %d follows a piece and says nothing of it", what,
                                 name.c_str(), n);
                return;
            }
            piece = !good(line, n++);
            if (piece && !ctx.Landed()) {
                ctx.findings.Add("%s %s: line %d is no line of it: %.60s", what, name.c_str(), n,
                                 line.c_str());
                return;
            }
        }
    }
}

bool SaysDropped(const std::string& line, const char* note) {
    return line.find(note) != std::string::npos;
}

// Lines enough to bring a file of 1 KiB near its bound: the first lines of
// the script rotate it.
std::string NearlyFull(const std::string& first, const std::string& line) {
    std::string text = first;
    while (text.size() + line.size() < 1000) {
        text += line;
    }
    return text;
}

void RunToFile(Context& ctx) {
    const std::string log = ctx.dir() + "/" + kLogName;
    const std::string capture = ctx.dir() + "/" + kCaptureName;
    std::ofstream(log, std::ios::binary)
        << NearlyFull("", "2026-12-08 16:26:44.371184 SerManager new: 14c439a0\n");
    std::ofstream(capture, std::ios::binary)
        << NearlyFull(std::string(kCaptureHeader) + "\n",
                      "1796747204.371398\tTX\t100002\t2\t01 03\tpts/2:9600,n,8,1\n");
    WriteConf(ctx, "[log]\nto = " + log + "\nmax_kib = 1\n[serial]\ncapture = " + capture +
                       "\ncapture_max_kib = 1\n");
    RunSerialScript(ctx, SerialScript());
    CheckLines(
        ctx, log, "the log file", [](const std::string& line, int) { return Stamped(line); },
        [](const std::string& line) { return SaysDropped(line, " dropped] "); });
    CheckLines(
        ctx, capture, "the capture file",
        [](const std::string& line, int n) {
            return n == 0 ? line == kCaptureHeader : (line[0] == '#' || IsRecord(line));
        },
        [](const std::string& line) { return SaysDropped(line, " dropped here"); });
    bool any = false;
    for (const char* name : {kLogName, kCaptureName}) {
        any = any || !ReadText(ctx.dir() + "/" + name).empty();
    }
    if (!any && !ctx.Landed()) {
        ctx.findings.Add("neither a log line nor a record without a fault");
    }
}

// Standard error a pipe, as under a service manager: the library writes
// through a non-blocking descriptor of its own, whole lines only.
void RunToStderr(Context& ctx) {
    int p[2];
    if (pipe2(p, O_CLOEXEC | O_NONBLOCK) != 0) {
        ctx.findings.Add("no pipe");
        return;
    }
    std::fflush(stderr);
    const int saved = dup(2);
    dup2(p[1], 2);
    close(p[1]);
    WriteConf(ctx, "[log]\nto = stderr\n");
    RunSerialScript(ctx, SerialScript());
    std::fflush(stderr);
    dup2(saved, 2);
    close(saved);
    std::string text;
    char buf[4096];
    ssize_t n = 0;
    while ((n = read(p[0], buf, sizeof buf)) > 0) {
        text.append(buf, static_cast<size_t>(n));
    }
    close(p[0]);
    const std::string path = ctx.dir() + "/stderr.txt";
    std::ofstream(path, std::ios::binary) << text;
    // A pipe takes a line of at most PIPE_BUF bytes whole or not at all: a
    // write cut short is the port's (checked by the host), or one a pipe never
    // makes.
    if (!(ctx.FaultIsShort() && ctx.FaultOn(interpose::Fn::write))) {
        CheckLines(
            ctx, path, "standard error", [](const std::string& line, int) { return Stamped(line); },
            [](const std::string& line) { return SaysDropped(line, " dropped] "); });
    }
    if (text.empty() && !ctx.Landed()) {
        ctx.findings.Add("no log line on standard error without a fault");
    }
}

// Standard error a file, as under a shell's 2>file: the route writes through
// a duplicate of descriptor 2 taken at set-up, within the file size limit.
void RunToStderrFile(Context& ctx) {
    const std::string path = ctx.dir() + "/stderr.txt";
    const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (file < 0) {
        ctx.findings.Add("no file for standard error");
        return;
    }
    std::fflush(stderr);
    const int saved = dup(2);
    dup2(file, 2);
    close(file);
    WriteConf(ctx, "[log]\nto = stderr\n");
    RunSerialScript(ctx, SerialScript());
    std::fflush(stderr);
    dup2(saved, 2);
    close(saved);
    CheckLines(
        ctx, path, "standard error", [](const std::string& line, int) { return Stamped(line); },
        [](const std::string& line) { return SaysDropped(line, " dropped] "); });
    if (ReadText(path).empty() && !ctx.Landed()) {
        ctx.findings.Add("no log line in the file of standard error without a fault");
    }
}

void RunToSyslog(Context& ctx) {
    const std::string path = ctx.dir() + "/log";
    const int daemon = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    if (daemon < 0 || bind(daemon, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ctx.findings.Add("no socket for the log lines");
        return;
    }
    const int big = 1 << 20;
    setsockopt(daemon, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    WriteConf(ctx, "[log]\nto = syslog\n");
    {
        // The machine has no syslog daemon: a socket in the run's folder plays it.
        interpose::SyslogAt here(path);
        interpose::Add(&here);
        RunSerialScript(ctx, SerialScript());
        interpose::Remove(&here);
    }
    const std::string prefix = "<14>kqSer[" + std::to_string(getpid()) + "]: ";
    int lines = 0;
    char buf[8192];
    ssize_t n = 0;
    while ((n = recv(daemon, buf, sizeof buf, 0)) > 0) {
        const std::string datagram(buf, static_cast<size_t>(n));
        ++lines;
        if (datagram.compare(0, prefix.size(), prefix) != 0 ||
            datagram.find('\n') != std::string::npos) {
            ctx.findings.Add("a datagram that is no log line: %.60s", datagram.c_str());
            break;
        }
    }
    close(daemon);
    if (lines == 0 && !ctx.Landed()) {
        ctx.findings.Add("no log line reached the daemon without a fault");
    }
}

// A datagram to the daemon is sent whole or not at all: a send cut short is
// no fault such a socket meets.
bool WholeDatagrams(interpose::Fn fn, const FaultKind& kind) {
    return kind.err != 0 || fn != interpose::Fn::send;
}

}  // namespace

const Scenario kLogFileScenario = {"serial, log and capture files", RunToFile, nullptr};
// Not run in the test process first: its route would keep a descriptor of
// the test process's standard error.
const Scenario kStderrScenario = {"serial, log to standard error", RunToStderr, nullptr, false};
const Scenario kStderrFileScenario = {"serial, log to standard error in a file", RunToStderrFile,
                                      nullptr, false};
const Scenario kSyslogScenario = {"serial, log to syslog", RunToSyslog, WholeDatagrams, false};

}  // namespace kqtest
