// SPDX-License-Identifier: MIT
// term: keyboard to the port, port to the screen.
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "CaptureFile.h"
#include "Commands.h"
#include "FieldConfig.h"
#include "LineEnds.h"
#include "Sys.h"

namespace kqtool {

namespace {

const unsigned char kLeaveKey = 0x1D;  // Ctrl-]

// The terminal settings to put back; restored from normal returns, from
// exit() and from the signal handler.
termios g_saved;
volatile std::sig_atomic_t g_rawActive = 0;

void RestoreTerminal() {
    if (g_rawActive != 0) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_saved);
        g_rawActive = 0;
    }
}

// Keys go to the port one by one: no line editing, no echo, no signals
// (Ctrl-C reaches the device). Output processing stays, so the library's
// log lines and the device's "\n" still start a fresh line.
bool EnterRawMode() {
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &g_saved) != 0) return false;
    termios raw = g_saved;
    raw.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                          ICRNL | IXON | IXOFF);
    raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    static bool hooked = false;
    if (!hooked) {
        std::atexit(RestoreTerminal);
        hooked = true;
    }
    if (tcsetattr(STDIN_FILENO, TCSAFLUSH, &raw) != 0) return false;
    g_rawActive = 1;
    return true;
}

struct RawModeGuard {
    ~RawModeGuard() { RestoreTerminal(); }
};

void ShowPortBytes(const unsigned char* buf, int n) {
    std::fwrite(buf, 1, static_cast<size_t>(n), Out());
    std::fflush(Out());
}

// The session log: one capture record per transfer.
class SessionLog {
public:
    bool Open(const std::string& path, std::string* error) {
        file_ = std::fopen(path.c_str(), "w");
        if (file_ == nullptr) {
            *error = path + ": " + std::strerror(errno);
            return false;
        }
        std::fprintf(file_, "%s\n", kCaptureHeader);
        return true;
    }
    ~SessionLog() {
        if (file_ != nullptr) std::fclose(file_);
    }
    void Record(ISerBase* port, bool tx, const unsigned char* buf, int n) {
        if (file_ == nullptr) return;
        CaptureRecord record;
        WallClock(&record.seconds, &record.micros);
        record.tx = tx;
        record.type = static_cast<uint32_t>(port->GetType());
        record.count = n;
        if (n > 0) record.bytes.assign(buf, buf + n);
        const char* note = port->GetNote();
        record.note = note != nullptr ? note : "";
        std::fprintf(file_, "%s\n", FormatCaptureRecord(record).c_str());
        std::fflush(file_);
    }

private:
    FILE* file_ = nullptr;
};

}  // namespace

