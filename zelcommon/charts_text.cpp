// SPDX-License-Identifier: Apache-2.0
// The chart bitmap's primitives: the data-colour ramps of the palette, the 5x9 label font, the
// unit-prefix table and the text stamp.
#include <string.h>

#include <algorithm>

#include "charts_priv.h"

namespace charts {

// Glyphs of 5 x 9 pixels, one byte per row from the top; bit 4 is the leftmost pixel column.
const uint8_t kFont[25][9] = {
    {0x0e, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0e, 0x00, 0x00},  // 0
    {0x04, 0x0c, 0x14, 0x04, 0x04, 0x04, 0x1f, 0x00, 0x00},  // 1
    {0x0e, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1f, 0x00, 0x00},  // 2
    {0x1f, 0x02, 0x04, 0x0e, 0x01, 0x11, 0x0e, 0x00, 0x00},  // 3
    {0x02, 0x06, 0x0a, 0x12, 0x1f, 0x02, 0x02, 0x00, 0x00},  // 4
    {0x1f, 0x10, 0x1e, 0x01, 0x01, 0x11, 0x0e, 0x00, 0x00},  // 5
    {0x06, 0x08, 0x10, 0x1e, 0x11, 0x11, 0x0e, 0x00, 0x00},  // 6
    {0x1f, 0x01, 0x02, 0x02, 0x04, 0x04, 0x04, 0x00, 0x00},  // 7
    {0x0e, 0x11, 0x11, 0x0e, 0x11, 0x11, 0x0e, 0x00, 0x00},  // 8
    {0x0e, 0x11, 0x11, 0x0f, 0x01, 0x02, 0x0c, 0x00, 0x00},  // 9
    {0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x04, 0x00, 0x00},  // 10 full stop
    {0x00, 0x00, 0x04, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00},  // 11 colon
    {0x08, 0x08, 0x09, 0x0a, 0x0c, 0x0a, 0x09, 0x00, 0x00},  // 12 k (kilo)
    {0x11, 0x1b, 0x15, 0x11, 0x11, 0x11, 0x11, 0x00, 0x00},  // 13 M (mega)
    {0x0e, 0x11, 0x10, 0x13, 0x11, 0x11, 0x0e, 0x00, 0x00},  // 14 G (giga)
    {0x1f, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04, 0x00, 0x00},  // 15 T (tera)
    {0x1e, 0x11, 0x11, 0x1e, 0x10, 0x10, 0x10, 0x00, 0x00},  // 16 P (peta)
    {0x1f, 0x10, 0x10, 0x1c, 0x10, 0x10, 0x1f, 0x00, 0x00},  // 17 E (exa)
    {0x1f, 0x01, 0x02, 0x04, 0x08, 0x10, 0x1f, 0x00, 0x00},  // 18 Z (zetta)
    {0x11, 0x11, 0x0a, 0x04, 0x04, 0x04, 0x04, 0x00, 0x00},  // 19 Y (yotta)
    {0x00, 0x00, 0x1e, 0x15, 0x15, 0x15, 0x15, 0x00, 0x00},  // 20 m (milli)
    {0x00, 0x00, 0x12, 0x12, 0x12, 0x12, 0x1d, 0x10, 0x10},  // 21 micro sign
    {0x19, 0x1a, 0x02, 0x04, 0x08, 0x0b, 0x13, 0x00, 0x00},  // 22 percent sign
    {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},  // 23 blank
    {0x1f, 0x11, 0x11, 0x11, 0x11, 0x11, 0x1f, 0x00, 0x00},  // 24 hollow box
};

// Glyph of the SI prefix of each scale index: micro, milli, none, k, M, G, T, P, E, Z, Y.
const uint8_t kJtab[11] = {21, 20, 23, 12, 13, 14, 15, 16, 17, 18, 19};

namespace {

constexpr uint32_t kRampEntries = 50;

// Start and end colour (red, green, blue) of the three data-colour ramps; each ramp ends where
// the next one begins.
constexpr uint8_t kDataColors[3][6] = {
    {4, 236, 241, 35, 134, 180},
    {35, 134, 180, 21, 47, 95},
    {21, 47, 95, 1, 4, 44},
};

// Entries 50..199 as red, green, blue triples, computed when the library is compiled. The
// colours accumulate step by step, so the stored entries follow the running sums rather than
// start + n * step (they differ where the exact value is a whole number).
struct DataPalette {
    uint8_t rgb[kDataEntries][3]{};

