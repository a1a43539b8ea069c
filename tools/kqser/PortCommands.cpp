// SPDX-License-Identifier: MIT
// send and listen, and what the port commands share.
#include <poll.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "Commands.h"
#include "FieldConfig.h"
#include "Format.h"
#include "HexArg.h"
#include "LineSpeed_p.h"
#include "Modbus.h"
#include "ModbusFrame_p.h"
#include "SerialPath.h"
#include "Stats.h"
#include "Sys.h"
#include "SysLine_p.h"

namespace kqtool {

namespace {

std::string TypeText(int type) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(type));
    return text;
}

std::string NoteOf(ISerBase* port) {
    const char* note = port->GetNote();
    return note != nullptr ? note : "";
}

std::string TimeOfDay() {
    timeval now;
    gettimeofday(&now, nullptr);
    tm local;
    localtime_r(&now.tv_sec, &local);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03ld", local.tm_hour, local.tm_min,
                  local.tm_sec, static_cast<long>(now.tv_usec / 1000));
    return text;
}

}  // namespace

bool NumberOption(const Common& common, const Args& args, const std::string& name, long long min,
                  long long max, long long fallback, long long* value, int* code) {
    if (!args.Has(name)) {
        *value = fallback;
        return true;
    }
    std::string error;
    if (!ParseNumber(args.Get(name), min, max, value, &error)) {
        *code = Complain(common, name + ": " + error, kExitUsage);
        return false;
    }
    return true;
}

bool ResolvePort(const Common& common, const Args& args, std::string* mapped, DefInfo* info,
                 int* type, int* code) {
    std::string error;
    LineArg line;
    if (!MapLineArg(*mapped, &line, &error)) {
        *code = Complain(common, error, kExitUsage);
        return false;
    }
    const std::string& def = line.def;
    *mapped = def;
    if (!ClassifyDef(def, info, &error)) {
        *code = Complain(common, error, kExitUsage);
        return false;
    }
    if (!line.devicePath.empty()) {
        // The library opens the path itself when [serial NAME] says
        // device = PATH: the user's file with that section added, in memory.
        const kq::ConfigFile file = kq::ReadConfigFile(kq::ConfigPath(std::getenv("KQSER_CONF")));
        const std::string text = (file.read ? file.text : std::string()) + "\n[serial " +
                                 line.name + "]\ndevice = " + line.devicePath + "\n";
        std::string path;
        if (MemoryFile(text, &path, &error) < 0) {
            *code = Complain(common, error, kExitFailed);
            return false;
        }
        setenv("KQSER_CONF", path.c_str(), 1);
        info->path = line.devicePath;
    }
    long long value = 0;
    if (!NumberOption(common, args, "--type", 0, 0x7FFFFFFF, info->typeCode, &value, code)) {
        return false;
    }
    *type = static_cast<int>(value);
    if (info->portClass == PortClass::kSerial) {
        info->frameGapMs = LineGapMs(def);
        info->modbusFrame = ModbusFrameOn(def);
    }
    return true;
}

bool IsStreamPort(const DefInfo& info) {
    if (info.portClass != PortClass::kNet || info.host.empty()) return false;
    const char first = info.host[0];
    return first != 'u' && first != 'U' && first != 'b' && first != 'B';
}

ISerBase* OpenDefPort(Session* session, const std::string& def, const DefInfo& info, int type,
                      int* code) {
    std::string hint;
    if (info.portClass == PortClass::kSerial) {
        // The library opens "/dev/" + the text before the colon; name the file
        // when it is plainly missing or out of reach.
        const std::string path =
            info.path.empty() ? "/dev/" + def.substr(0, def.find(':')) : info.path;
        struct stat st;
        if (stat(path.c_str(), &st) != 0 || access(path.c_str(), R_OK | W_OK) != 0) {
            hint = path + ": " + std::strerror(errno);
        }
    }
    return session->OpenPort(def, type, code, info.portClass == PortClass::kNet, hint);
}

void ShowLine(const Common& common, ISerBase* port, const DefInfo& info, const std::string& def) {
    if (info.portClass != PortClass::kSerial) return;
    const SerialTarget target = SerialTargetOf(def);
    const kq::ConfigFile file = kq::ReadConfigFile(kq::ConfigPath(std::getenv("KQSER_CONF")));
    for (const std::string& warning :
         DefWarnings(target.fields, file.config.Serial(target.name).customBaud)) {
        std::fprintf(stderr, "kqser %s: warning: %s\n", common.command.c_str(), warning.c_str());
    }
    termios tio;
    const int fd = port->GetHandle();
    if (fd < 0 || tcgetattr(fd, &tio) != 0) return;
    int exact = 0;
    kq::ReadLineSpeed(fd, &exact);
    Say(common, "line: %s\n", LineText(tio, exact).c_str());
}

