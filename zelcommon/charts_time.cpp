// SPDX-License-Identifier: Apache-2.0
// Sampling and time keeping: period numbers of the four ranges in local time, the wall-clock
// keys of their newest slots, and the merge of one sample vector into every range.
//
// Local seconds are seconds since 1970 UTC plus the local offset in force (daylight saving
// included), as a signed 32-bit number; the period number of range r is local seconds divided
// by the range's period, so slots start on local wall-clock boundaries.
#include <string.h>
#include <time.h>

#include "charts_priv.h"

namespace charts {
namespace {

// Wall-clock fields of a moment; all zero when the moment cannot be broken down.
struct tm breakdown(uint32_t ts, bool local) {
    struct tm tm;
    time_t t = (time_t)ts;
    if ((local ? localtime_r(&t, &tm) : gmtime_r(&t, &tm)) == nullptr) memset(&tm, 0, sizeof tm);
    return tm;
}

void set_keys(uint32_t range, const struct tm &tm) {
    const uint32_t min = (uint32_t)tm.tm_min;
    const uint32_t hour = (uint32_t)tm.tm_hour;
    switch (range) {
        case 0:
            g.shmin = min;
            g.shhour = hour;
            break;
        case 1:
            g.medmin = min;
            g.medhour = hour;
            break;
        case 2:
            g.lnghalfhour = 2 * hour + (min >= 30 ? 1 : 0);
            g.lngmday = (uint32_t)tm.tm_mday;
            g.lngmonth = (uint32_t)tm.tm_mon + 1;
            g.lngyear = (uint32_t)tm.tm_year + 1900;
            break;
        default:
            break;  // the day range is labelled with the date keys of range 2
    }
}

// Opens n new slots in range r (n <= 4096): each becomes the newest in turn and starts empty in
// every statistic's ring. A gap of a whole ring or more empties the ring and leaves the newest
// slot where it was.
void advance(uint32_t r, uint32_t n) {
    const uint32_t first = (g.pointers[r] + 1) & kRingMask;
    const uint32_t head = n < kRingLength - first ? n : kRingLength - first;
    for (uint32_t i = 0; i < g.statdefscount; i++) {
        uint64_t *ring = g.series[i][r];
        memset(ring + first, 0xFF, (size_t)head * sizeof(uint64_t));
        memset(ring, 0xFF, (size_t)(n - head) * sizeof(uint64_t));
    }
    g.pointers[r] = (g.pointers[r] + n) & kRingMask;
}

// Merges one sample vector into ring index s of range r: an empty slot takes the sample, an
// additive statistic sums, a level statistic keeps the larger value.
void merge(uint32_t r, uint32_t s, const uint64_t *data) {
    for (uint32_t i = 0; i < g.statdefscount; i++) {
        uint64_t &slot = g.series[i][r][s];
        const uint64_t v = data[i];
        if (slot == CHARTS_NODATA) {
            slot = v;
        } else if (g.statdefs[i].mode == 0) {
            slot += v;
        } else if (v > slot) {
            slot = v;
        }
    }
}

}  // namespace
}  // namespace charts

using namespace charts;

extern "C" void charts_inittimepointers(void) {
    struct tm tm;
    int32_t local;
    if (g.timepoint[0] != 0) {
        // The file's newest minute already counts local time: its UTC breakdown is the local
        // wall clock.
        const uint32_t ts = g.timepoint[0] * 60u;
        tm = breakdown(ts, false);
        local = (int32_t)ts;
    } else {
        const uint32_t ts = now();
        tm = breakdown(ts, true);
        local = (int32_t)((int64_t)ts + tm.tm_gmtoff);
    }
    for (uint32_t r = 0; r < kRanges; r++) {
        g.timepoint[r] = (uint32_t)(local / (int32_t)kRangeSeconds[r]);
        set_keys(r, tm);
    }
}

extern "C" void charts_add(const uint64_t *data, uint32_t datats) {
    load_all_rings();
    if (data != nullptr) {
        for (uint32_t i = 0; i < g.statdefscount; i++) g.monotonic[i] += data[i];
    }
    const struct tm tm = breakdown(datats, true);
    const int32_t local = (int32_t)((int64_t)datats + tm.tm_gmtoff);
    for (uint32_t r = 0; r < kRanges; r++) {
        const int32_t t = local / (int32_t)kRangeSeconds[r];
        int32_t delta = (int32_t)((uint32_t)t - g.timepoint[r]);
        if (delta > 0) {
            advance(r, delta < (int32_t)kRingLength ? (uint32_t)delta : kRingLength);
            g.timepoint[r] = (uint32_t)t;
            set_keys(r, tm);
            delta = 0;
        }
        // A late sample goes to the slot of its own period while that slot is still in the ring.
        if (data != nullptr && delta >= -(int32_t)kRingMask) {
            merge(r, (g.pointers[r] + (uint32_t)delta) & kRingMask, data);
        }
    }
}
