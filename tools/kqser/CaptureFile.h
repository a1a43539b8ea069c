// SPDX-License-Identifier: MIT
// Capture files as kqser reads them (sim --replay, capture) and writes them
// (term --log). The format is the library's own (CaptureFormat_p.h, in the
// core): kqser reads what the library's capture = FILE writes.
#ifndef KQSER_TOOL_CAPTUREFILE_H
#define KQSER_TOOL_CAPTUREFILE_H

#include <cstdint>
#include <string>
#include <vector>

#include "CaptureFormat_p.h"

namespace kqtool {

using kq::CaptureRecord;
using kq::FormatCaptureRecord;
using kq::kCaptureHeader;
using kq::ParseCapture;
using kq::ParseCaptureLine;

// A recorded request and the reply that followed it.
struct ReplayExchange {
    std::vector<uint8_t> request;
    std::vector<uint8_t> reply;
};
// Each TX with bytes is a request; the RX bytes after it, up to the next TX,
// are its reply. RX before the first TX are dropped.
std::vector<ReplayExchange> ReplayExchanges(const std::vector<CaptureRecord>& records);

// One record as kqser capture prints it, its "\n" included: stamp (the
// record's local time, "2026-12-08 14:03:07.123456 "), the time since the
// record before (previous null: this is the first), direction, port (note
// and type code), then the count and the bytes; with modbus, one more line
// for each frame the bytes hold (RTU on a serial port, TCP on a network one).
std::string ShowCaptureRecord(const CaptureRecord& record, const CaptureRecord* previous,
                              const std::string& stamp, bool modbus);

}  // namespace kqtool

#endif
