#include "CaptureFile.h"

#include <cstdio>
#include <sstream>

#include "Format.h"
#include "HexArg.h"

namespace kqtool {

const char kCaptureHeader[] = "# kqSer capture 1";

namespace {

bool Fail(std::string* error, const std::string& message) {
    if (error != nullptr) *error = message;
    return false;
}

bool AllDigits(const std::string& text) {
    if (text.empty()) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool UnescapeNote(const std::string& text, std::string* note) {
    note->clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            note->push_back(text[i]);
            continue;
        }
        if (i + 3 >= text.size() || text[i + 1] != 'x' || HexDigit(text[i + 2]) < 0 ||
            HexDigit(text[i + 3]) < 0) {
            return false;
        }
        note->push_back(static_cast<char>(HexDigit(text[i + 2]) * 16 + HexDigit(text[i + 3])));
        i += 3;
    }
    return true;
}

}  // namespace

bool ParseCaptureLine(const std::string& line, CaptureRecord* record, bool* isRecord,
                      std::string* error) {
    *isRecord = false;
    if (line.empty() || line[0] == '#') return true;
    std::vector<std::string> fields;
    size_t at = 0;
    for (;;) {
        const size_t tab = line.find('\t', at);
        fields.push_back(line.substr(at, tab - at));
        if (tab == std::string::npos) break;
        at = tab + 1;
    }
    if (fields.size() != 6) {
        return Fail(error, "a record has 6 fields separated by TABs, this line has " +
                               std::to_string(fields.size()));
    }
    CaptureRecord rec;
    const std::string& time = fields[0];
    const size_t dot = time.find('.');
    if (dot == std::string::npos || !AllDigits(time.substr(0, dot)) || dot > 18 ||
        time.size() - dot - 1 != 6 || !AllDigits(time.substr(dot + 1))) {
        return Fail(error, "TIME is seconds with six decimals, not '" + time.substr(0, 30) + "'");
    }
    rec.seconds = std::stoll(time.substr(0, dot));
    rec.micros = std::stoi(time.substr(dot + 1));
    if (fields[1] != "TX" && fields[1] != "RX") {
        return Fail(error, "DIR is TX or RX, not '" + fields[1].substr(0, 10) + "'");
    }
    rec.tx = fields[1] == "TX";
    const std::string& type = fields[2];
    if (type.empty() || type.size() > 8) return Fail(error, "TYPE is 1 to 8 hex digits");
    for (char c : type) {
        if (HexDigit(c) < 0 || (c >= 'A' && c <= 'F')) {
            return Fail(error, "TYPE is lower-case hex, not '" + type + "'");
        }
        rec.type = rec.type * 16 + static_cast<uint32_t>(HexDigit(c));
    }
    const std::string& count = fields[3];
    if (count != "-1" && (!AllDigits(count) || count.size() > 9)) {
        return Fail(error, "COUNT is -1 or a byte count, not '" + count.substr(0, 12) + "'");
    }
    rec.count = std::stoi(count);
    const std::string& hex = fields[4];
    if (rec.count <= 0) {
        if (!hex.empty()) return Fail(error, "HEX is empty when COUNT is " + count);
    } else {
        // Two upper-case digits a byte, single blanks between.
        bool layout = hex.size() == static_cast<size_t>(rec.count) * 3 - 1;
        for (size_t i = 0; layout && i < hex.size(); ++i) {
            const bool blank = i % 3 == 2;
            layout =
                blank ? hex[i] == ' ' : HexDigit(hex[i]) >= 0 && !(hex[i] >= 'a' && hex[i] <= 'f');
        }
        if (!layout) {
            return Fail(error, "HEX holds COUNT bytes as upper-case pairs with single blanks");
        }
        if (!ParseHexBytes(hex, &rec.bytes, error)) return false;
    }
    if (!UnescapeNote(fields[5], &rec.note)) return Fail(error, "NOTE has a bad \\x escape");
    *record = rec;
    *isRecord = true;
    return true;
}

bool ParseCapture(const std::string& text, std::vector<CaptureRecord>* records,
                  std::string* error) {
    std::istringstream lines(text);
    std::string line;
    std::vector<CaptureRecord> all;
    for (int number = 1; std::getline(lines, line); ++number) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
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
        if (isRecord) all.push_back(record);
    }
    if (text.empty()) return Fail(error, "empty file");
    *records = all;
    return true;
}

std::string FormatCaptureRecord(const CaptureRecord& record) {
    char head[80];
    std::snprintf(head, sizeof head, "%lld.%06d\t%s\t%x\t%d\t",
                  static_cast<long long>(record.seconds), record.micros, record.tx ? "TX" : "RX",
                  record.type, record.count);
    std::string line = head;
    if (record.count > 0) line += HexString(record.bytes.data(), record.bytes.size());
    line += '\t';
    for (char c : record.note) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u > 0x7E || c == '\\') {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", u);
            line += escaped;
        } else {
            line += c;
        }
    }
    return line;
}

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
