// SPDX-License-Identifier: Apache-2.0
// Data queries: chart numbers (decimal type * 10 + range, or a statid whose letter-case bits
// carry the range), the factor from stored numbers to shown values, and whole charts as 4096
// values with the time of the newest slot.
#include <stdlib.h>

#include <algorithm>

#include "charts_priv.h"
#include "cpu.h"

namespace charts {

namespace {

constexpr uint32_t kDecimalFormMax = 0xFFFFFF;
constexpr uint32_t kStatidMask = 0xDFDFDFDF;  // every letter-case bit cleared
constexpr uint32_t kCaseBit = 0x20;
constexpr uint32_t kNoChart = 0xFFFFFFFF;

// Per-minute factor of an additive statistic's slot, by range.
constexpr double kRangeFactor[kRanges] = {1.0, 1.0 / 6.0, 1.0 / 30.0, 1.0 / 1440.0};

// Unit step of the stored number, by scale: micro, milli, plain, kilo, mega, giga.
double apply_scale(double f, uint8_t scale) {
    switch (scale) {
        case 0:
            return f / 1000000.0;
        case 1:
            return f / 1000.0;
        case 3:
            return f * 1000.0;
        case 4:
            return f * 1000000.0;
        case 5:
            return f * 1000000000.0;
        default:
            return f;
    }
}

// A stored number or a sum of them as a double.
inline double to_double(uint64_t v) {
    // Below 2^63 the signed conversion gives the same double and needs no fix-up.
    const int64_t s = static_cast<int64_t>(v);
    return s >= 0 ? static_cast<double>(s) : static_cast<double>(v);
}

// The sum of C series (one, two or three) over n slots as shown values: a slot with no data in
// every series has none (-1), otherwise the series with data add up and are scaled.
template <uint32_t C>
void sum_series_plain(double *data, const uint64_t *const *from, uint32_t n, double mul) {
    for (uint32_t i = 0; i < n; i++) {
        uint64_t sum = 0;
        bool any = false;
        for (uint32_t j = 0; j < C; j++) {
            const uint64_t v = from[j][i];
            if (v != CHARTS_NODATA) {
                sum += v;
                any = true;
            }
        }
        data[i] = any ? to_double(sum) * mul : -1.0;
    }
}

#if ZELCOMMON_X86_VECTORS
// The same four slots at a time, for the sums below 2^52, the ones that matter: such a sum's
// bits joined to the exponent of 2^52 are the double 2^52 + sum, from which 2^52 takes the exact
// sum. A group holding a larger sum goes the plain way.
template <uint32_t C>
__attribute__((target("avx2"))) void sum_series_avx2(double *data, const uint64_t *const *from,
                                                     uint32_t n, double mul) {
    const __m256i nodata = _mm256_set1_epi64x(int64_t(CHARTS_NODATA));
    const __m256i high = _mm256_set1_epi64x(int64_t(0xFFF0000000000000ULL));
    const __m256i exp52 = _mm256_set1_epi64x(int64_t(0x4330000000000000ULL));
    const __m256d two52 = _mm256_set1_pd(0x1p52);
    const __m256d vmul = _mm256_set1_pd(mul);
    const __m256d none = _mm256_set1_pd(-1.0);
    const uint64_t *at[C];
    for (uint32_t j = 0; j < C; j++) at[j] = from[j];
    const double *const end = data + n;
    for (const double *const end4 = data + (n & ~3U); data != end4; data += 4) {
        __m256i sum = _mm256_setzero_si256();
        __m256i empty = nodata;
        for (uint32_t j = 0; j < C; j++) {
            const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(at[j]));
            const __m256i e = _mm256_cmpeq_epi64(v, nodata);
            sum = _mm256_add_epi64(sum, _mm256_andnot_si256(e, v));
            empty = _mm256_and_si256(empty, e);
        }
        if (!_mm256_testz_si256(sum, high)) {
            sum_series_plain<C>(data, at, 4, mul);
        } else {
            const __m256d x =
                _mm256_sub_pd(_mm256_castsi256_pd(_mm256_or_si256(sum, exp52)), two52);
            _mm256_storeu_pd(
                data, _mm256_blendv_pd(_mm256_mul_pd(x, vmul), none, _mm256_castsi256_pd(empty)));
        }
        for (uint32_t j = 0; j < C; j++) at[j] += 4;
    }
    sum_series_plain<C>(data, at, uint32_t(end - data), mul);
}
#endif

template <uint32_t C>
void sum_series(double *data, const uint64_t *const *from, uint32_t n, double mul) {
#if ZELCOMMON_X86_VECTORS
    if (zelcommon::has_avx2()) return sum_series_avx2<C>(data, from, n, mul);
#endif
    sum_series_plain<C>(data, from, n, mul);
}

bool is_chart_type(uint32_t type) {
    return type < g.statdefscount ||
           (type >= kExtendedTypeBase && type - kExtendedTypeBase < g.estatdefscount);
}

}  // namespace

}  // namespace charts

