// SPDX-License-Identifier: MIT
#include "CaptureFormat_p.h"

#include <cstdio>
#include <cstring>
#include <utility>

#include "HexDigits_p.h"

namespace kq {

const char kCaptureHeader[] = "# kqSer capture 1";

namespace {

bool Fail(std::string* error, const std::string& message) {
    if (error != nullptr) {
        *error = message;
    }
    return false;
}

bool AllDigits(const std::string& text) {
    if (text.empty()) {
        return false;
    }
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

bool IsUpperHex(char c) {
    return HexDigitValue(c) >= 0 && !(c >= 'a' && c <= 'f');
}

bool UnescapeNote(const std::string& text, std::string* note) {
    note->clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            note->push_back(text[i]);
            continue;
        }
        if (i + 3 >= text.size() || text[i + 1] != 'x' || HexDigitValue(text[i + 2]) < 0 ||
            HexDigitValue(text[i + 3]) < 0) {
            return false;
        }
        note->push_back(
            static_cast<char>(HexDigitValue(text[i + 2]) * 16 + HexDigitValue(text[i + 3])));
        i += 3;
    }
    return true;
}

std::vector<std::string> SplitTabs(const std::string& line) {
    std::vector<std::string> fields;
    size_t at = 0;
    for (;;) {
        const size_t tab = line.find('\t', at);
        fields.push_back(line.substr(at, tab == std::string::npos ? std::string::npos : tab - at));
        if (tab == std::string::npos) {
            return fields;
        }
        at = tab + 1;
    }
}

}  // namespace

std::string FormatCaptureLine(long long seconds, int micros, bool tx, uint32_t type, int count,
                              const unsigned char* bytes, const char* note) {
    char head[80];
    const int n = std::snprintf(head, sizeof head, "%lld.%06d\t%s\t%x\t%d\t", seconds, micros,
                                tx ? "TX" : "RX", static_cast<unsigned int>(type), count);
    std::string line(head, n > 0 ? static_cast<size_t>(n) : 0);
    const size_t noteLength = note != nullptr ? std::strlen(note) : 0;
    line.reserve(line.size() + (count > 0 ? static_cast<size_t>(count) * 3 : 0) + noteLength * 4 +
                 2);
    for (int i = 0; i < count && bytes != nullptr; ++i) {
        if (i > 0) {
            line += ' ';
        }
        line += HexDigit(bytes[i] >> 4);
        line += HexDigit(bytes[i]);
    }
    line += '\t';
    for (size_t i = 0; i < noteLength; ++i) {
        const unsigned char u = static_cast<unsigned char>(note[i]);
        if (u < 0x20 || u > 0x7E || u == '\\') {
            line += "\\x";
            line += HexDigit(u >> 4);
            line += HexDigit(u);
        } else {
            line += static_cast<char>(u);
        }
    }
    return line;
}

std::string FormatCaptureRecord(const CaptureRecord& record) {
    const bool whole =
        record.count <= 0 || record.bytes.size() >= static_cast<size_t>(record.count);
    return FormatCaptureLine(record.seconds, record.micros, record.tx, record.type,
                             whole ? record.count : static_cast<int>(record.bytes.size()),
                             record.bytes.data(), record.note.c_str());
}

std::string DroppedRecordsComment(unsigned long long dropped) {
    return "# " + std::to_string(dropped) + (dropped == 1 ? " record" : " records") +
           " dropped here\n";
}

bool ParseCaptureLine(const std::string& line, CaptureRecord* record, bool* isRecord,
                      std::string* error) {
    *isRecord = false;
    if (line.empty() || line[0] == '#') {
        return true;
    }
    const std::vector<std::string> fields = SplitTabs(line);
    if (fields.size() != 6) {
        return Fail(error, "a record has 6 fields separated by TABs, this line has " +
                               std::to_string(fields.size()));
    }
    CaptureRecord rec;
    const std::string& time = fields[0];
    const size_t dot = time.find('.');  // npos, too, is more than 18 digits
    if (dot > 18 || !AllDigits(time.substr(0, dot)) || time.size() - dot - 1 != 6 ||
        !AllDigits(time.substr(dot + 1))) {
        return Fail(error, "TIME is seconds with six decimals, not '" + time.substr(0, 30) + "'");
    }
    rec.seconds = std::stoll(time.substr(0, dot));
    rec.micros = std::stoi(time.substr(dot + 1));
    if (fields[1] != "TX" && fields[1] != "RX") {
        return Fail(error, "DIR is TX or RX, not '" + fields[1].substr(0, 10) + "'");
    }
    rec.tx = fields[1] == "TX";
    const std::string& type = fields[2];
    if (type.empty() || type.size() > 8) {
        return Fail(error, "TYPE is 1 to 8 hex digits");
    }
    for (char c : type) {
        if (HexDigitValue(c) < 0 || (c >= 'A' && c <= 'F')) {
            return Fail(error, "TYPE is lower-case hex, not '" + type + "'");
        }
        rec.type = rec.type * 16 + static_cast<uint32_t>(HexDigitValue(c));
    }
    const std::string& count = fields[3];
    if (count != "-1" && (!AllDigits(count) || count.size() > 9)) {
        return Fail(error, "COUNT is -1 or a byte count, not '" + count.substr(0, 12) + "'");
    }
    rec.count = std::stoi(count);
    const std::string& hex = fields[4];
    if (rec.count <= 0) {
        if (!hex.empty()) {
            return Fail(error, "HEX is empty when COUNT is " + count);
        }
    } else {
        bool layout = hex.size() == static_cast<size_t>(rec.count) * 3 - 1;
        for (size_t i = 0; layout && i < hex.size(); ++i) {
            layout = i % 3 == 2 ? hex[i] == ' ' : IsUpperHex(hex[i]);
        }
        if (!layout) {
            return Fail(error, "HEX holds COUNT bytes as upper-case pairs with single blanks");
        }
        rec.bytes.reserve(static_cast<size_t>(rec.count));
        for (size_t i = 0; i < hex.size(); i += 3) {
            rec.bytes.push_back(
                static_cast<uint8_t>(HexDigitValue(hex[i]) * 16 + HexDigitValue(hex[i + 1])));
        }
    }
    if (!UnescapeNote(fields[5], &rec.note)) {
        return Fail(error, "NOTE has a bad \\x escape");
    }
    *record = std::move(rec);
    *isRecord = true;
    return true;
}

bool ParseCapture(const std::string& text, std::vector<CaptureRecord>* records,
                  std::string* error) {
    if (text.empty()) {
        return Fail(error, "empty file");
    }
    std::vector<CaptureRecord> all;
    size_t start = 0;
    for (int number = 1; start < text.size(); ++number) {
        size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end;
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (number == 1 && line != kCaptureHeader) {
            return Fail(error, std::string("line 1: not a capture file (it starts with \"") +
                                   kCaptureHeader + "\")");
        }
        CaptureRecord record;
        bool isRecord = false;
        std::string why;
        if (!ParseCaptureLine(line, &record, &isRecord, &why)) {
            return Fail(error, "line " + std::to_string(number) + ": " + why);
        }
        if (isRecord) {
            all.push_back(std::move(record));
        }
    }
    *records = std::move(all);
    return true;
}

}  // namespace kq
