// SPDX-License-Identifier: MIT
#include "SimDevice.h"

#include "Format.h"

namespace kqtool {

namespace {

// More than this many bytes without a whole request is noise; start afresh.
const size_t kMaxPending = 4096;

std::string Hex(const Bytes& bytes) {
    return HexString(bytes.data(), bytes.size());
}

}  // namespace

std::vector<std::string> SimDevice::TakeEvents() {
    std::vector<std::string> events;
    events.swap(events_);
    return events;
}

std::vector<Bytes> EchoDevice::Feed(const Bytes& chunk) {
    if (chunk.empty()) return {};
    return {chunk};
}

Bytes ModbusDevice::Answer(const Bytes& frame) {
    RtuVerdict verdict = RtuVerdict::kShort;
    const Bytes reply = MeterAnswerRtu(&meter_, frame, &verdict);
    switch (verdict) {
        case RtuVerdict::kAnswered: Note("got " + Hex(frame) + ", answers " + Hex(reply)); break;
        case RtuVerdict::kBroadcast:
            Note("broadcast " + Hex(frame) + ": carried out, no reply");
            break;
        case RtuVerdict::kBroadcastIgnored:
            Note("ignored " + Hex(frame) + " (a broadcast read)");
            break;
        case RtuVerdict::kShort: Note("ignored " + Hex(frame) + " (short frame)"); break;
        case RtuVerdict::kBadCrc: Note("ignored " + Hex(frame) + " (bad CRC)"); break;
        case RtuVerdict::kOtherUnit:
            Note("ignored " + Hex(frame) + " (for unit " + std::to_string(frame[0]) + ")");
            break;
    }
    return reply;
}

std::vector<Bytes> ModbusTcpDevice::Feed(const Bytes& chunk) {
    pending_.insert(pending_.end(), chunk.begin(), chunk.end());
    std::vector<Bytes> replies;
    for (;;) {
        const size_t need = TcpFrameLength(pending_);
        if (need == 0 || pending_.size() < need) break;
        const Bytes frame(pending_.begin(), pending_.begin() + static_cast<long>(need));
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(need));
        const Bytes reply = MeterAnswerTcp(meter_, frame);
        if (reply.empty()) {
            Note("ignored " + Hex(frame) + " (not Modbus or for another unit)");
            continue;
        }
        Note("got " + Hex(frame) + ", answers " + Hex(reply));
        replies.push_back(reply);
    }
    if (pending_.size() > kMaxPending) {
        Note("dropped " + std::to_string(pending_.size()) + " bytes without a request");
        pending_.clear();
    }
    return replies;
}

std::vector<Bytes> ModbusDevice::Feed(const Bytes& chunk) {
    pending_.insert(pending_.end(), chunk.begin(), chunk.end());
    std::vector<Bytes> replies;
    for (;;) {
        const size_t need = RtuRequestLength(pending_);
        if (need == 0 || pending_.size() < need) break;
        const Bytes frame(pending_.begin(), pending_.begin() + static_cast<long>(need));
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(need));
        const Bytes reply = Answer(frame);
        if (!reply.empty()) replies.push_back(reply);
    }
    if (pending_.size() > kMaxPending) {
        Note("dropped " + std::to_string(pending_.size()) + " bytes without a request");
        pending_.clear();
    }
    return replies;
}

std::vector<Bytes> ModbusDevice::Gap() {
    if (pending_.empty()) return {};
    const Bytes frame = pending_;
    pending_.clear();
    const Bytes reply = Answer(frame);
    if (reply.empty()) return {};
    return {reply};
}

std::vector<Bytes> ReplayDevice::Feed(const Bytes& chunk) {
    pending_.insert(pending_.end(), chunk.begin(), chunk.end());
    for (size_t k = 0; k < exchanges_.size(); ++k) {
        const size_t i = (next_ + k) % exchanges_.size();
        const Bytes& request = exchanges_[i].request;
        if (request.empty() || request.size() > pending_.size() ||
            !std::equal(request.begin(), request.end(), pending_.end() - request.size())) {
            continue;
        }
        if (pending_.size() > request.size()) {
            Note("dropped " + Hex(Bytes(pending_.begin(), pending_.end() - request.size())) +
                 " before a recorded request");
        }
        pending_.clear();
        next_ = i + 1;
        const Bytes& reply = exchanges_[i].reply;
        Note("got " + Hex(request) + ", answers " + (reply.empty() ? "nothing" : Hex(reply)));
        if (reply.empty()) return {};
        return {reply};
    }
    if (pending_.size() > kMaxPending) {
        Note("dropped " + std::to_string(pending_.size()) + " bytes without a recorded request");
        pending_.clear();
    }
    return {};
}

std::vector<Bytes> ReplayDevice::Gap() {
    if (!pending_.empty()) {
        Note("no recorded request is " + Hex(pending_));
        pending_.clear();
    }
    return {};
}

double WireTimeMs(size_t n, long baud) {
    if (baud <= 0) return 0;
    return static_cast<double>(n) * 10.0 * 1000.0 / static_cast<double>(baud);
}

}  // namespace kqtool
