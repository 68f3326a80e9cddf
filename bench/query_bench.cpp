// SPDX-License-Identifier: Apache-2.0
// Data queries and the table writer: charts_getdata per chart kind (a base statistic, a stacked
// extended chart, a computed series), all 60 fields of one range, the whole table of 60 fields
// in each number format (to /dev/null), and a reference row formatted with snprintf.
#include <benchmark/benchmark.h>
#include <stdio.h>

#include <vector>

#include "bench_util.h"
#include "statsdump_priv.h"

namespace {

constexpr uint32_t kRows = 4096;

void BM_GetData(benchmark::State &state, const char *name) {
    zelbench::open_store();
    int32_t type = zelbench::chart_type(name);
    if (type < 0) {
        state.SkipWithError("no such field in the catalogue");
        return;
    }
    std::vector<double> data(kRows);
    uint32_t ts = 0, rsec = 1;
    uint32_t number = (uint32_t)type * 10 + (uint32_t)state.range(0);
    for (auto _ : state) {
        charts_getdata(data.data(), &ts, &rsec, number);
        benchmark::DoNotOptimize(data.data());
    }
    state.SetItemsProcessed((int64_t)state.iterations() * kRows);
}

// The queries of one table: every field of "-f '*'" in one range.
void BM_GetDataAll(benchmark::State &state) {
    zelbench::open_store();
    std::vector<int32_t> fields = zelbench::all_fields();
    std::vector<double> data(kRows);
    uint32_t ts = 0, rsec = 1;
    for (auto _ : state) {
        for (size_t f = 0; fields[f] >= 0; f++) {
            charts_getdata(data.data(), &ts, &rsec, (uint32_t)fields[f] * 10 + state.range(0));
            benchmark::DoNotOptimize(data.data());
        }
    }
}

// The whole table of every field, range 0, to /dev/null. Arg: the flags of the command
// (0 plain, 1 date column, 2 base-10 numbers, 4 base-2 numbers). Items are table rows, so
// items/s divided into one gives the time of one row of 60 values, queries included.
void BM_Table(benchmark::State &state) {
    zelbench::open_store();
    std::vector<int32_t> fields = zelbench::all_fields();
    uint8_t flags = (uint8_t)state.range(0);
    {
        zelbench::StdoutToNull quiet;
        for (auto _ : state) statsdump_gencsv(fields.data(), 0, '\t', flags);
    }
    state.SetItemsProcessed((int64_t)state.iterations() * kRows);
}

// The values of all 60 fields of range 0, row-major, as the table prints them.
struct TableValues {
    std::vector<double> v;  // kRows * nfields
    std::vector<uint8_t> percent;
    size_t nfields = 0;
};

const TableValues &table_values() {
    static TableValues tv = [] {
        zelbench::open_store();
        TableValues t;
        std::vector<int32_t> fields = zelbench::all_fields();
        t.nfields = fields.size() - 1;
        t.v.resize(kRows * t.nfields);
        std::vector<double> data(kRows);
        for (size_t f = 0; f < t.nfields; f++) {
            uint32_t ts = 0, rsec = 1;
            charts_getdata(data.data(), &ts, &rsec, (uint32_t)fields[f] * 10);
            for (uint32_t j = 0; j < kRows; j++) t.v[j * t.nfields + f] = data[j];
            int32_t type = fields[f];
            t.percent.push_back(type < 100 ? statsdump_statdefs[type].percent
                                           : statsdump_estatdefs[type - 100].percent);
        }
        return t;
    }();
    return tv;
}

int snprintf_si(char *p, size_t room, double number) {
    static const struct {
        double below, factor;
        const char *fmt;
    } kSteps[] = {{0.0009995, 1e6, "%.2lfu"},
                  {0.9995, 1e3, "%.2lfm"},
                  {999.5, 1.0, "%.2lf"},
                  {999500.0, 1e-3, "%.2lfk"},
                  {999500000.0, 1e-6, "%.2lfM"},
                  {999500000000.0, 1e-9, "%.2lfG"},
                  {999500000000000.0, 1e-12, "%.2lfT"}};
    for (const auto &s : kSteps) {
        if (number < s.below) return snprintf(p, room, s.fmt, number * s.factor);
    }
    return snprintf(p, room, "%.2lfP", number / 1e15);
}

int snprintf_iec(char *p, size_t room, double number) {
    if (number < 999.5) return snprintf(p, room, "%.2lf", number);
    for (int i = 1; i <= 5; i++) {
        number *= 0.0009765625;
        if (number < 999.5) return snprintf(p, room, "%.2lf%ci", number, "-KMGTP"[i]);
    }
    return snprintf(p, room, "%.2lfEi", number * 0.0009765625);
}

// One row of 60 values formatted with snprintf into memory: the reference that the table
// writer's formatter is compared with. Arg: 0 plain "%lf", 2 base-10, 4 base-2.
void BM_RowSnprintf(benchmark::State &state) {
    const TableValues &t = table_values();
    int kind = (int)state.range(0);
    char line[8192];
    uint32_t j = 0;
    for (auto _ : state) {
        const double *row = &t.v[j * t.nfields];
        char *p = line;
        char *end = line + sizeof line;
        p += snprintf(p, (size_t)(end - p), "%u", 1717416000u + 60 * j);
        for (size_t f = 0; f < t.nfields; f++) {
            double v = row[f];
            if (v < 0) {
                p += snprintf(p, (size_t)(end - p), "%c-", '\t');
                continue;
            }
            *p++ = '\t';
            if (kind == 2) {
                p += snprintf_si(p, (size_t)(end - p), v);
            } else if (kind == 4) {
                p += snprintf_iec(p, (size_t)(end - p), v);
            } else {
                p += snprintf(p, (size_t)(end - p), "%lf", v);
            }
            if (t.percent[f]) *p++ = '%';
        }
        *p++ = '\n';
        benchmark::DoNotOptimize(line);
        j = (j + 1) & (kRows - 1);
    }
    state.SetItemsProcessed((int64_t)state.iterations());
}

// The same row built with the table writer's own formatters, into memory.
void BM_RowFormatter(benchmark::State &state) {
    const TableValues &t = table_values();
    int kind = (int)state.range(0);
    char line[65536];
    uint32_t j = 0;
    for (auto _ : state) {
        const double *row = &t.v[j * t.nfields];
        char *p = statsdump::put_u32(line, 1717416000u + 60 * j);
        for (size_t f = 0; f < t.nfields; f++) {
            double v = row[f];
            *p++ = '\t';
            if (v < 0) {
                *p++ = '-';
                continue;
            }
            if (kind == 2) {
                p = statsdump::put_si(p, v);
            } else if (kind == 4) {
                p = statsdump::put_iec(p, v);
            } else {
                p = statsdump::put_fixed6(p, v);
            }
            if (t.percent[f]) *p++ = '%';
        }
        *p++ = '\n';
        benchmark::DoNotOptimize(line);
        j = (j + 1) & (kRows - 1);
    }
    state.SetItemsProcessed((int64_t)state.iterations());
}

}  // namespace

BENCHMARK_CAPTURE(BM_GetData, ucpu, "ucpu")->Arg(0)->Arg(3);
BENCHMARK_CAPTURE(BM_GetData, cpu, "cpu")->Arg(0)->Arg(3);
BENCHMARK_CAPTURE(BM_GetData, space, "space")->Arg(0)->Arg(3);
BENCHMARK(BM_GetDataAll)->Arg(0)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Table)->Arg(0)->Arg(2)->Arg(4)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RowSnprintf)->Arg(0)->Arg(2)->Arg(4);
BENCHMARK(BM_RowFormatter)->Arg(0)->Arg(2)->Arg(4);
