#include "CaptureFile.h"

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

}  // namespace kqtool
