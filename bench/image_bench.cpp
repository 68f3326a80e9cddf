// SPDX-License-Identifier: Apache-2.0
// The chart imager stage by stage, for the default picture (1600 x 320, data area 1550 x 300):
// drawing with one, two and three series, bitmap to scanlines, deflate at level 1, assembling
// the file with its CRCs, and the whole charts_make_png + charts_get_png pair.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <vector>

#include "bench_util.h"

namespace {

using charts::g;

constexpr uint32_t kWidth = 1600, kHeight = 320;                 // the command's default picture
constexpr uint32_t kAreaW = kWidth - 50, kAreaH = kHeight - 20;  // its data area
constexpr uint32_t kScanBytes = (kWidth + 1) * kHeight;

// Chart type of a name, or of the first extended chart with three series for "3 series".
int32_t resolve(const char *name) {
    if (strcmp(name, "3 series") == 0) return zelbench::extended_with_sources(3);
    return zelbench::chart_type(name);
}

// Arg: range.
void BM_MakeChart(benchmark::State &state, const char *name) {
    zelbench::open_store();
    int32_t type = resolve(name);
    if (type < 0) {
        state.SkipWithError("no such chart in the catalogue");
        return;
    }
    for (auto _ : state) {
        charts::charts_makechart((uint32_t)type, (uint32_t)state.range(0), kAreaW, kAreaH);
        benchmark::ClobberMemory();
    }
}

void BM_ChartToRawchart(benchmark::State &state) {
    zelbench::open_store();
    charts::charts_makechart((uint32_t)zelbench::chart_type("cpu"), 0, kAreaW, kAreaH);
    for (auto _ : state) {
        charts::charts_chart_to_rawchart(kWidth, kHeight);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed((int64_t)state.iterations() * kScanBytes);
}

// One compression of the scanlines of a two-series chart, as the encoder runs it: reset, one
// deflate call with Z_FINISH into the compressed buffer, header and Adler-32 around it.
void BM_Deflate(benchmark::State &state) {
    zelbench::open_store();
    if (!g.zstr_ready) charts::charts_zinit();  // the tool sets it up with its first picture
    charts::charts_makechart((uint32_t)zelbench::chart_type("cpu"), (uint32_t)state.range(0),
                             kAreaW, kAreaH);
    charts::charts_chart_to_rawchart(kWidth, kHeight);
    uint32_t out = 0;
    for (auto _ : state) {
        out = charts::charts_compress(g.zstr, g.rawchart, kScanBytes, g.compbuff, g.compbuffsize);
        if (out == 0) {
            state.SkipWithError("deflate did not finish");
            break;
        }
    }
    state.SetBytesProcessed((int64_t)state.iterations() * kScanBytes);
    state.counters["compressed"] = (double)out;
}

// The file assembly alone: template, stream, tail and six chunk CRCs.
void BM_GetPng(benchmark::State &state) {
    zelbench::open_store();
    uint32_t size = charts_make_png((uint32_t)zelbench::chart_type("cpu") * 10, kWidth, kHeight);
    uint32_t comp = g.compsize;
    std::vector<uint8_t> buf(size);
    for (auto _ : state) {
        g.compsize = comp;
        charts_get_png(buf.data());
        benchmark::DoNotOptimize(buf.data());
    }
    state.SetBytesProcessed((int64_t)state.iterations() * size);
    state.counters["file_bytes"] = size;
}

// What one chart file costs in process: charts_make_png + charts_get_png. Arg: range.
void BM_MakePng(benchmark::State &state, const char *name) {
    zelbench::open_store();
    int32_t type = resolve(name);
    if (type < 0) {
        state.SkipWithError("no such chart in the catalogue");
        return;
    }
    uint32_t number = (uint32_t)type * 10 + (uint32_t)state.range(0);
    std::vector<uint8_t> buf;
    uint32_t size = 0;
    for (auto _ : state) {
        size = charts_make_png(number, kWidth, kHeight);
        if (buf.size() < size) buf.resize(size);
        charts_get_png(buf.data());
        benchmark::DoNotOptimize(buf.data());
    }
    state.counters["file_bytes"] = size;
}

}  // namespace

BENCHMARK_CAPTURE(BM_MakeChart, ucpu, "ucpu")->Arg(0)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_MakeChart, cpu, "cpu")->Arg(0)->Arg(3)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_MakeChart, three, "3 series")->Arg(0)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ChartToRawchart)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Deflate)->Arg(0)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GetPng)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_MakePng, cpu, "cpu")->Arg(0)->Arg(3)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_MakePng, ucpu, "ucpu")->Arg(0)->Unit(benchmark::kMicrosecond);
