// SPDX-License-Identifier: Apache-2.0
// CRC-32 throughput: the module's slicing CRC against zlib's crc32 on the same buffers, from the
// size of one PNG chunk header to 1 MiB.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <vector>

#include "bench_util.h"

namespace {

std::vector<uint8_t> make_buffer(size_t n) {
    std::vector<uint8_t> buf(n);
    uint32_t x = 2463534242u;
    for (auto &b : buf) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = (uint8_t)x;
    }
    return buf;
}

void BM_Mycrc32(benchmark::State &state) {
    zelbench::process_setup();
    auto buf = make_buffer((size_t)state.range(0));
    for (auto _ : state) {
        uint32_t c = mycrc32(0, buf.data(), (uint32_t)buf.size());
        benchmark::DoNotOptimize(c);
    }
    state.SetBytesProcessed((int64_t)state.iterations() * state.range(0));
}

void BM_ZlibCrc32(benchmark::State &state) {
    auto buf = make_buffer((size_t)state.range(0));
    for (auto _ : state) {
        uLong c = crc32(0L, buf.data(), (uInt)buf.size());
        benchmark::DoNotOptimize(c);
    }
    state.SetBytesProcessed((int64_t)state.iterations() * state.range(0));
}

void BM_Mycrc32Combine(benchmark::State &state) {
    zelbench::process_setup();
    uint32_t a = 0x12345678, b = 0x9ABCDEF0;
    for (auto _ : state) {
        a = mycrc32_combine(a, b, 1u << 20);
        benchmark::DoNotOptimize(a);
    }
}

// Building both tables, as the command does once at start-up.
void BM_Mycrc32Init(benchmark::State &state) {
    for (auto _ : state) mycrc32_init();
}

}  // namespace

BENCHMARK(BM_Mycrc32)->Arg(17)->Arg(772)->Arg(65536)->Arg(1 << 20);
BENCHMARK(BM_ZlibCrc32)->Arg(17)->Arg(772)->Arg(65536)->Arg(1 << 20);
BENCHMARK(BM_Mycrc32Combine);
BENCHMARK(BM_Mycrc32Init)->Unit(benchmark::kMicrosecond);
