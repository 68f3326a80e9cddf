// SPDX-License-Identifier: Apache-2.0
// Fuzz target: arbitrary chart numbers, maxentries and multimode for the binary exports.
//
// The store is set up once: the real catalogue in server mode on a data file with full rings
// for every statistic, caught up ten minutes (so the ring positions have wrapped) and given
// one sample. Input: records of 10 bytes: chart number (32-bit little-endian, any value),
// maxentries (32-bit), multimode, flags. Per record:
//   - charts_makedata: the size call, then the fill call into a heap buffer of exactly that
//     size (or a 16-byte guard buffer that must stay untouched when the size is 0), with the
//     record's layout checked against the size;
//   - charts_monotonic_data the same way;
//   - charts_get(type, numb) with the number (or its low byte, flag bit 2) and maxentries;
//   - with flag bit 1: charts_getdata of the number into exactly 4096 values.
// Flag bit 0 keeps maxentries below 512, so that small widths are common.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "charts.h"
#include "crc.h"
#include "fuzz_util.h"
#include "statsdump.h"
#include "strerr.h"

using namespace zelfuzz;

namespace {

constexpr size_t kRecordSize = 10;
constexpr uint32_t kStats = 48;

void check_makedata(uint32_t number, uint32_t maxentries, uint8_t multimode) {
    const uint32_t width = maxentries < 4096 ? maxentries : 4096;
    uint32_t size = charts_makedata(nullptr, number, maxentries, multimode);
    if (size == 0) {
        uint8_t guard[16];
        memset(guard, 0x5A, sizeof guard);
        ZELFUZZ_CHECK(charts_makedata(guard, number, maxentries, multimode) == 0);
        for (uint8_t b : guard) ZELFUZZ_CHECK(b == 0x5A);
        return;
    }
    // Exactly the announced size on the heap: any write past it is caught.
    uint8_t *buf = static_cast<uint8_t *>(malloc(size));
    memset(buf, 0xAA, size);
    ZELFUZZ_CHECK(charts_makedata(buf, number, maxentries, multimode) == 0);
    if (multimode == 0) {
        ZELFUZZ_CHECK(size == 8 + 8 * width);
        ZELFUZZ_CHECK(get32be(buf + 4) == width);
    } else {
        const uint32_t n = buf[0], scnt = buf[1];
        ZELFUZZ_CHECK(n == 1 || n == 4);
        ZELFUZZ_CHECK(scnt >= 1 && scnt <= 3);
        ZELFUZZ_CHECK(get32be(buf + 2) == width);
        ZELFUZZ_CHECK(size == 8 + n * (13 + 8 * scnt * width));
        for (uint32_t b = 0; b < n; b++) {
            const uint8_t *block = buf + 8 + b * (13 + 8 * scnt * width);
            ZELFUZZ_CHECK(n == 4 ? block[0] == b : block[0] <= 3);
            ZELFUZZ_CHECK(get32be(block + 9) != 0);  // the divisor of a real chart
        }
    }
    free(buf);
}

void check_monotonic() {
    uint32_t size = charts_monotonic_data(nullptr);
    ZELFUZZ_CHECK(size == 2 + 8 * kStats);
    std::vector<uint8_t> buf(size);
    ZELFUZZ_CHECK(charts_monotonic_data(buf.data()) == 0);
    ZELFUZZ_CHECK(buf[0] == 0 && buf[1] == kStats);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    setup_store_process();
    std::vector<std::string> names;
    for (uint32_t i = 0; i < kStats; i++) names.push_back(statsdump_statdefs[i].name);
    std::string file = data_file(names, 4096, kNewestMinute);
    std::string path = scratch_dir() + "/export.zel";
    put_file(path, file.data(), file.size());
    if (charts_init(statsdump_calcdefs, statsdump_statdefs, statsdump_estatdefs, path.c_str(), 0) !=
        0) {
        abort();
    }
    std::vector<uint64_t> sample(kStats);
    for (uint32_t i = 0; i < kStats; i++) sample[i] = pattern_value(i, 0, i * 3);
    charts_add(sample.data(), kNow);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    for (size_t pos = 0; pos + kRecordSize <= size; pos += kRecordSize) {
        const uint8_t *p = data + pos;
        const uint32_t number = get32le(p);
        uint32_t maxentries = get32le(p + 4);
        const uint8_t multimode = p[8];
        const uint8_t flags = p[9];
        if (flags & 1) maxentries &= 0x1FF;

        check_makedata(number, maxentries, multimode);
        check_monotonic();
        (void)charts_get((flags & 4) ? (number & 0xFF) : number, maxentries);
        if (flags & 2) {
            std::vector<double> values(4096, -7.0);
            uint32_t ts = 0, rsec = 0;
            charts_getdata(values.data(), &ts, &rsec, number);
            for (double v : values) ZELFUZZ_CHECK(v == -1.0 || v == -7.0 || v >= 0.0);
        }
    }
    return 0;
}
