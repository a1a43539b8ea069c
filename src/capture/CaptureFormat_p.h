// SPDX-License-Identifier: MIT
// The capture file: a port's traffic as text, one record per line, written by
// the library (capture = FILE) and read by kqser (capture, sim --replay).
// Pure; part of the core. Internal.
//
//   # kqSer capture 1
//   TIME<TAB>DIR<TAB>TYPE<TAB>COUNT<TAB>HEX<TAB>NOTE
//
// TIME: seconds since the Unix epoch with exactly six decimals; DIR: TX (a
// Write) or RX (a Read); TYPE: the port's type code in lower-case hex without
// prefix; COUNT: the call's result in decimal (0 a read that got nothing, -1
// a failed call); HEX: the bytes as two upper-case hex digits each, single
// blanks between, empty when COUNT <= 0; NOTE: the port's note, with
// backslash, TAB, CR, LF and bytes outside 0x20-0x7E written as \xHH. The
// first line is the header; other lines that start with '#' are comments
// (the library says so in one when it had to drop records).
#ifndef KQSER_CAPTUREFORMAT_P_H
#define KQSER_CAPTUREFORMAT_P_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kq {

extern const char kCaptureHeader[];  // "# kqSer capture 1"

struct CaptureRecord {
    int64_t seconds = 0;
    int micros = 0;
    bool tx = false;
    uint32_t type = 0;
    int count = 0;
    std::vector<uint8_t> bytes;  // count of them when count > 0
    std::string note;            // unescaped
};

// One record's line, without its line end. bytes holds count bytes when
// count > 0.
std::string FormatCaptureLine(long long seconds, int micros, bool tx, uint32_t type, int count,
                              const unsigned char* bytes, const char* note);
std::string FormatCaptureRecord(const CaptureRecord& record);

// The comment that stands before the next record when records were dropped.
std::string DroppedRecordsComment(unsigned long long dropped);

// One line without its line end: *isRecord false for a comment or an empty
// line; false with the reason in *error for anything else that is not a
// record.
bool ParseCaptureLine(const std::string& line, CaptureRecord* record, bool* isRecord,
                      std::string* error);

// A whole file: the header first, then records; false with *error naming
// the first bad line.
bool ParseCapture(const std::string& text, std::vector<CaptureRecord>* records, std::string* error);

}  // namespace kq

#endif
