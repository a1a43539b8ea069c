// SPDX-License-Identifier: MIT
// capture: a capture file as a person reads it, with the time between
// records and, with --modbus, the frames decoded.
#include <time.h>

#include <cstdio>

#include "CaptureFile.h"
#include "Commands.h"
#include "LogLine_p.h"
#include "Sys.h"

namespace kqtool {

namespace {

std::string LocalStamp(const CaptureRecord& record) {
    const time_t seconds = static_cast<time_t>(record.seconds);
    tm local{};
    if (localtime_r(&seconds, &local) == nullptr) {
        return std::to_string(record.seconds) + " ";
    }
    return kq::FormatStamp(local, record.micros);
}

}  // namespace

int RunCapture(const Common& common, const Args& args) {
    if (args.positional.empty()) {
        return Complain(common, "needs a capture FILE (kqser capture --help)", kExitUsage);
    }
    const bool modbus = args.Has("--modbus");
    CaptureRecord previous;
    bool first = true;
    long records = 0, tx = 0, failed = 0, bad = 0;
    for (const std::string& path : args.positional) {
        std::string text, error;
        if (!ReadWholeFile(path, &text, &error)) return Complain(common, error, kExitFailed);
        const size_t end = text.find('\n');
        std::string head = text.substr(0, end);
        if (!head.empty() && head.back() == '\r') head.pop_back();
        if (head != kCaptureHeader) {
            return Complain(common,
                            path + ": not a capture file: its first line is \"" +
                                head.substr(0, 40) + (head.size() > 40 ? "..." : "") +
                                "\", where a capture file's is \"" + std::string(kCaptureHeader) +
                                "\"",
                            kExitFailed);
        }
        size_t start = 0;
        for (int number = 1; start < text.size(); ++number) {
            size_t stop = text.find('\n', start);
            stop = stop == std::string::npos ? text.size() : stop;
            std::string line = text.substr(start, stop - start);
            start = stop + 1;
            if (!line.empty() && line.back() == '\r') line.pop_back();
            CaptureRecord record;
            bool isRecord = false;
            // A line cut by a full disk must not hide the rest of the file.
            if (!ParseCaptureLine(line, &record, &isRecord, &error)) {
                Report("kqser capture: %s line %d: %s; skipped\n", path.c_str(), number,
                       error.c_str());
                ++bad;
                continue;
            }
            if (!isRecord) {
                // "# 3 records dropped here" belongs where it stands.
                if (number > 1 && !line.empty()) std::fprintf(Out(), "%s\n", line.c_str());
                continue;
            }
            std::fputs(
                ShowCaptureRecord(record, first ? nullptr : &previous, LocalStamp(record), modbus)
                    .c_str(),
                Out());
            previous = record;
            first = false;
            ++records;
            tx += record.tx ? 1 : 0;
            failed += record.count < 0 ? 1 : 0;
        }
    }
    Say(common, "%ld records: %ld TX, %ld RX (%ld failed calls)%s\n", records, tx, records - tx,
        failed, bad > 0 ? (", " + std::to_string(bad) + " bad lines skipped").c_str() : "");
    return kExitOk;
}

}  // namespace kqtool