    constexpr DataPalette() {
        for (uint32_t rng = 0; rng < 3; rng++) {
            const uint8_t *c = kDataColors[rng];
            double r = c[0] + 0.5, gr = c[1] + 0.5, b = c[2] + 0.5;
            const double dr = (c[3] - c[0]) / 50.0;
            const double dg = (c[4] - c[1]) / 50.0;
            const double db = (c[5] - c[2]) / 50.0;
            for (uint32_t indx = 0; indx < kRampEntries; indx++) {
                uint8_t *entry = rgb[kRampEntries * rng + indx];
                entry[0] = static_cast<uint8_t>(r);
                entry[1] = static_cast<uint8_t>(gr);
                entry[2] = static_cast<uint8_t>(b);
                r += dr;
                gr += dg;
                b += db;
            }
        }
    }
};

constexpr DataPalette kDataPalette;

const DataPalette &data_palette() {
    return kDataPalette;
}

uint32_t entry_rgb(uint32_t entry) {
    const uint8_t *c = data_palette().rgb[entry - kFirstDataEntry];
    return (uint32_t{c[0]} << 16) | (uint32_t{c[1]} << 8) | c[2];
}

}  // namespace

void png_make_palette() {
    memcpy(g.png_header + kPaletteOffset + 3 * kFirstDataEntry, data_palette().rgb,
           sizeof(DataPalette::rgb));
}

void charts_puttext(int32_t posx, int32_t posy, uint8_t color, const uint8_t *data, uint32_t leng,
                    int32_t minx, int32_t maxx, int32_t miny, int32_t maxy) {
    // Nothing lands outside the bitmap, whatever clipping rectangle is asked for.
    minx = std::max(minx, 0);
    miny = std::max(miny, 0);
    maxx = std::min(maxx, static_cast<int32_t>(kChartStride) - 1);
    maxy = std::min(maxy, static_cast<int32_t>(kChartRows) - 1);
    int64_t usedw = 0, usedh = 0;
    for (uint32_t i = 0; i < leng; i++) {
        const int64_t px = int64_t{posx} + 6 * int64_t{i};
        const uint8_t code = data[i] < 24 ? data[i] : 24;
        for (int32_t fy = 0; fy < 9; fy++) {
            const uint8_t fbits = kFont[code][fy];
            if (fbits == 0) continue;
            const int64_t y = int64_t{posy} + fy;
            if (y < miny || y > maxy) continue;
            for (int32_t fx = 0; fx < 5; fx++) {
                if ((fbits & (1u << (4 - fx))) == 0) continue;
                const int64_t x = px + fx;
                if (x < minx || x > maxx) continue;
                g.chart[y * kChartStride + x] = color;
                usedw = std::max(usedw, x + 1);
                usedh = std::max(usedh, y + 1);
            }
        }
    }
    charts_chart_used(static_cast<uint32_t>(usedw), static_cast<uint32_t>(usedh));
}

void charts_chart_used(uint32_t w, uint32_t h) {
    g.chartusedw = std::min(std::max(w, g.chartusedw), kChartStride);
    g.chartusedh = std::min(std::max(h, g.chartusedh), kChartRows);
}

}  // namespace charts

extern "C" int charts_series_colours(uint32_t count, uint32_t series, uint32_t *bottom_rgb,
                                     uint32_t *top_rgb) {
    using namespace charts;
    if (count < 1 || count > kMaxSeries || series >= count) return -1;
    const uint32_t first = series_first_entry(count, series);
    if (bottom_rgb != nullptr) *bottom_rgb = entry_rgb(first);
    if (top_rgb != nullptr) *top_rgb = entry_rgb(first + series_span(count) - 1);
    return 0;
}
