// Capture files: a port's traffic as text, one record per line, read by
// kqser sim --replay and written by kqser term --log.
//
//   # kqSer capture 1
//   TIME<TAB>DIR<TAB>TYPE<TAB>COUNT<TAB>HEX<TAB>NOTE
//
// TIME: seconds since the epoch with six decimals; DIR: TX (the host wrote)
// or RX (the host read); TYPE: the type code in lower-case hex; COUNT: the
// call's result (-1 failed, 0 nothing); HEX: the bytes, "01 03", empty when
// COUNT <= 0; NOTE: the port's note, backslash, TAB, CR, LF and bytes outside
// 0x20-0x7E as \xHH. Other lines starting with '#' are comments.
#ifndef KQSER_TOOL_CAPTUREFILE_H
#define KQSER_TOOL_CAPTUREFILE_H

#include <cstdint>
#include <string>
#include <vector>

namespace kqtool {

extern const char kCaptureHeader[];  // "# kqSer capture 1"

struct CaptureRecord {
    int64_t seconds = 0;
    int micros = 0;
    bool tx = false;
    uint32_t type = 0;
    int count = 0;
    std::vector<uint8_t> bytes;
    std::string note;  // unescaped
};

// One line (without its line end): *isRecord false for a comment or an
// empty line; false with *error for anything else that is not a record.
bool ParseCaptureLine(const std::string& line, CaptureRecord* record, bool* isRecord,
                      std::string* error);
// A whole file: the header first, then records; *error names the line.
bool ParseCapture(const std::string& text, std::vector<CaptureRecord>* records, std::string* error);
// The record's line, without its line end.
std::string FormatCaptureRecord(const CaptureRecord& record);

// A recorded request and the reply that followed it.
struct ReplayExchange {
    std::vector<uint8_t> request;
    std::vector<uint8_t> reply;
};
// Each TX with bytes is a request; the RX bytes after it, up to the next TX,
// are its reply. RX before the first TX are dropped.
std::vector<ReplayExchange> ReplayExchanges(const std::vector<CaptureRecord>& records);

}  // namespace kqtool

#endif
