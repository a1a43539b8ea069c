// SPDX-License-Identifier: MIT
// The frame-gap benchmark (gap_bench.cpp): kqser_bench gap OUT.tsv.
#ifndef KQSER_BENCH_GAP_BENCH_H
#define KQSER_BENCH_GAP_BENCH_H

int GapMain(const char* outPath);

#endif
