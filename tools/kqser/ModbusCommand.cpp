// SPDX-License-Identifier: MIT
// modbus: a master that reads and writes registers over RTU or TCP.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "Commands.h"
#include "FieldConfig.h"
#include "Format.h"
#include "Modbus.h"
#include "Stats.h"
#include "Sys.h"
#include "Tool.h"

namespace kqtool {

namespace {

struct Request {
    bool read = true;
    bool bits = false;       // coils or discrete inputs
    bool broadcast = false;  // RTU unit 0: sent, no reply awaited
    uint8_t unit = 1;
    uint16_t start = 0;
    Bytes pdu;
    std::string what;  // "read holding registers 0-3 of unit 1"
};

bool ParseRequest(const Common& common, const Args& args, bool tcp, Request* req, int* code) {
    const std::vector<std::string>& pos = args.positional;
    const std::string usage = " (kqser modbus --help)";
    if (pos.size() < 2 || (pos[1] != "read" && pos[1] != "write")) {
        *code = Complain(common, "needs DEF, then read or write" + usage, kExitUsage);
        return false;
    }
    req->read = pos[1] == "read";
    if ((req->read && pos.size() != 5) || (!req->read && pos.size() < 5)) {
        *code = Complain(common,
                         req->read ? "read needs UNIT ADDR COUNT" + usage
                                   : "write needs UNIT ADDR VALUE..." + usage,
                         kExitUsage);
        return false;
    }
    const int kinds = (args.Has("--input") ? 1 : 0) + (args.Has("--coils") ? 1 : 0) +
                      (args.Has("--discrete") ? 1 : 0);
    if (kinds > 1) {
        *code = Complain(common, "takes one of --input, --coils and --discrete", kExitUsage);
        return false;
    }
    if (!req->read && (args.Has("--input") || args.Has("--discrete"))) {
        *code =
            Complain(common, "input registers and discrete inputs cannot be written", kExitUsage);
        return false;
    }
    long long unit = 0, start = 0;
    std::string error;
    if (!ParseNumber(pos[2], 0, 255, &unit, &error) ||
        !ParseNumber(pos[3], 0, 65535, &start, &error)) {
        *code = Complain(common, error, kExitUsage);
        return false;
    }
    if (!tcp && unit > kMaxRtuUnit) {
        *code = Complain(common,
                         "unit " + std::to_string(unit) +
                             " is reserved on Modbus RTU: units are 1 to 247, 0 is broadcast",
                         kExitUsage);
        return false;
    }
    req->broadcast = !tcp && unit == 0;
    if (req->broadcast && req->read) {
        *code =
            Complain(common, "unit 0 is broadcast on Modbus RTU: it takes writes only", kExitUsage);
        return false;
    }
    req->unit = static_cast<uint8_t>(unit);
    req->start = static_cast<uint16_t>(start);
    req->bits = args.Has("--coils") || args.Has("--discrete");
    const std::string unitText =
        req->broadcast ? " to every unit (broadcast)" : " of unit " + std::to_string(unit);
    if (req->read) {
        const long long most = req->bits ? kMaxReadBits : kMaxReadCount;
        long long count = 0;
        if (!ParseNumber(pos[4], 1, most, &count, &error) || start + count > 65536) {
            *code = Complain(common, "COUNT: " + (error.empty() ? "past address 65535" : error),
                             kExitUsage);
            return false;
        }
        const uint8_t function = args.Has("--coils")      ? kReadCoils
                                 : args.Has("--discrete") ? kReadDiscrete
                                 : args.Has("--input")    ? kReadInput
                                                          : kReadHolding;
        req->pdu = ReadRequestPdu(function, req->start, static_cast<uint16_t>(count));
        const char* what = function == kReadCoils      ? "read coils "
                           : function == kReadDiscrete ? "read discrete inputs "
                           : function == kReadInput    ? "read input registers "
                                                       : "read holding registers ";
        req->what =
            what + std::to_string(start) + "-" + std::to_string(start + count - 1) + unitText;
        return true;
    }
    std::vector<uint16_t> values;
    for (size_t i = 4; i < pos.size(); ++i) {
        long long value = 0;
        if (!ParseNumber(pos[i], req->bits ? 0 : -32768, req->bits ? 1 : 65535, &value, &error)) {
            *code = Complain(common, "VALUE: " + error, kExitUsage);
            return false;
        }
        values.push_back(static_cast<uint16_t>(value));
    }
    const size_t most = req->bits ? kMaxWriteBits : kMaxWriteCount;
    if (values.size() > most || start + values.size() > 65536) {
        *code = Complain(common, "at most " + std::to_string(most) + " values, up to address 65535",
                         kExitUsage);
        return false;
    }
    req->pdu = req->bits ? WriteCoilsPdu(req->start, values) : WriteRequestPdu(req->start, values);
    const char* thing = req->bits ? (values.size() == 1 ? " coil at " : " coils from ")
                                  : (values.size() == 1 ? " register at " : " registers from ");
    req->what = "write " + std::to_string(values.size()) + thing + std::to_string(start) + unitText;
    return true;
}

// Reads one reply frame: a TCP frame may come in pieces, so it is read until
// its MBAP length is there.
int ReadFrame(ISerBase* port, const DefInfo& info, size_t expected, int timeoutMs, Bytes* frame,
              int* pieces) {
    // Exactly the expected length: a serial Read then ends with the reply
    // instead of waiting for silence (an exception reply is shorter and does).
    frame->assign(expected, 0);
    const bool tcp = info.portClass == PortClass::kNet;
    const int n =
        ReadReply(port, info, frame->data(), static_cast<int>(frame->size()), timeoutMs, pieces);
    if (n <= 0) return n;
    frame->resize(static_cast<size_t>(n));
    const double deadline = NowMs() + timeoutMs;
    while (tcp && g_stop == 0 && NowMs() < deadline &&
           (frame->size() < 7 || frame->size() < TcpFrameLength(*frame))) {
        uint8_t more[260];
        const int k = ReadReply(port, info, more, sizeof more, 100);
        if (k < 0) break;
        if (k > 0) {
            frame->insert(frame->end(), more, more + k);
            ++*pieces;
        }
    }
    return static_cast<int>(frame->size());
}

}  // namespace

int RunModbus(const Common& common, const Args& args) {
    int code = kExitOk;
    if (args.positional.empty()) {
        return Complain(common, "needs DEF, then read or write (kqser modbus --help)", kExitUsage);
    }
    std::string def = args.positional[0];
    DefInfo info;
    int type = 0;
    if (!ResolvePort(common, args, &def, &info, &type, &code)) return code;
    Request req;
    if (!ParseRequest(common, args, info.portClass == PortClass::kNet, &req, &code)) return code;
    long long timeoutMs = 0, repeat = 0, interval = 0;
    if (!NumberOption(common, args, "--timeout", 0, 3600000, 1000, &timeoutMs, &code) ||
        !NumberOption(common, args, "--repeat", 1, 1000000, 1, &repeat, &code) ||
        !NumberOption(common, args, "--interval", 0, 3600000, 0, &interval, &code)) {
        return code;
    }
    const bool tcp = info.portClass == PortClass::kNet;
    if (req.broadcast && repeat > 1) {
        return Complain(common, "a broadcast is sent once: no --repeat", kExitUsage);
    }
    if (info.portClass == PortClass::kSerial) {
        // The library's frame rule ends each reply with its last byte, an
        // exception's too; unless kqser.conf says otherwise for the port.
        const SerialTarget target = SerialTargetOf(def);
        const kq::ConfigFile file = kq::ReadConfigFile(kq::ConfigPath(std::getenv("KQSER_CONF")));
        bool set = false;
        for (const kq::ConfigEntry& entry :
             file.config.Describe(kq::SectionKind::kSerial, target.name)) {
            set = set || (std::string(entry.key->name) == "frame" &&
                          entry.source != kq::ConfigSource::kDefault);
        }
        if (!set && !SetPortKeys(common, target.name, {{"frame", "frame", "modbus_rtu"}}, &code)) {
            return code;
        }
        info.frameGapMs = LineGapMs(def);
        info.modbusFrame = ModbusFrameOn(def);
    }

    Session session(common);
    if (!session.Start(&code)) return code;
    ISerBase* port = OpenDefPort(&session, def, info, type, &code);
    if (port == nullptr) return code;
    Say(common, "-> %s on %s (%s)\n", req.what.c_str(), port->GetNote(),
        tcp ? "Modbus TCP" : "Modbus RTU");

    const bool progress = repeat > 1 && !common.quiet && isatty(STDERR_FILENO);
    const size_t replyPdu = ReplyPduLength(req.pdu);
    std::vector<double> latencies;
    int done = 0, noReply = 0, exceptions = 0, split = 0;
    ModbusReply last;
    bool haveLast = false;
    for (long long i = 0; i < repeat && g_stop == 0; ++i) {
        if (i > 0 && interval > 0) SleepMs(static_cast<double>(interval));
        if (g_stop != 0) break;
        const uint16_t transaction = static_cast<uint16_t>(i + 1);
        const Bytes frame =
            tcp ? TcpFrame(transaction, req.unit, req.pdu) : RtuFrame(req.unit, req.pdu);
        if (progress) std::fputs("\r\033[K", stderr);
        port->Purge();
        const long mark = LibraryLogCalls();
        const double start = NowMs();
        if (port->Write(frame.data(), static_cast<int>(frame.size())) !=
            static_cast<int>(frame.size())) {
            code =
                FailWithCause(common, std::string("write to ") + port->GetNote() + " failed", mark);
            break;
        }
        ++done;
        if (repeat == 1) {
            Say(common, "%s", HexAsciiDump(frame.data(), frame.size(), "   ").c_str());
        }
        if (req.broadcast) {
            // No unit answers a broadcast: the frame on the line is the end.
            DrainFd(port->GetHandle());
            std::fprintf(Out(), "%s: sent, no reply expected\n", req.what.c_str());
            break;
        }
        Bytes reply;
        int pieces = 0;
        const int n = ReadFrame(port, info, (tcp ? 7 : 3) + replyPdu, static_cast<int>(timeoutMs),
                                &reply, &pieces);
        const double latency = NowMs() - start;
        std::string why;
        Bytes pdu;
        ModbusReply parsed;
        const bool ok = n > 0 &&
                        (tcp ? TcpReplyPdu(reply, transaction, req.unit, &pdu, &why)
                             : RtuReplyPdu(reply, req.unit, &pdu, &why)) &&
                        ParseReplyPdu(req.pdu, pdu, &parsed, &why);
        if (n > 0 && repeat == 1) {
            Say(common, "<- %d bytes after %s%s\n%s", n, MicrosText(latency).c_str(),
                pieces > 1 ? (" in " + std::to_string(pieces) + " pieces").c_str() : "",
                HexAsciiDump(reply.data(), reply.size(), "   ").c_str());
        }
        if (!ok) {
            ++noReply;
            if (repeat == 1) {
                Complain(common,
                         n > 0 ? "not a valid reply: " + why
                               : "no reply within " + std::to_string(timeoutMs) + " ms",
                         0);
            }
        } else {
            latencies.push_back(latency);
            if (pieces > 1) ++split;
            last = parsed;
            haveLast = true;
            if (parsed.exception) {
                ++exceptions;
                if (repeat == 1) {
                    Complain(common,
                             "exception reply: " + ExceptionName(parsed.code) + " (code " +
                                 std::to_string(parsed.code) + ")",
                             0);
                }
            }
        }
        if (progress) {
            std::fprintf(
                stderr, "\r%s\033[K",
                FormatProgress(done, static_cast<int>(repeat), noReply, latency, ok).c_str());
        }
        if (n == kReadFailed || n == kReadPeerClosed) {
            code = FailWithCause(
                common,
                std::string("port ") + port->GetNote() +
                    (n == kReadFailed ? (tcp ? " failed: the connection was reset" : " failed")
                                      : ": the peer closed the connection"),
                mark);
            break;
        }
    }
    if (progress) std::fputs("\n", stderr);
    if (haveLast && !last.exception) {
        if (req.read && req.bits) {
            std::fputs(FormatBits(req.start, last.values).c_str(), Out());
        } else if (req.read) {
            std::fputs(
                FormatRegisters(req.start, last.values, args.Has("--pairs"), args.Has("--swap"))
                    .c_str(),
                Out());
        } else {
            std::fprintf(Out(), "%s: done\n", req.what.c_str());
        }
    }
    if (g_stop != 0) Report("stopped after %d exchanges\n", done);
    if (repeat > 1) {
        Report("exchanges %d  replies %d  no reply %d  exceptions %d%s\n%s\n", done, done - noReply,
               noReply, exceptions,
               split > 0 ? ("  in pieces " + std::to_string(split)).c_str() : "",
               FormatLatencyStats(ComputeLatencyStats(latencies)).c_str());
    }
    std::fflush(Out());
    if (code != kExitOk) return code;
    if (noReply > 0) return kExitNoReply;
    return exceptions > 0 ? kExitException : kExitOk;
}

}  // namespace kqtool
