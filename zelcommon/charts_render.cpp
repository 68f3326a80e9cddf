// SPDX-License-Identifier: Apache-2.0
// The chart renderer: one stacked bar picture of up to three series of a chart in one range,
// one bitmap column per slot (newest at the right), with frame, value axis and time axis.
//
// Picture layout for a data area of width x height: data area x 43 .. width+42, y 6 ..
// height+5; bottom axis at y height+6; frame lines at x 42 and width+43; value labels left of
// x 38; time labels at y height+10 .. height+18.
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "charts_priv.h"
#include "wide.h"

namespace charts {

namespace {

constexpr uint32_t kAreaX = 43;
constexpr uint32_t kAreaY = 6;
constexpr uint8_t kTransparent = 0;
constexpr uint8_t kWhite = 1;
constexpr uint8_t kAxisColor = 2;
constexpr uint8_t kGridColor = 3;
constexpr uint8_t kLabelColor = 4;
constexpr uint8_t kHatchColor = 5;
constexpr uint8_t kPercentGlyph = 22;
constexpr uint8_t kBoxGlyph = 24;
constexpr uint8_t kFullStop = 10;

// One-minute samples summed by one slot of each range: a counter's axis shows the average per
// minute while its bars keep the slot sums.
constexpr uint32_t kRangeDivisor[kRanges] = {1, 6, 30, 1440};

// Chart definition fields the renderer needs, for a base statistic or an extended chart.
struct ChartDef {
    bool known;
    uint8_t mode, percent, scale;
    uint16_t multiplier, divisor;
};

ChartDef chart_definition(uint32_t type) {
    if (type < g.statdefscount) {
        const statdef &d = g.statdefs[type];
        return {true, d.mode, d.percent, d.scale, d.multiplier, d.divisor};
    }
    if (type >= kExtendedTypeBase && type - kExtendedTypeBase < g.estatdefscount) {
        const estatdef &d = g.estatdefs[type - kExtendedTypeBase];
        return {true, d.mode, d.percent, d.scale, d.multiplier, d.divisor};
    }
    return {false, 1, 0, 0, 1, 1};
}

// Palette index of each series in each data-area row: the gradient follows the row, so one
// series spans all three ramps, two share them in halves and three get one ramp each.
struct RowColors {
    uint8_t series[kMaxSeries][1000];