bool LineHungUp(ISerBase* port) {
    // The library's own rule, as its Read applies it.
    const int fd = port->GetHandle();
    return fd >= 0 && kq::sys::HungUp(fd);
}

bool ModbusFrameOn(const std::string& def) {
    const kq::ConfigFile file = kq::ReadConfigFile(kq::ConfigPath(std::getenv("KQSER_CONF")));
    return file.config.Serial(SerialTargetOf(def).name).frame == kq::FrameRule::kModbusRtu;
}

double LineGapMs(const std::string& def) {
    const kq::ConfigFile file = kq::ReadConfigFile(kq::ConfigPath(std::getenv("KQSER_CONF")));
    const kq::GapChoice gap = PlanOpen(file.config, SerialTargetOf(def), "/sys", "/dev").gap;
    // Without a gap a reply ends as the library's Read ends one: 0.2 s of silence.
    return gap.ns > 0 ? static_cast<double>(gap.ns) / 1e6 : 200.0;
}

int ReadReply(ISerBase* port, const DefInfo& info, unsigned char* buf, int len, int timeoutMs,
              int* pieces) {
    int ignored = 0;
    int& reads = pieces != nullptr ? *pieces : ignored;
    reads = 0;
    if (info.portClass == PortClass::kNet) {
        const int wait = timeoutMs > 0 ? timeoutMs : 1;
        const double start = NowMs();
        const int n = port->Read(buf, len, wait);
        if (n > 0) {
            reads = 1;
            return n;
        }
        if (n == 0 && IsStreamPort(info)) return kReadPeerClosed;
        if (n < 0 && g_stop != 0) return kReadNothing;
        // A time-out takes the whole wait; a Read that fails sooner met an
        // error (a reset), which must not pass for silence although
        // IsOpened connects again at once.
        if (n < 0 && IsStreamPort(info) && NowMs() - start < wait / 2.0) return kReadFailed;
        return (n < 0 && !port->IsOpened()) ? kReadFailed : kReadNothing;
    }
    // The line's own descriptor, as bridge reads it: the port's Read drops a
    // 0x00 that starts what it returns, and a bench tool shows every byte.
    const int fd = port->GetHandle();
    if (fd < 0) return port->Read(buf, len, 0);
    const double gapMs = info.frameGapMs > 0 ? info.frameGapMs : 200.0;
    double deadline = NowMs() + timeoutMs;
    int have = 0;
    while (g_stop == 0 && have < len) {
        // The library's frame rule: a whole Modbus RTU reply ends the read,
        // and no byte past it is taken off the line.
        size_t want = static_cast<size_t>(len - have);
        if (info.modbusFrame) {
            const kq::FrameCut cut =
                kq::CutModbusRtu(buf, static_cast<size_t>(have), kq::ModbusSide::kReply);
            if (cut.kind == kq::FrameCut::kComplete) break;
            if (cut.kind == kq::FrameCut::kNeedMore && cut.length > static_cast<size_t>(have)) {
                want = std::min(want, cut.length - static_cast<size_t>(have));
            }
        }
        const double left = deadline - NowMs();
        if (left <= 0 && have == 0) break;
        // Waits in turns short enough for Ctrl-C.
        const int slice = have > 0     ? static_cast<int>(std::ceil(gapMs))
                          : left > 200 ? 200
                          : left > 0   ? static_cast<int>(std::ceil(left))
                                       : 0;
        pollfd pfd = {fd, POLLIN, 0};
        const int ready = PollFds(&pfd, 1, slice);
        if (ready <= 0) {
            if (have > 0) break;  // the gap: the reply is whole
            continue;
        }
        if ((pfd.revents & POLLIN) == 0 && (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            return have > 0 ? have : kReadFailed;
        }
        int why = 0;
        const ssize_t got = ReadFd(fd, buf + have, want, &why);
        if (got == -1 || (got == 0 && LineHungUp(port))) return have > 0 ? have : kReadFailed;
        if (got > 0) {
            have += static_cast<int>(got);
            reads = 1;  // a line delivers a reply byte by byte: one piece while it keeps coming
        }
    }
    return have;
}

int RunSend(const Common& common, const Args& args) {
    int code = kExitOk;
    const bool text = args.Has("--text");
    if (args.positional.empty() || (!text && args.positional.size() < 2)) {
        return Complain(common, "needs DEF and HEX bytes (kqser send --help)", kExitUsage);
    }
    if (text && args.positional.size() > 1) {
        return Complain(common, "takes either HEX or --text, not both", kExitUsage);
    }
    std::string def = args.positional[0];
    DefInfo info;
    int type = 0;
    if (!ResolvePort(common, args, &def, &info, &type, &code)) return code;
    std::vector<uint8_t> request;
    std::string error;
    if (text && !ParseEscapedText(args.Get("--text"), &request, &error)) {
        return Complain(common, "--text: " + error, kExitUsage);
    }
    for (size_t i = 1; i < args.positional.size(); ++i) {
        if (!ParseHexBytes(args.positional[i], &request, &error)) {
            return Complain(common, error, kExitUsage);
        }
    }
    if (request.empty()) return Complain(common, "no bytes to send", kExitUsage);
    if (args.Has("--crc")) {
        if (args.Get("--crc") != "modbus") {
            return Complain(common, "--crc: only 'modbus' is known", kExitUsage);
        }
        const uint16_t crc = ModbusCrc16(request.data(), request.size());
        request.push_back(static_cast<uint8_t>(crc & 0xFF));
        request.push_back(static_cast<uint8_t>(crc >> 8));
    }
    long long readLen = 0, timeoutMs = 0, repeat = 0, interval = 0;
    if (!NumberOption(common, args, "--read", 0, 65536, 256, &readLen, &code) ||
        !NumberOption(common, args, "--timeout", 0, 3600000, 1000, &timeoutMs, &code) ||
        !NumberOption(common, args, "--repeat", 1, 1000000, 1, &repeat, &code) ||
        !NumberOption(common, args, "--interval", 0, 3600000, 0, &interval, &code)) {
        return code;
    }

    Session session(common);
    if (!session.Start(&code)) return code;
    ISerBase* port = OpenDefPort(&session, def, info, type, &code);
    if (port == nullptr) return code;
    ShowLine(common, port, info, def);

    Say(common, "-> %zu bytes to %s (type %s)\n%s", request.size(), NoteOf(port).c_str(),
        TypeText(port->GetType()).c_str(),
        HexAsciiDump(request.data(), request.size(), "   ").c_str());

    const bool progress = repeat > 1 && !common.quiet && isatty(STDERR_FILENO);
    const bool raw = args.Has("--raw");
    // A length given is the reply's length: a network reply in pieces is
    // read on until it is whole.
    const bool wholeLength = args.Has("--read");
    std::vector<unsigned char> reply(static_cast<size_t>(readLen > 0 ? readLen : 1));
    std::vector<double> latencies;
    int done = 0, noReply = 0, split = 0;
    std::vector<unsigned char> lastReply;  // a later Read may scribble on the buffer
    for (long long i = 0; i < repeat && g_stop == 0; ++i) {
        if (i > 0 && interval > 0) SleepMs(static_cast<double>(interval));
        if (g_stop != 0) break;
        const long mark = LibraryLogCalls();
        if (!port->IsOpened()) {
            code = FailWithCause(common, "port " + NoteOf(port) + " is closed and did not reopen",
                                 mark);
            break;
        }
        // The library may print lines of its own during the exchange: let
        // them start on a clean line; the progress line follows them.
        if (progress) std::fputs("\r\033[K", stderr);
        if (readLen > 0) port->Purge();
        const double start = NowMs();
        const int written = port->Write(request.data(), static_cast<int>(request.size()));
        if (written != static_cast<int>(request.size())) {
            code =
                FailWithCause(common,
                              "write to " + NoteOf(port) + " failed (" + std::to_string(written) +
                                  " of " + std::to_string(request.size()) + " bytes)",
                              mark);
            break;
        }
        ++done;
        if (readLen == 0) continue;
        int pieces = 0;
        int n = ReadReply(port, info, reply.data(), static_cast<int>(readLen),
                          static_cast<int>(timeoutMs), &pieces);
        while (wholeLength && info.portClass == PortClass::kNet && n > 0 && n < readLen &&
               g_stop == 0) {
            const double left = start + static_cast<double>(timeoutMs) - NowMs();
            if (left <= 0) break;
            int more = 0;
            const int k = ReadReply(port, info, reply.data() + n, static_cast<int>(readLen - n),
                                    static_cast<int>(std::min(left, 200.0)), &more);
            if (k <= 0) break;
            n += k;
            pieces += more;
        }
        const double latency = NowMs() - start;
        if (n > 0) {
            latencies.push_back(latency);
            if (pieces > 1) ++split;
            lastReply.assign(reply.begin(), reply.begin() + n);
            if (raw) {
                std::fwrite(reply.data(), 1, static_cast<size_t>(n), Out());
            } else if (repeat == 1) {
                Say(common, "<- %d bytes after %s%s\n", n, MicrosText(latency).c_str(),
                    pieces > 1 ? (" in " + std::to_string(pieces) + " pieces").c_str() : "");
                std::fputs(HexAsciiDump(reply.data(), static_cast<size_t>(n), "   ").c_str(),
                           Out());
            }
        } else {
            ++noReply;
            if (repeat == 1) {
                Say(common, "<- no reply within %lld ms%s\n", timeoutMs,
                    n == kReadPeerClosed ? " (the peer closed the connection)"
                    : n == kReadFailed   ? " (the port failed)"
                                         : "");
            }
        }
        std::fflush(Out());
        if (progress) {
            std::fprintf(
                stderr, "\r%s\033[K",
                FormatProgress(done, static_cast<int>(repeat), noReply, latency, n > 0).c_str());
        }
        if (n == kReadPeerClosed) {
            Say(common, "the peer closed the connection\n");
            break;
        }
        if (n == kReadFailed) {
            code = FailWithCause(common, "port " + NoteOf(port) + " failed", mark);
            break;
        }
    }
    if (progress) std::fputs("\n", stderr);
    if (g_stop != 0) Report("stopped after %d exchanges\n", done);
    if (repeat > 1 && readLen > 0) {
        if (!lastReply.empty() && !raw) {
            std::fprintf(Out(), "<- last reply, %zu bytes\n", lastReply.size());
            std::fputs(HexAsciiDump(lastReply.data(), lastReply.size(), "   ").c_str(), Out());
        }
        Report("exchanges %d  replies %d  no reply %d%s\n%s\n", done, done - noReply, noReply,
               split > 0 ? ("  in pieces " + std::to_string(split)).c_str() : "",
               FormatLatencyStats(ComputeLatencyStats(latencies)).c_str());
    } else if (repeat > 1) {
        Report("exchanges %d (write only)\n", done);
    }
    std::fflush(Out());
    if (code == kExitOk && noReply > 0) code = kExitNoReply;
    return code;
}

bool SetPortKeys(const Common& common, const std::string& name, const std::vector<PortKey>& keys,
                 int* code) {
    kq::ConfigFile file = kq::ReadConfigFile(kq::ConfigPath(std::getenv("KQSER_CONF")));
    std::string text, path, error;
    for (const PortKey& key : keys) {
        if (!TextWithSerialKey(file, name, key.key, key.value, &text, &error)) {
            *code = Complain(common, key.option + " " + error, kExitUsage);
            return false;
        }
        file.read = true;
        file.text = text;
    }
    if (MemoryFile(text, &path, &error) < 0) {
        *code = Complain(common, error, kExitFailed);
        return false;
    }
    setenv("KQSER_CONF", path.c_str(), 1);
    return true;
}

// One line per Modbus RTU frame in what a Read gave (a reply or a request:
// a listener may sit on either side), then one for bytes that make none.
std::string ModbusFrameLines(const unsigned char* bytes, size_t n) {
    std::string lines;
    for (size_t at = 0; at < n;) {
        bool request = false;
        kq::FrameCut cut = kq::CutModbusRtu(bytes + at, n - at, kq::ModbusSide::kReply);
        if (cut.kind != kq::FrameCut::kComplete) {
            cut = kq::CutModbusRtu(bytes + at, n - at, kq::ModbusSide::kRequest);
            request = true;
        }
        const size_t length = cut.kind == kq::FrameCut::kComplete ? cut.length : n - at;
        const Bytes frame(bytes + at, bytes + at + length);
        lines += std::string("   modbus ") +
                 (cut.kind == kq::FrameCut::kComplete ? (request ? "request " : "reply ")
                                                      : "no whole frame: ") +
                 DescribeRtuFrame(frame, request) + "\n";
        at += length;
    }
    return lines;
}

int RunListen(const Common& common, const Args& args) {
    int code = kExitOk;
    if (args.positional.size() != 1) {
        return Complain(common, "needs exactly one DEF (kqser listen --help)", kExitUsage);
    }
    std::string def = args.positional[0];
    DefInfo info;
    int type = 0;
    if (!ResolvePort(common, args, &def, &info, &type, &code)) return code;
    long long count = 0, timeoutMs = 0;
    if (!NumberOption(common, args, "--count", 0, 1000000000, 0, &count, &code) ||
        !NumberOption(common, args, "--timeout", 0, 86400000, 0, &timeoutMs, &code)) {
        return code;
    }
    const bool serial = info.portClass == PortClass::kSerial;
    const SerialTarget target = SerialTargetOf(def);
    std::vector<PortKey> keys;
    if (args.Has("--gap")) {
        if (!serial) return Complain(common, "--gap applies to serial ports only", kExitUsage);
        keys.push_back({"--gap", "frame_gap", args.Get("--gap")});
    }
    if (args.Has("--frame")) {
        if (!serial) return Complain(common, "--frame applies to serial ports only", kExitUsage);
        if (args.Get("--frame") != "modbus") {
            return Complain(common,
                            "--frame '" + args.Get("--frame").substr(0, 40) + "': not modbus",
                            kExitUsage);
        }
        keys.push_back({"--frame", "frame", "modbus_rtu"});
    }
    if (!keys.empty() && !SetPortKeys(common, target.name, keys, &code)) return code;
    std::string framing;
    if (serial) {
        const kq::ConfigFile file = kq::ReadConfigFile(kq::ConfigPath(std::getenv("KQSER_CONF")));
        framing = ", frame gap " + GapText(PlanOpen(file.config, target, "/sys", "/dev").gap);
        if (file.config.Serial(target.name).frame == kq::FrameRule::kModbusRtu) {
            framing += ", Modbus RTU replies end with their last byte";
        }
        info.frameGapMs = LineGapMs(def);
        info.modbusFrame = ModbusFrameOn(def);
    }
    const bool modbus = args.Has("--frame");
    const bool raw = args.Has("--raw");

    Session session(common);
    if (!session.Start(&code)) return code;
    ISerBase* port = OpenDefPort(&session, def, info, type, &code);
    if (port == nullptr) return code;
    ShowLine(common, port, info, def);

    Say(common, "listening on %s (type %s)%s; Ctrl-C stops\n", NoteOf(port).c_str(),
        TypeText(port->GetType()).c_str(), framing.c_str());
    const double start = NowMs();
    std::vector<unsigned char> buf(4096);
    long long frames = 0, bytes = 0;
    std::string end = "stopped";
    while (g_stop == 0) {
        if (count > 0 && frames >= count) {
            end = "count reached";
            break;
        }
        double slice = 500;
        if (timeoutMs > 0) {
            const double left = static_cast<double>(timeoutMs) - (NowMs() - start);
            if (left <= 0) {
                end = "time-out";
                break;
            }
            if (left < slice) slice = left;
        }
        const long mark = LibraryLogCalls();
        const int n = ReadReply(port, info, buf.data(), static_cast<int>(buf.size()),
                                static_cast<int>(slice));
        if (n == kReadPeerClosed) {
            end = "the peer closed the connection";
            break;
        }
        if (n == kReadFailed) {
            if (g_stop != 0) break;
            end = "the port failed";
            code = FailWithCause(
                common,
                "port " + NoteOf(port) + " failed" +
                    (info.portClass == PortClass::kSerial ? ": the line hung up" : ""),
                mark);
            break;
        }
        if (n == 0) continue;
        ++frames;
        bytes += n;
        if (raw) {
            std::fwrite(buf.data(), 1, static_cast<size_t>(n), Out());
        } else {
            std::fprintf(Out(), "%s +%.3f s  %d bytes\n", TimeOfDay().c_str(),
                         (NowMs() - start) / 1000.0, n);
            std::fputs(HexAsciiDump(buf.data(), static_cast<size_t>(n), "   ").c_str(), Out());
            if (modbus) {
                std::fputs(ModbusFrameLines(buf.data(), static_cast<size_t>(n)).c_str(), Out());
            }
        }
        std::fflush(Out());
        if (std::ferror(Out())) {
            code = kExitFailed;
            break;
        }
    }
    std::fflush(Out());
    Report("%lld frames, %lld bytes (%s)\n", frames, bytes, end.c_str());
    if (code == kExitOk && count > 0 && frames < count) code = kExitNoReply;
    return code;
}

}  // namespace kqtool
