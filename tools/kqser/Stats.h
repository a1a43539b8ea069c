// SPDX-License-Identifier: MIT
// Latency statistics of repeated exchanges.
#ifndef KQSER_TOOL_STATS_H
#define KQSER_TOOL_STATS_H

#include <cstddef>
#include <string>
#include <vector>

namespace kqtool {

struct LatencyStats {
    size_t count = 0;  // 0: the other fields are 0
    double min = 0;
    double median = 0;  // the mean of the two middle values for an even count
    double p99 = 0;     // nearest rank: the ceil(0.99 n)-th smallest
    double max = 0;
};

LatencyStats ComputeLatencyStats(std::vector<double> samples);

// "1203 us" for 1.2034 ms.
std::string MicrosText(double ms);

// "latency us: min 1203  median 1350  p99 2100  max 2100  (5 replies)"
// (the samples are in ms).
std::string FormatLatencyStats(const LatencyStats& stats);

// The live progress line of send --repeat, without line end.
std::string FormatProgress(int done, int total, int noReply, double lastMs, bool lastReplied);

// "to the port 1048576 bytes in 2.31 s (443.3 KiB/s)": the bytes of one
// direction and the time from its first byte to its last (ms stamps; first
// below 0 when nothing passed).
std::string FormatFlow(const std::string& name, long long bytes, double firstMs, double lastMs);

// "1 client, 0 refused", then each count of dropped bytes with its reason.
std::string BridgeTotals(int clients, int refused, long long droppedNoClient,
                         long long droppedLeft);

}  // namespace kqtool

#endif