    RowColors(uint32_t colors, uint32_t height) {
        const uint32_t span = series_span(colors);
        const uint32_t first[kMaxSeries] = {series_first_entry(colors, 0),
                                            series_first_entry(colors, 1),
                                            series_first_entry(colors, 2)};
        for (uint32_t k = 0; k < height; k++) {
            const uint32_t t = height - 1 - k;  // 0 in the bottom row
            const uint32_t shade = (span * t) / height;
            for (uint32_t s = 0; s < kMaxSeries; s++) {
                series[s][k] = static_cast<uint8_t>(first[s] + shade);
            }
        }
    }
};

// The value axis shows x = max * multiplier / divisor. When that passes the 64-bit range the
// axis is chosen for x / 1000^k (rounded up) with the unit prefix k steps higher; returns k.
uint32_t shown_axis_value(uint64_t max, const ChartDef &def, uint64_t *x) {
    zelcommon::Wide v = zelcommon::wide_div(zelcommon::wide_mul(max, def.multiplier), def.divisor);
    uint32_t k = 0;
    while (v.hi != 0) {
        v = zelcommon::wide_div(zelcommon::wide_add(v, 999), 1000);
        k++;
    }
    *x = v.lo;
    return k;
}

// Label of value grid line j: j * base with mode decimals, the unit prefix and a percent sign.
uint32_t compose_label(uint32_t d, uint8_t mode, uint8_t scale, uint8_t percent, uint8_t *text) {
    uint32_t l = 0;
    if (mode == 2) {
        text[l++] = static_cast<uint8_t>(d / 100);
        text[l++] = kFullStop;
        text[l++] = static_cast<uint8_t>((d % 100) / 10);
        text[l++] = static_cast<uint8_t>(d % 10);
    } else if (mode == 1) {
        if (d >= 100) {
            text[l++] = static_cast<uint8_t>(d / 100);
            text[l++] = static_cast<uint8_t>((d % 100) / 10);
        } else {
            text[l++] = static_cast<uint8_t>(d / 10);
        }
        text[l++] = kFullStop;
        text[l++] = static_cast<uint8_t>(d % 10);
    } else if (mode == 0) {
        if (d >= 100) text[l++] = static_cast<uint8_t>(d / 100);
        if (d >= 10) text[l++] = static_cast<uint8_t>((d % 100) / 10);
        text[l++] = static_cast<uint8_t>(d % 10);
    }
    if (scale > 10) {
        text[l++] = kBoxGlyph;
    } else if (scale != 2) {
        text[l++] = kJtab[scale];
    }
    if (percent != 0) text[l++] = kPercentGlyph;
    return l;
}

// Row index above which a bar of cumulative value c starts: height - K(c), where K is the bar
// height in rows, truncated; -1 for a bar that fills the area. Bars taller than the area are cut
// at the top.
int16_t band_edge(uint64_t c, uint32_t height, double d) {
    double k = static_cast<double>(uint64_t{height} * c) / d;
    if (!(k < height + 1.0)) k = height + 1.0;
    return static_cast<int16_t>(static_cast<int32_t>(height) - static_cast<int32_t>(k));
}

// Band edges of every column, in data-area rows from the top: rows k <= white[i] are white,
// then series 1 down to row s1[i], series 2 down to row s2[i], series 3 below.
struct Bands {
    int16_t white[kRingLength];
    int16_t s1[kRingLength];
    int16_t s2[kRingLength];
    bool hatched[kRingLength];
};

// Paints the bars row by row: one pass per row over the band edges of all columns.
void paint_bars(const Bands &b, const RowColors &rc, uint32_t width, uint32_t height) {
    for (uint32_t k = 0; k < height; k++) {
        uint8_t *row = g.chart + (kAreaY + k) * kChartStride + kAreaX;
        const int16_t kk = static_cast<int16_t>(k);
        const uint8_t c1 = rc.series[0][k], c2 = rc.series[1][k], c3 = rc.series[2][k];
        for (uint32_t i = 0; i < width; i++) {
            uint8_t v = c3;
            v = kk <= b.s2[i] ? c2 : v;
            v = kk <= b.s1[i] ? c1 : v;
            v = kk <= b.white[i] ? kWhite : v;
            row[i] = v;
        }
    }
    // Columns without data: grey diagonals rising to the right on white.
    for (uint32_t i = 0; i < width; i++) {
        if (!b.hatched[i]) continue;
        uint8_t *p = g.chart + kAreaY * kChartStride + kAreaX + i;
        for (uint32_t k = (3 - i % 3) % 3; k < height; k += 3) p[k * kChartStride] = kHatchColor;
    }
}

// A clear bitmap: only its drawn area can hold anything but the background. Everything the
// chart of a width x height data area draws stays in its picture.
void clear_bitmap(uint32_t width, uint32_t height) {
    if (g.chartusedw == kChartStride) {
        memset(g.chart, kTransparent, size_t{g.chartusedh} * kChartStride);
    } else {
        for (uint32_t y = 0; y < g.chartusedh; y++) {
            memset(g.chart + y * kChartStride, kTransparent, g.chartusedw);
        }
    }
    g.chartusedw = 0;
    g.chartusedh = 0;
    charts_chart_used(width + 50, height + 20);
}

// The series of a chart, stacked in source slot order; a slot without a source stays absent.
struct ChartSeries {
    uint64_t *tab[kMaxSeries] = {nullptr, nullptr, nullptr};
    const uint64_t *series[kMaxSeries] = {nullptr, nullptr, nullptr};
    uint32_t colors = 0;  // how many series share the data colours

    ChartSeries(uint32_t type, uint32_t range, uint32_t width) {
        uint8_t got[kMaxSeries];
        for (uint32_t s = 0; s < kMaxSeries; s++) {
            got[s] = charts_filltab(&tab[s], range, type, s + 1, width);
        }
        colors = got[2] ? 3 : got[1] ? 2 : got[0];
        for (uint32_t s = 0; s < kMaxSeries; s++) {
            if (got[s] && s < colors) series[s] = tab[s];
        }
    }
    ~ChartSeries() {
        for (uint64_t *t : tab) free(t);
    }
    ChartSeries(const ChartSeries &) = delete;
    ChartSeries &operator=(const ChartSeries &) = delete;

    // Largest stacked value, no data counting as 0.
    uint64_t stacked_max(uint32_t width) const {
        uint64_t max = 0;
        for (uint32_t i = 0; i < width; i++) {
            uint64_t sum = 0;
            for (const uint64_t *ser : series) {
                if (ser != nullptr && ser[i] != CHARTS_NODATA) sum += ser[i];
            }
            max = std::max(max, sum);
        }
        return max;
    }

