// SPDX-License-Identifier: Apache-2.0
// The store's own costs: loading a full charts data file (48 statistics, 6,296,272 bytes), a
// whole tool-mode set-up and release, merging one sample vector, and saving the store.
#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <vector>

#include "bench_util.h"

namespace {

using charts::g;

int64_t file_size(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (int64_t)st.st_size : 0;
}

// charts_load alone on a store that charts_init has already set up, in tool mode. Arg 0: the
// whole file at once (the header and all 192 rings, converted from big-endian); arg 1: rings on
// demand (the file checked and its records found by name; no ring read).
void BM_Load(benchmark::State &state) {
    zelbench::open_store();
    g.ondemand = state.range(0) != 0;
    for (auto _ : state) {
        int rc = charts_load(1);
        benchmark::DoNotOptimize(rc);
    }
    g.ondemand = true;
    if (state.range(0) == 0) {
        state.SetBytesProcessed((int64_t)state.iterations() * file_size(zelbench::data_file()));
    }
}

// What the tool pays for the store: charts_init in tool mode (image buffers, catalogue copies,
// ring block, the data file checked for rings on demand, time keys, palette) and charts_term.
void BM_InitTerm(benchmark::State &state) {
    zelbench::close_store();
    const std::string &path = zelbench::data_file();
    for (auto _ : state) {
        int rc = charts_init(statsdump_calcdefs, statsdump_statdefs, statsdump_estatdefs,
                             path.c_str(), 1);
        benchmark::DoNotOptimize(rc);
        charts_term();
    }
}

// One sample vector per call. Arg: seconds between samples; 60 opens a new minute every call
// (the server's steady state), 0 merges every sample into the same slots.
void BM_Add(benchmark::State &state) {
    zelbench::open_store();
    std::vector<uint64_t> data(g.statdefscount);
    for (uint32_t i = 0; i < g.statdefscount; i++) data[i] = 1000 + 37 * i;
    uint32_t step = (uint32_t)state.range(0);
    // A day past the newest minute of the file, whatever the file's time zone: every sample
    // is current, none is late.
    uint32_t ts = g.timepoint[0] * 60 + 86400;
    charts_add(data.data(), ts);
    for (auto _ : state) {
        ts += step;
        charts_add(data.data(), ts);
    }
    state.SetItemsProcessed((int64_t)state.iterations());
}

// charts_store of the full store into a scratch file.
void BM_Store(benchmark::State &state) {
    zelbench::open_store();
    char *saved = g.statsfilename;
    std::string out = zelbench::scratch().file("store_out.zel");
    g.statsfilename = const_cast<char *>(out.c_str());
    for (auto _ : state) charts_store();
    g.statsfilename = saved;
    state.SetBytesProcessed((int64_t)state.iterations() * file_size(out));
}

}  // namespace

BENCHMARK(BM_Load)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_InitTerm)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Add)->Arg(60)->Arg(0);
BENCHMARK(BM_Store)->Unit(benchmark::kMillisecond);