using namespace charts;

extern "C" void charts_statid_converter(uint32_t number, uint32_t *chtype, uint32_t *chrange) {
    if (number <= kDecimalFormMax) {
        *chtype = number / 10;
        *chrange = number % 10;
        return;
    }
    // The case bit of the fourth character is range bit 1, of the third 2, the second 4, the
    // first 8.
    uint32_t range = 0;
    for (uint32_t b = 0; b < 4; b++) {
        if (number & (kCaseBit << (8 * b))) range |= 1U << b;
    }
    const uint32_t key = number & kStatidMask;
    for (uint32_t i = 0; i < g.statdefscount; i++) {
        if ((g.statdefs[i].statid & kStatidMask) == key) {
            *chtype = i;
            *chrange = range;
            return;
        }
    }
    for (uint32_t i = 0; i < g.estatdefscount; i++) {
        if ((g.estatdefs[i].statid & kStatidMask) == key) {
            *chtype = kExtendedTypeBase + i;
            *chrange = range;
            return;
        }
    }
    *chtype = kNoChart;
    *chrange = kNoChart;
}

extern "C" uint32_t charts_getmaxleng(void) {
    return kRingLength;
}

extern "C" double charts_data_multiplier(uint32_t type, uint32_t range) {
    uint8_t mode, scale;
    uint16_t multiplier, divisor;
    if (type < g.statdefscount) {
        const statdef &d = g.statdefs[type];
        mode = d.mode, scale = d.scale, multiplier = d.multiplier, divisor = d.divisor;
    } else if (type >= kExtendedTypeBase && type - kExtendedTypeBase < g.estatdefscount) {
        const estatdef &e = g.estatdefs[type - kExtendedTypeBase];
        mode = e.mode, scale = e.scale, multiplier = e.multiplier, divisor = e.divisor;
    } else {
        return 1.0;
    }
    double f = 1.0;
    if (mode == 0 && range >= 1 && range < kRanges) f = kRangeFactor[range];
    f = f * multiplier / divisor;
    return apply_scale(f, scale);
}

extern "C" void charts_getdata(double *data, uint32_t *timestamp, uint32_t *rsec, uint32_t number) {
    uint32_t type, range;
    charts_statid_converter(number, &type, &range);
    if (!is_chart_type(type) || data == nullptr || timestamp == nullptr || range >= kRanges) {
        return;
    }
    const double mul = charts_data_multiplier(type, range);

    // Only the series that were assembled take part in the sum; a source slot without a
    // series (also one between two valid slots) adds nothing. Statistics are read in their
    // rings; only calc programs need room of their own.
    SeriesWindow w[3];
    uint64_t *scratch = nullptr;
    if (type >= kExtendedTypeBase) {
        scratch = static_cast<uint64_t *>(malloc(sizeof(uint64_t) * kRingLength * 3));
        charts_passert(scratch, "datatab");
    }
    uint32_t c = 0;
    for (uint32_t cno = 1; cno <= 3; cno++) {
        uint64_t *room = scratch != nullptr ? scratch + size_t(kRingLength) * c : nullptr;
        if (series_window(type, cno, range, kRingLength, room, &w[c])) c++;
    }

    *rsec = kRangeSeconds[range];
    *timestamp = *rsec * g.timepoint[range];

    if (c == 1) {  // most charts: one series, no sum
        const SeriesWindow &s = w[0];
        sum_series<1>(data, &s.run1, s.len1, mul);
        sum_series<1>(data + s.len1, &s.run2, s.len2, mul);
    } else if (c > 1) {
        // The sum in pieces where every series is contiguous: a statistic's window breaks
        // where its ring wraps, a calc program's does not.
        uint32_t at = 0;
        while (at < kRingLength) {
            const uint64_t *from[3];
            uint32_t end = kRingLength;
            for (uint32_t j = 0; j < c; j++) {
                const SeriesWindow &s = w[j];
                if (at < s.len1) {
                    from[j] = s.run1 + at;
                    end = std::min(end, s.len1);
                } else {
                    from[j] = s.run2 + (at - s.len1);
                }
            }
            if (c == 2) {
                sum_series<2>(data + at, from, end - at, mul);
            } else {
                sum_series<3>(data + at, from, end - at, mul);
            }
            at = end;
        }
    } else {
        for (uint32_t i = 0; i < kRingLength; i++) data[i] = -1.0;
    }
    free(scratch);
}

extern "C" uint32_t charts_range_seconds(uint32_t range) {
    return range < charts::kRanges ? charts::kRangeSeconds[range] : 0;
}