    // Every value (of every slot's series, shown or not) in thousands.
    void to_thousands(uint32_t width) {
        for (uint64_t *ser : tab) {
            if (ser == nullptr) continue;
            for (uint32_t i = 0; i < width; i++) {
                if (ser[i] != CHARTS_NODATA) ser[i] /= 1000;
            }
        }
    }
};

// The value axis: ypts grid steps of base up to the value dmax (in stored units) at the top.
struct ValueAxis {
    uint32_t ypts;
    uint8_t scale;
    uint8_t mode = 0;
    uint8_t percent = 0;
    uint16_t base = 0;
    double dmax;
};

// The axis of a chart of the given definition whose largest stacked value is max (after
// scaling by 1000^scale).
ValueAxis value_axis(const ChartDef &def, uint32_t range, uint32_t height, uint64_t max,
                     uint8_t scale) {
    const uint32_t n = range < kRanges ? kRangeDivisor[range] : 1;
    const bool counter = def.known && def.mode == 0;
    if (counter) max = (max + n - 1) / n;

    ValueAxis a;
    a.ypts = height / 20;
    a.scale = scale;
    if (def.known) {
        uint64_t x;
        const uint32_t shift = shown_axis_value(max, def, &x);
        a.scale = static_cast<uint8_t>(a.scale + def.scale + shift);
        a.percent = def.percent;
        double top = charts_fixmax(x, a.ypts, &a.scale, &a.mode, &a.base);
        for (uint32_t k = 0; k < shift; k++) top *= 1000.0;
        a.dmax = def.divisor * top / def.multiplier;
    } else {
        a.dmax = charts_fixmax(max, a.ypts, &a.scale, &a.mode, &a.base);
    }
    if (counter) a.dmax *= n;
    return a;
}

// Per column the three band edges of the bars.
void fill_bands(Bands &bands, const ChartSeries &cs, uint32_t width, uint32_t height, double dmax) {
    for (uint32_t i = 0; i < width; i++) {
        uint64_t c[kMaxSeries] = {0, 0, 0};  // cumulative from series 3 upwards
        bool data = false;
        for (int32_t s = kMaxSeries - 1; s >= 0; s--) {
            uint64_t v = 0;
            if (cs.series[s] != nullptr && cs.series[s][i] != CHARTS_NODATA) {
                v = cs.series[s][i];
                data = true;
            }
            c[s] = (s + 1 < static_cast<int32_t>(kMaxSeries) ? c[s + 1] : 0) + v;
        }
        bands.hatched[i] = !data;
        if (!data) {
            bands.white[i] = bands.s1[i] = bands.s2[i] = static_cast<int16_t>(height);
            continue;
        }
        double d = dmax;
        if (c[0] > (UINT64_C(1) << 48)) {  // keep height * c within 64 bits
            for (uint64_t &v : c) v >>= 16;
            d = dmax / 65536;
        }
        bands.white[i] = band_edge(c[0], height, d);
        bands.s1[i] = band_edge(c[1], height, d);
        bands.s2[i] = band_edge(c[2], height, d);
    }
}

void draw_frame(uint32_t width, uint32_t height) {
    memset(g.chart + (height + 6) * kChartStride + 40, kAxisColor, width + 6);
    for (uint32_t y = 2; y <= height + 8; y++) {
        g.chart[y * kChartStride + 42] = kAxisColor;
        g.chart[y * kChartStride + width + 43] = kAxisColor;
    }
}

// Value axis: labels, ticks and dotted grid rows.
void draw_value_axis(const ValueAxis &a, uint32_t width, uint32_t height) {
    for (uint32_t j = 0; j <= a.ypts; j++) {
        const uint32_t y = height + 6 - 20 * j;
        uint8_t text[8];
        const uint32_t l = compose_label(j * a.base, a.mode, a.scale, a.percent, text);
        if (l > 0) {
            charts_puttext(39 - 6 * static_cast<int32_t>(l), static_cast<int32_t>(y) - 3,
                           kLabelColor, text, l, 0, kChartStride - 1, 0, kChartRows - 1);
        }
        uint8_t *row = g.chart + y * kChartStride;
        row[40] = kAxisColor;
        row[41] = kAxisColor;
        if (j >= 1 && width >= 2) {
            for (uint32_t o = 1; o < width; o += 2) row[kAreaX + o] = kGridColor;
        }
    }
}

}  // namespace

void charts_makechart(uint32_t type, uint32_t range, uint32_t width, uint32_t height) {
    // The data area fits the bitmap and has room for at least one value grid step.
    width = std::min(width, kRingLength);
    height = std::clamp(height, 20u, kChartRows - 20);
    clear_bitmap(width, height);

    ChartSeries cs(type, range, width);
    uint64_t max = cs.stacked_max(width);
    // Values above 10^18 are drawn in thousands, so that the axis keeps its precision.
    uint8_t scale = 0;
    if (max > UINT64_C(1000000000000000000)) {
        cs.to_thousands(width);
        max /= 1000;
        scale = 1;
    }
    const ValueAxis axis = value_axis(chart_definition(type), range, height, max, scale);

    // Bars: per column the three band edges, then the area row by row.
    Bands bands;
    fill_bands(bands, cs, width, height, axis.dmax);
    paint_bars(bands, RowColors(cs.colors, height), width, height);

    draw_frame(width, height);
    charts_timeaxis(range, width, height);
    draw_value_axis(axis, width, height);
}

}  // namespace charts