int RunTerm(const Common& common, const Args& args) {
    int code = kExitOk;
    if (args.positional.size() != 1) {
        return Complain(common, "needs exactly one DEF (kqser term --help)", kExitUsage);
    }
    std::string def = args.positional[0];
    DefInfo info;
    int type = 0;
    if (!ResolvePort(common, args, &def, &info, &type, &code)) return code;
    LineEndMapper mapper;
    if (args.Has("--map") && !mapper.SetMode(args.Get("--map"))) {
        return Complain(common,
                        "--map: crlf, lf or cr, not '" + args.Get("--map").substr(0, 20) + "'",
                        kExitUsage);
    }
    const bool echo = args.Has("--echo");
    SessionLog log;
    std::string error;
    if (args.Has("--log") && !log.Open(args.Get("--log"), &error)) {
        return Complain(common, "--log: " + error, kExitFailed);
    }

    Session session(common);
    if (!session.Start(&code)) return code;
    ISerBase* port = OpenDefPort(&session, def, info, type, &code);
    if (port == nullptr) return code;
    ShowLine(common, port, info, def);

    const bool interactive = isatty(STDIN_FILENO) != 0;
    Say(common, "connected to %s; Ctrl-] leaves; Enter sends %s; local echo %s%s%s\n",
        port->GetNote(), args.Has("--map") ? args.Get("--map").c_str() : "the key (CR)",
        echo ? "on" : "off", args.Has("--log") ? "; log " : "",
        args.Has("--log") ? args.Get("--log").c_str() : "");

    RawModeGuard guard;
    if (interactive && !EnterRawMode()) {
        return Complain(common, "cannot switch the terminal to raw mode", kExitFailed);
    }

    const int handle = port->GetHandle();  // serial: poll it; network: -1
    std::vector<unsigned char> buf(4096);
    bool inputOpen = true;
    double lingerUntil = 0;  // after end of input, show late answers for a while
    double lingerCap = 0;
    std::string end = "left";
    while (g_stop == 0) {
        pollfd fds[2];
        int nfds = 0;
        if (inputOpen) fds[nfds++] = {STDIN_FILENO, POLLIN, 0};
        const int portSlot = nfds;
        if (handle >= 0) fds[nfds++] = {handle, POLLIN, 0};
        // Without a descriptor to wait on, the port is read with a short
        // time-out in turn with the keyboard.
        const int wait = handle >= 0 ? 100 : 0;
        const int ready = nfds > 0 ? poll(fds, static_cast<nfds_t>(nfds), wait) : 0;
        if (ready < 0 && errno != EINTR) {
            end = "poll failed";
            code = kExitFailed;
            break;
        }
        if (inputOpen && ready > 0 && (fds[0].revents & (POLLIN | POLLHUP)) != 0) {
            unsigned char keys[256];
            const ssize_t k = read(STDIN_FILENO, keys, sizeof keys);
            if (k <= 0) {
                inputOpen = false;
                lingerUntil = NowMs() + 1000;
                lingerCap = NowMs() + 10000;
            } else {
                ssize_t send = 0;
                bool leave = false;
                while (send < k && !leave) {
                    if (keys[send] == kLeaveKey) {
                        leave = true;
                    } else {
                        ++send;
                    }
                }
                const std::string out = mapper.Map(
                    std::string(reinterpret_cast<char*>(keys), static_cast<size_t>(send)));
                const unsigned char* bytes = reinterpret_cast<const unsigned char*>(out.data());
                const int sent = out.empty() ? 0 : port->Write(bytes, static_cast<int>(out.size()));
                if (!out.empty()) log.Record(port, true, bytes, sent);
                if (sent < 0) {
                    end = "write to the port failed";
                    code = kExitFailed;
                    break;
                }
                if (echo && sent > 0) ShowPortBytes(bytes, sent);
                if (leave) break;
            }
        }
        int n = 0;
        if (handle >= 0) {
            if (ready > 0 && (fds[portSlot].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
                end = "the line hung up";
                code = kExitFailed;
                break;
            }
            if (ready > 0 && (fds[portSlot].revents & POLLIN) != 0) {
                // The descriptor itself: the port's Read drops a 0x00 that
                // starts what it returns.
                int why = 0;
                const ssize_t got = ReadFd(handle, buf.data(), buf.size(), &why);
                if (got == -1) {
                    end = "reading the line failed";
                    code = kExitFailed;
                    break;
                }
                n = got > 0 ? static_cast<int>(got) : 0;
            }
        } else {
            n = port->Read(buf.data(), static_cast<int>(buf.size()), 100);
            if (n == 0 && IsStreamPort(info)) {
                end = "the peer closed the connection";
                break;
            }
            if (n < 0 && g_stop == 0 && !port->IsOpened()) {
                end = "the connection failed";
                code = kExitFailed;
                break;
            }
        }
        if (n > 0) {
            log.Record(port, false, buf.data(), n);
            ShowPortBytes(buf.data(), n);
            if (!inputOpen) lingerUntil = NowMs() + 1000;
        }
        if (!inputOpen && (NowMs() >= lingerUntil || NowMs() >= lingerCap)) {
            end = "end of input";
            break;
        }
    }
    RestoreTerminal();
    std::fflush(Out());
    Say(common, "\r\nkqser term: %s\n", end.c_str());
    return code;
}

void RestoreTerminalFromSignal() {
    RestoreTerminal();
}

}  // namespace kqtool
