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

namespace kqtool {

namespace {

struct Request {
    bool read = true;
    uint8_t unit = 1;
    uint16_t start = 0;
    Bytes pdu;
    std::string what;  // "read holding registers 0-3 of unit 1"
};

bool ParseRequest(const Common& common, const Args& args, Request* req, int* code) {
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
    long long unit = 0, start = 0;
    std::string error;
    if (!ParseNumber(pos[2], 0, 255, &unit, &error) ||
        !ParseNumber(pos[3], 0, 65535, &start, &error)) {
        *code = Complain(common, error, kExitUsage);
        return false;
    }
    req->unit = static_cast<uint8_t>(unit);
    req->start = static_cast<uint16_t>(start);
    const std::string unitText = " of unit " + std::to_string(unit);
    if (req->read) {
        long long count = 0;
        if (!ParseNumber(pos[4], 1, kMaxReadCount, &count, &error) || start + count > 65536) {
            *code = Complain(common, "COUNT: " + (error.empty() ? "past register 65535" : error),
                             kExitUsage);
            return false;
        }
        const bool input = args.Has("--input");
        req->pdu = ReadRequestPdu(input ? kReadInput : kReadHolding, req->start,
                                  static_cast<uint16_t>(count));
        req->what = std::string(input ? "read input registers " : "read holding registers ") +
                    std::to_string(start) + "-" + std::to_string(start + count - 1) + unitText;
        return true;
    }
    std::vector<uint16_t> values;
    for (size_t i = 4; i < pos.size(); ++i) {
        long long value = 0;
        if (!ParseNumber(pos[i], -32768, 65535, &value, &error)) {
            *code = Complain(common, "VALUE: " + error, kExitUsage);
            return false;
        }
        values.push_back(static_cast<uint16_t>(value));
    }
    if (values.size() > kMaxWriteCount || start + values.size() > 65536) {
        *code = Complain(common, "at most 123 values, up to register 65535", kExitUsage);
        return false;
    }
    req->pdu = WriteRequestPdu(req->start, values);
    req->what = "write " + std::to_string(values.size()) +
                (values.size() == 1 ? " register at " : " registers from ") +
                std::to_string(start) + unitText;
    return true;
}

// Reads one reply frame: a TCP frame may come in pieces, so it is read until
// its MBAP length is there.
int ReadFrame(ISerBase* port, const DefInfo& info, size_t expected, int timeoutMs, Bytes* frame) {
    // Exactly the expected length: a serial Read then ends with the reply
    // instead of waiting for silence (an exception reply is shorter and does).
    frame->assign(expected, 0);
    const bool tcp = info.portClass == PortClass::kNet;
    const int n = ReadReply(port, info, frame->data(), static_cast<int>(frame->size()), timeoutMs);
    if (n <= 0) return n;
    frame->resize(static_cast<size_t>(n));
    const double deadline = NowMs() + timeoutMs;
    while (tcp && g_stop == 0 && NowMs() < deadline &&
           (frame->size() < 7 || frame->size() < TcpFrameLength(*frame))) {
        uint8_t more[260];
        const int k = ReadReply(port, info, more, sizeof more, 100);
        if (k < 0) break;
        if (k > 0) frame->insert(frame->end(), more, more + k);
    }
    return static_cast<int>(frame->size());
}

}  // namespace

int RunModbus(const Common& common, const Args& args) {
    int code = kExitOk;
    if (args.positional.empty()) {
        return Complain(common, "needs DEF, then read or write (kqser modbus --help)", kExitUsage);
    }
    const std::string def = PortDef(args.positional[0]);
    DefInfo info;
    int type = 0;
    if (!ResolvePort(common, args, def, &info, &type, &code)) return code;
    Request req;
    if (!ParseRequest(common, args, &req, &code)) return code;
    long long timeoutMs = 0, repeat = 0, interval = 0;
    if (!NumberOption(common, args, "--timeout", 0, 3600000, 1000, &timeoutMs, &code) ||
        !NumberOption(common, args, "--repeat", 1, 1000000, 1, &repeat, &code) ||
        !NumberOption(common, args, "--interval", 0, 3600000, 0, &interval, &code)) {
        return code;
    }
    const bool tcp = info.portClass == PortClass::kNet;
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
    int done = 0, noReply = 0, exceptions = 0;
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
        const double start = NowMs();
        if (port->Write(frame.data(), static_cast<int>(frame.size())) !=
            static_cast<int>(frame.size())) {
            code = Complain(common, std::string("write to ") + port->GetNote() + " failed",
                            kExitFailed);
            break;
        }
        ++done;
        if (repeat == 1) {
            Say(common, "%s", HexAsciiDump(frame.data(), frame.size(), "   ").c_str());
        }
        Bytes reply;
        const int n =
            ReadFrame(port, info, (tcp ? 7 : 3) + replyPdu, static_cast<int>(timeoutMs), &reply);
        const double latency = NowMs() - start;
        std::string why;
        Bytes pdu;
        ModbusReply parsed;
        const bool ok = n > 0 &&
                        (tcp ? TcpReplyPdu(reply, transaction, req.unit, &pdu, &why)
                             : RtuReplyPdu(reply, req.unit, &pdu, &why)) &&
                        ParseReplyPdu(req.pdu, pdu, &parsed, &why);
        if (n > 0 && repeat == 1) {
            Say(common, "<- %d bytes after %.2f ms\n%s", n, latency,
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
            code = Complain(common,
                            std::string("port ") + port->GetNote() +
                                (n == kReadFailed ? " failed" : ": the peer closed the connection"),
                            kExitFailed);
            break;
        }
    }
    if (progress) std::fputs("\n", stderr);
    if (haveLast && !last.exception) {
        if (req.read) {
            std::fputs(
                FormatRegisters(req.start, last.values, args.Has("--pairs"), args.Has("--swap"))
                    .c_str(),
                stdout);
        } else {
            std::printf("%s: done\n", req.what.c_str());
        }
    }
    if (g_stop != 0) Report("stopped after %d exchanges\n", done);
    if (repeat > 1) {
        Report("exchanges %d  replies %d  no reply %d  exceptions %d\n%s\n", done, done - noReply,
               noReply, exceptions, FormatLatencyStats(ComputeLatencyStats(latencies)).c_str());
    }
    std::fflush(stdout);
    if (code != kExitOk) return code;
    if (noReply > 0) return kExitNoReply;
    return exceptions > 0 ? kExitException : kExitOk;
}

}  // namespace kqtool
