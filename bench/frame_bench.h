// SPDX-License-Identifier: MIT
// The Modbus RTU benchmark (frame_bench.cpp): kqser_bench frame OUT.tsv.
#ifndef KQSER_BENCH_FRAME_BENCH_H
#define KQSER_BENCH_FRAME_BENCH_H

int FrameMain(const char* outPath);

#endif
