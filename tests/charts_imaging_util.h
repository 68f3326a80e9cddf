// SPDX-License-Identifier: Apache-2.0
// A small charts store for the imaging tests: a custom catalogue, empty rings with the newest
// slot at ring index 4095, and helpers to place values and read or predict bitmap pixels.
#ifndef ZEL_TESTS_CHARTS_IMAGING_UTIL_H
#define ZEL_TESTS_CHARTS_IMAGING_UTIL_H

#include <gtest/gtest.h>
#include <string.h>

#include <sstream>
#include <string>
#include <vector>

#include "charts_priv.h"
#include "crc.h"

namespace imgtest {

using namespace charts;

// Chart types of the test catalogue.
enum : uint32_t {
    kA = 0,      // level statistic, shown as stored
    kB = 1,      // level statistic
    kC = 2,      // level statistic
    kCtr = 3,    // counter (slot sums)
    kPct = 4,    // percentage
    kBig = 5,    // level statistic with multiplier 8000
    kTwo = 100,  // a below b
    kThree = 101,
    kNone = 102,  // no valid source
};

inline const uint32_t kCalcs[] = {kCalcListEnd};
inline const statdef kStats[] = {
    {"a", 0x41414141, 1, 0, 2, 1, 1},   {"b", 0x42424242, 1, 0, 2, 1, 1},
    {"c", 0x43434343, 1, 0, 2, 1, 1},   {"ctr", 0x43545252, 0, 0, 2, 1, 1},
    {"pct", 0x50435454, 1, 1, 2, 1, 1}, {"big", 0x42494747, 1, 0, 2, 8000, 1},
    {nullptr, 0, 0, 0, 0, 0, 0},
};
inline const estatdef kEStats[] = {
    {"two", 0x54574f4f, 1, 2, 0, 1, 0, 2, 1, 1},
    {"three", 0x54485245, 1, 2, 3, 1, 0, 2, 1, 1},
    {"none", 0x4e4f4e45, 0, 0, 0, 1, 0, 2, 1, 1},
    {nullptr, 0, 0, 0, 0, 0, 0, 0, 0, 0},
};

class StoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        static bool crc_ready = false;
        if (!crc_ready) mycrc32_init();
        crc_ready = true;
        ASSERT_EQ(0, charts_init(kCalcs, kStats, kEStats, "/nonexistent-dir/none.zel", 0));
        for (uint32_t i = 0; i < g.statdefscount; i++) {
            for (uint32_t r = 0; r < kRanges; r++) {
                memset(charts::ring(i, r), 0xFF, kRingBytes);
                g.pointers[r] = kRingMask;
            }
        }
        // Range-1 hour lines every 10 columns at columns width - 1 - 10 m.
        g.medhour = 1;
        g.medmin = 0;
    }
    void TearDown() override { charts_term(); }

    // Value of statistic stat at window column i of a chart width columns wide.
    static void put(uint32_t stat, uint32_t range, uint32_t width, uint32_t i, uint64_t value) {
        charts::ring(stat, range)[(g.pointers[range] + 1 - width + i) & kRingMask] = value;
    }
};

inline uint8_t px(uint32_t x, uint32_t y) {
    return g.chart[y * kChartStride + x];
}

// Glyph codes of a label written with characters: digits, '.', ':', the prefixes k M G T P E
// Z Y, 'm' milli, 'u' micro, '%', ' ' blank, '#' hollow box.
inline std::vector<uint8_t> codes(const std::string &s) {
    static const std::string others = ".:kMGTPEZYmu% #";
    std::vector<uint8_t> out;
    for (char ch : s) {
        if (ch >= '0' && ch <= '9') {
            out.push_back(static_cast<uint8_t>(ch - '0'));
        } else {
            out.push_back(static_cast<uint8_t>(10 + others.find(ch)));
        }
    }
    return out;
}

// An expected picture, drawn independently of the renderer.
struct Picture {
    uint32_t w, h;
    std::vector<uint8_t> pix;
    Picture(uint32_t w_, uint32_t h_) : w(w_), h(h_), pix(size_t{w_} * h_, 0) {}
    uint8_t &at(int64_t x, int64_t y) { return pix[y * w + x]; }
    // Label text with its glyphs, clipped to columns minx..maxx.
    void text(int64_t posx, int64_t posy, const std::string &s, uint8_t color, int64_t minx,
              int64_t maxx) {
        std::vector<uint8_t> c = codes(s);
        for (size_t i = 0; i < c.size(); i++) {
            for (int fy = 0; fy < 9; fy++) {
                for (int fx = 0; fx < 5; fx++) {
                    if (!(kFont[c[i]][fy] & (16 >> fx))) continue;
                    int64_t x = posx + 6 * static_cast<int64_t>(i) + fx, y = posy + fy;
                    if (x >= minx && x <= maxx && x >= 0 && x < w && y >= 0 && y < h)
                        at(x, y) = color;
                }
            }
        }
    }
    // Mismatching pixels of the bitmap's top-left w x h area, listed for the first few.
    std::string diff() const {
        std::ostringstream out;
        int n = 0;
        for (uint32_t y = 0; y < h; y++) {
            for (uint32_t x = 0; x < w; x++) {
                if (px(x, y) == pix[y * w + x]) continue;
                if (n++ < 10) {
                    out << "(" << x << "," << y << ") is " << int{px(x, y)} << " not "
                        << int{pix[y * w + x]} << "\n";
                }
            }
        }
        if (n > 10) out << n << " pixels differ\n";
        return out.str();
    }
};

}  // namespace imgtest

#endif
