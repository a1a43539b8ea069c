// SPDX-License-Identifier: MIT
#include "CaptureFile.h"

#include <cstdio>

#include "Format.h"
#include "ISerBase.h"
#include "Modbus.h"

namespace kqtool {

std::vector<ReplayExchange> ReplayExchanges(const std::vector<CaptureRecord>& records) {
    std::vector<ReplayExchange> exchanges;
    for (const CaptureRecord& record : records) {
        if (record.count <= 0) continue;
        if (record.tx) {
            exchanges.push_back({record.bytes, {}});
        } else if (!exchanges.empty()) {
            auto& reply = exchanges.back().reply;
            reply.insert(reply.end(), record.bytes.begin(), record.bytes.end());
        }
    }
    return exchanges;
}

std::string ShowCaptureRecord(const CaptureRecord& record, const CaptureRecord* previous,
                              const std::string& stamp, bool modbus) {
    double sinceMs = 0;
    if (previous != nullptr) {
        sinceMs = static_cast<double>(record.seconds - previous->seconds) * 1000.0 +
                  (record.micros - previous->micros) / 1000.0;
    }
    char head[64];
    std::snprintf(head, sizeof head, "%+10.3f ms  %s  ", sinceMs, record.tx ? "TX" : "RX");
    char type[16];
    std::snprintf(type, sizeof type, "%x", record.type);
    std::string text = stamp + head + record.note + " [" + type + "]  ";
    if (record.count < 0) {
        text += "failed";
    } else if (record.count == 0) {
        text += "nothing";
    } else {
        text += std::to_string(record.count) + (record.count == 1 ? " byte: " : " bytes: ") +
                HexString(record.bytes.data(), record.bytes.size());
    }
    text += "\n";
    if (modbus && !record.bytes.empty()) {
        const bool tcp = (static_cast<int>(record.type) & KQ_CLASS_MASK) == KQ_KIND_NET;
        const std::vector<std::string> frames =
            tcp ? DescribeTcpFrames(record.bytes, record.tx)
                : std::vector<std::string>{DescribeRtuFrame(record.bytes, record.tx)};
        for (const std::string& frame : frames) {
            text += "    modbus " + std::string(tcp ? "tcp " : "rtu ") + frame + "\n";
        }
    }
    return text;
}

}  // namespace kqtool
