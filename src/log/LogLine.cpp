// SPDX-License-Identifier: MIT
#include "LogLine_p.h"

namespace kq {

namespace {

void PutDigits(std::string* out, long value, int width) {
    char digits[20];
    for (int i = width - 1; i >= 0; --i) {
        digits[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    out->append(digits, static_cast<size_t>(width));
}

}  // namespace

std::string FormatStamp(const tm& local, long micros) {
    std::string stamp;
    stamp.reserve(kStampLength);
    const long year = 1900L + local.tm_year;
    // Years outside 0..9999 keep their digits; the stamp is then longer.
    if (year < 0 || year > 9999) {
        stamp = std::to_string(year);
    } else {
        PutDigits(&stamp, year, 4);
    }
    const struct {
        long value;
        int width;
        char before;
    } parts[] = {{local.tm_mon + 1L, 2, '-'}, {local.tm_mday, 2, '-'}, {local.tm_hour, 2, ' '},
                 {local.tm_min, 2, ':'},      {local.tm_sec, 2, ':'},  {micros, 6, '.'}};
    for (const auto& part : parts) {
        stamp += part.before;
        const long bound = part.width == 6 ? 999999 : 99;
        PutDigits(&stamp, part.value < 0 ? 0 : (part.value > bound ? bound : part.value),
                  part.width);
    }
    stamp += ' ';
    return stamp;
}

std::string FormatLogLine(const std::string& stamp, unsigned long long dropped, const char* text,
                          size_t length) {
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) {
        --length;
    }
    std::string line = stamp;
    if (dropped > 0) {
        line += "[" + std::to_string(dropped) + (dropped == 1 ? " line" : " lines") + " dropped] ";
    }
    // Filled to one byte past the bound, so that a cut text shows.
    const size_t bound = kMaxLogLine - 1;  // room for the "\n"
    for (size_t i = 0; i < length && line.size() <= bound; ++i) {
        const char c = text[i];
        if (c == '\n' || c == '\r') {
            line += '\\';
            line += c == '\n' ? 'n' : 'r';
        } else {
            line += c;
        }
    }
    if (line.size() > bound) {
        static const char kCut[] = "...";
        line.resize(bound - (sizeof kCut - 1));
        line += kCut;
    }
    line += '\n';
    return line;
}

std::string FormatSyslog(long pid, const std::string& line) {
    // <14>: facility user (1) times 8, plus severity info (6).
    std::string datagram = "<14>kqSer[" + std::to_string(pid) + "]: ";
    datagram.append(line, 0, !line.empty() && line.back() == '\n' ? line.size() - 1 : line.size());
    return datagram;
}

}  // namespace kq
