// SPDX-License-Identifier: Apache-2.0
// Binary export of the store: the raw samples of one statistic, the assembled series of a
// chart over one or all ranges with the numbers a reader needs to scale them, the running
// totals, and one summary value of the newest minute samples. Records are big-endian.
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "charts_priv.h"
#include "datapack.h"

namespace charts {

namespace {

constexpr uint32_t kAllRanges = 9;  // range number that asks for ranges 0..3 together
constexpr uint32_t kSingleHeadSize = 8;
constexpr uint32_t kMultiHeadSize = 8;
constexpr uint32_t kBlockHeadSize = 13;

// The fields of a chart that a multi-range record carries.
struct ChartFields {
    uint8_t mode, percent, scale;
    uint16_t multiplier, divisor;
};

ChartFields chart_fields(uint32_t type) {
    if (type < g.statdefscount) {
        const statdef &d = g.statdefs[type];
        return {d.mode, d.percent, d.scale, d.multiplier, d.divisor};
    }
    const estatdef &e = g.estatdefs[type - kExtendedTypeBase];
    return {e.mode, e.percent, e.scale, e.multiplier, e.divisor};
}

// Time of the newest slot of a range, in seconds.
uint32_t range_ts(uint32_t range) {
    return g.timepoint[range] * kRangeSeconds[range];
}

// Writes `width` slots of a ring, newest first.
void put_ring_newest_first(uint8_t **ptr, const uint64_t *ring, uint32_t newest, uint32_t width) {
    for (uint32_t i = 0; i < width; i++) put64bit(ptr, ring[(newest - i) & kRingMask]);
}

uint32_t single_range(uint8_t *buff, uint32_t type, uint32_t range, uint32_t width) {
    if (type >= g.statdefscount || range >= kRanges) return 0;
    if (buff == nullptr) return kSingleHeadSize + 8 * width;
    put32bit(&buff, range_ts(range));
    put32bit(&buff, width);
    put_ring_newest_first(&buff, ring(type, range), g.pointers[range], width);
    return 0;
}

uint32_t multi_range(uint8_t *buff, uint32_t type, uint32_t range, uint32_t width) {
    const uint32_t scnt = charts_seriescnt(type);  // 1 for a base statistic
    if (scnt == 0) return 0;
    uint32_t rfirst, rlast;
    if (range == kAllRanges) {
        rfirst = 0, rlast = kRanges - 1;
    } else if (range < kRanges) {
        rfirst = rlast = range;
    } else {
        return 0;
    }
    const uint32_t n = rlast - rfirst + 1;
    if (buff == nullptr) return kMultiHeadSize + n * (kBlockHeadSize + 8 * scnt * width);

    const ChartFields f = chart_fields(type);
    put8bit(&buff, static_cast<uint8_t>(n));
    put8bit(&buff, static_cast<uint8_t>(scnt));
    put32bit(&buff, width);
    put8bit(&buff, f.percent);
    put8bit(&buff, f.scale);
    for (uint32_t r = rfirst; r <= rlast; r++) {
        // A slot of ranges 1..3 of an additive chart holds the sum of that many minute samples.
        const uint32_t rdiv = f.divisor * (f.mode == 0 ? kRangeMinutes[r] : 1);
        put8bit(&buff, static_cast<uint8_t>(r));
        put32bit(&buff, range_ts(r));
        put32bit(&buff, f.multiplier);
        put32bit(&buff, rdiv);
        uint64_t *tab = nullptr;
        for (uint32_t c = scnt; c >= 1; c--) {
            if (charts_filltab(&tab, r, type, c, width)) {
                for (uint32_t i = width; i > 0; i--) put64bit(&buff, tab[i - 1]);
            } else {
                memset(buff, 0, 8 * width);
                buff += 8 * width;
            }
        }
        free(tab);
    }
    return 0;
}

}  // namespace

}  // namespace charts

using namespace charts;

extern "C" uint32_t charts_makedata(uint8_t *buff, uint32_t number, uint32_t maxentries,
                                    uint8_t multimode) {
    uint32_t type, range;
    charts_statid_converter(number, &type, &range);
    const uint32_t width = std::min(maxentries, kRingLength);
    if (multimode == 0) return single_range(buff, type, range, width);
    return multi_range(buff, type, range, width);
}

extern "C" uint32_t charts_monotonic_data(uint8_t *buff) {
    if (buff == nullptr) return 2 + 8 * g.statdefscount;
    put16bit(&buff, static_cast<uint16_t>(g.statdefscount));
    for (uint32_t i = 0; i < g.statdefscount; i++) put64bit(&buff, g.monotonic[i]);
    return 0;
}

extern "C" uint64_t charts_get(uint32_t type, uint32_t numb) {
    if (numb == 0 || numb > kRingLength || type >= g.statdefscount) return 0;
    const uint64_t *slots = ring(type, 0);
    const uint32_t newest = g.pointers[0];
    const bool level = g.statdefs[type].mode != 0;
    uint64_t acc = 0;  // largest sample, or sum of the samples
    uint32_t cnt = 0;
    for (uint32_t i = 0; i < numb; i++) {
        const uint64_t v = slots[(newest - i) & kRingMask];
        if (v == CHARTS_NODATA) continue;
        acc = level ? std::max(acc, v) : acc + v;
        cnt++;
    }
    if (cnt == 0) return 0;
    return level ? acc : acc / cnt;
}
