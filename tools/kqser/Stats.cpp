// SPDX-License-Identifier: MIT
#include "Stats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace kqtool {

LatencyStats ComputeLatencyStats(std::vector<double> samples) {
    LatencyStats stats;
    if (samples.empty()) return stats;
    std::sort(samples.begin(), samples.end());
    const size_t n = samples.size();
    stats.count = n;
    stats.min = samples.front();
    stats.max = samples.back();
    stats.median = n % 2 != 0 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
    // Integer arithmetic: 0.99 * n in floating point lands a rank off for some n.
    const size_t rank = (99 * n + 99) / 100;
    stats.p99 = samples[std::max<size_t>(rank, 1) - 1];
    return stats;
}

std::string MicrosText(double ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.0f us", ms * 1000.0);
    return text;
}

std::string FormatLatencyStats(const LatencyStats& stats) {
    if (stats.count == 0) return "latency us: no replies";
    char line[160];
    std::snprintf(line, sizeof line,
                  "latency us: min %.0f  median %.0f  p99 %.0f  max %.0f  (%zu %s)",
                  stats.min * 1000.0, stats.median * 1000.0, stats.p99 * 1000.0, stats.max * 1000.0,
                  stats.count, stats.count == 1 ? "reply" : "replies");
    return line;
}

std::string FormatProgress(int done, int total, int noReply, double lastMs, bool lastReplied) {
    char line[160];
    const int width = static_cast<int>(std::to_string(total).size());
    if (lastReplied) {
        std::snprintf(line, sizeof line, "[%*d/%d] replies %d  no reply %d  last %.0f us", width,
                      done, total, done - noReply, noReply, lastMs * 1000.0);
    } else {
        std::snprintf(line, sizeof line, "[%*d/%d] replies %d  no reply %d  last: no reply", width,
                      done, total, done - noReply, noReply);
    }
    return line;
}

std::string FormatFlow(const std::string& name, long long bytes, double firstMs, double lastMs) {
    char line[160];
    if (bytes <= 0 || firstMs < 0) {
        std::snprintf(line, sizeof line, "%s 0 bytes", name.c_str());
        return line;
    }
    const double seconds = std::max(lastMs - firstMs, 0.0) / 1000.0;
    if (seconds < 0.001) {
        std::snprintf(line, sizeof line, "%s %lld bytes at once", name.c_str(), bytes);
    } else {
        // A short session moves few bytes: bytes a second, not "0.0 KiB/s".
        const double rate = static_cast<double>(bytes) / seconds;
        if (rate < 1024.0) {
            std::snprintf(line, sizeof line, "%s %lld bytes in %.2f s (%.0f B/s)", name.c_str(),
                          bytes, seconds, rate);
        } else {
            std::snprintf(line, sizeof line, "%s %lld bytes in %.2f s (%.1f KiB/s)", name.c_str(),
                          bytes, seconds, rate / 1024.0);
        }
    }
    return line;
}

std::string BridgeTotals(int clients, int refused, long long droppedNoClient,
                         long long droppedLeft) {
    std::string text = std::to_string(clients) + (clients == 1 ? " client, " : " clients, ") +
                       std::to_string(refused) + " refused";
    if (droppedNoClient > 0) {
        text += ", " + std::to_string(droppedNoClient) +
                " bytes from the port while no client was there";
    }
    if (droppedLeft > 0) {
        text += ", " + std::to_string(droppedLeft) + " bytes queued for a client that left";
    }
    return text;
}

}  // namespace kqtool
