// SPDX-License-Identifier: Apache-2.0
// The chart bitmap as a reader of the chart sees it: palette, glyphs and labels, the value-axis
// choice, the time axis and the stacked bars.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "charts_imaging_util.h"

using namespace imgtest;

namespace {

// ---- Palette -------------------------------------------------------------------------------

class PaletteTest : public StoreTest {};

TEST_F(PaletteTest, EntriesFollowTheRunningSumsOfTheRamps) {
    struct Row {
        uint32_t entry;
        uint8_t r, g, b;
    };
    const Row rows[] = {
        {0, 255, 255, 255}, {1, 255, 255, 255}, {2, 0, 0, 0},        {3, 0, 0, 0},
        {4, 95, 32, 0},     {5, 192, 192, 192}, {6, 255, 255, 222},  {7, 0, 0, 0},
        {49, 0, 0, 0},      {50, 4, 236, 241},  {51, 5, 234, 240},   {74, 19, 187, 212},
        {75, 19, 185, 211}, {99, 34, 136, 181}, {100, 35, 134, 180}, {124, 28, 92, 139},
        {125, 28, 91, 138}, {149, 21, 49, 97},  {150, 21, 47, 95},   {174, 11, 26, 71},
        {175, 11, 26, 70},  {199, 1, 5, 45},    {200, 0, 0, 0},      {255, 0, 0, 0},
    };
    for (const Row &row : rows) {
        const uint8_t *e = g.png_header + 41 + 3 * row.entry;
        EXPECT_EQ(row.r, e[0]) << "entry " << row.entry;
        EXPECT_EQ(row.g, e[1]) << "entry " << row.entry;
        EXPECT_EQ(row.b, e[2]) << "entry " << row.entry;
    }
}

// ---- Text ----------------------------------------------------------------------------------

class TextTest : public StoreTest {
  protected:
    void SetUp() override {
        StoreTest::SetUp();
        memset(g.chart, 7, kChartSize);  // text never paints a background
        charts_chart_used(kChartStride, kChartRows);
    }
    // The 5 x 9 cell at (x, y) as rows of '#' (colour 4) and '.' (anything else).
    static std::vector<std::string> cell(int x, int y) {
        std::vector<std::string> rows;
        for (int fy = 0; fy < 9; fy++) {
            std::string r;
            for (int fx = 0; fx < 5; fx++) r += px(x + fx, y + fy) == 4 ? '#' : '.';
            rows.push_back(r);
        }
        return rows;
    }
    static void put(int x, int y, const std::vector<uint8_t> &c, int minx = 0, int maxx = 4145) {
        charts_puttext(x, y, 4, c.data(), static_cast<uint32_t>(c.size()), minx, maxx, 0, 1019);
    }
};

TEST_F(TextTest, GlyphsAreDrawnRowByRowFromTheTopLeft) {
    put(100, 50, {0, 21, 22, 200});
    EXPECT_EQ((std::vector<std::string>{".###.", "#...#", "#...#", "#...#", "#...#", "#...#",
                                        ".###.", ".....", "....."}),
              cell(100, 50));
    // The micro sign alone descends into rows 7 and 8.
    EXPECT_EQ((std::vector<std::string>{".....", ".....", "#..#.", "#..#.", "#..#.", "#..#.",
                                        "###.#", "#....", "#...."}),
              cell(106, 50));
    EXPECT_EQ((std::vector<std::string>{"##..#", "##.#.", "...#.", "..#..", ".#...", ".#.##",
                                        "#..##", ".....", "....."}),
              cell(112, 50));
    // A code without a glyph is the hollow box.
    EXPECT_EQ((std::vector<std::string>{"#####", "#...#", "#...#", "#...#", "#...#", "#...#",
                                        "#####", ".....", "....."}),
              cell(118, 50));
}

TEST_F(TextTest, FourCellsOccupySixPixelsEachWithoutTheLastGap) {
    put(10, 20, {0, 11, 0, 0});
    int minx = 9999, maxx = -1, miny = 9999, maxy = -1;
    for (int y = 0; y < 40; y++) {
        for (int x = 0; x < 60; x++) {
            if (px(x, y) == 7) continue;
            EXPECT_EQ(4, px(x, y));
            minx = std::min(minx, x), maxx = std::max(maxx, x);
            miny = std::min(miny, y), maxy = std::max(maxy, y);
        }
    }
    EXPECT_EQ(10, minx);
    EXPECT_EQ(32, maxx);
    EXPECT_EQ(20, miny);
    EXPECT_EQ(26, maxy);
}

TEST_F(TextTest, ClippingDropsExactlyThePixelsOutsideTheRectangle) {
    put(10, 20, {8, 8});
    std::vector<uint8_t> whole(g.chart + 20 * kChartStride, g.chart + 30 * kChartStride);
    memset(g.chart, 7, kChartSize);
    put(10, 20, {8, 8}, 12, 17);
    for (int y = 20; y < 30; y++) {
        for (int x = 0; x < 30; x++) {
            const uint8_t want = (x >= 12 && x <= 17) ? whole[(y - 20) * kChartStride + x] : 7;
            EXPECT_EQ(want, px(x, y)) << x << "," << y;
        }
    }
}

TEST_F(TextTest, EmptyTextAndTextOffTheBitmapDrawNothing) {
    put(10, 20, {});
    charts_puttext(-3, 1015, 4, codes("888").data(), 3, -100, 5000, -100, 5000);
    for (uint32_t i = 0; i < kChartSize; i++) {
        if (g.chart[i] == 7) continue;
        const uint32_t x = i % kChartStride, y = i / kChartStride;
        ASSERT_TRUE(x <= 13 && y >= 1015) << x << "," << y;  // only the visible part of "888"
    }
    EXPECT_EQ(4, px(0, 1015));  // column 3 of the first 8 at x 0
    EXPECT_EQ(7, px(0, 1014));
}

// ---- Value axis ----------------------------------------------------------------------------

struct FixmaxRow {
    uint64_t max;
    uint32_t ypts;
    uint16_t base;
    uint8_t mode;
    uint8_t added;
    double result;
};

TEST(Fixmax, WorkedValues) {
    const FixmaxRow rows[] = {
        {0, 5, 20, 2, 0, 1.0},
        {1, 7, 15, 2, 0, 1.05},
        {3, 5, 60, 2, 0, 3.0},
        {10, 5, 20, 1, 0, 10.0},
        {57, 10, 57, 1, 0, 57.0},
        {99, 20, 5, 0, 0, 100.0},
        {999, 5, 20, 2, 1, 1000.0},
        {1234, 10, 13, 2, 1, 1300.0},
        {99999, 10, 10, 0, 1, 100000.0},
        {123456789, 25, 5, 0, 2, 125000000.0},
        {UINT64_C(1000000000000000000), 50, 2, 2, 6, 1.0e18},
        {UINT64_MAX, 50, 4, 1, 6, 2.0e19},
        {UINT64_MAX - 8, 50, 4, 1, 6, 2.0e19},
        {UINT64_C(9990000000000000000), 5, 20, 1, 6, 1.0e19},
    };
    for (const FixmaxRow &row : rows) {
        uint8_t scale = 3, mode = 99;
        uint16_t base = 0;
        const double res = charts_fixmax(row.max, row.ypts, &scale, &mode, &base);
        EXPECT_EQ(row.base, base) << row.max << "/" << row.ypts;
        EXPECT_EQ(row.mode, mode) << row.max << "/" << row.ypts;
        EXPECT_EQ(3 + row.added, scale) << row.max << "/" << row.ypts;
        EXPECT_EQ(row.result, res) << row.max << "/" << row.ypts;
    }
}

TEST(Fixmax, SmallMaximaKeepTwoDecimalsAndTheScale) {
    for (uint32_t ypts = 1; ypts <= 50; ypts++) {
        for (uint64_t max : {0, 9}) {
            uint8_t scale = 4, mode = 0;
            uint16_t base = 0;
            charts_fixmax(max, ypts, &scale, &mode, &base);
            EXPECT_EQ(2, mode) << max << "/" << ypts;
            EXPECT_EQ(4, scale);
            EXPECT_EQ((std::max<uint64_t>(max, 1) * 100 + ypts - 1) / ypts, base);
        }
    }
}

TEST(Fixmax, AxisCoversTheMaximumWithThreeDigitLabels) {
    std::vector<uint64_t> maxima;
    for (uint64_t p = 1; p < UINT64_C(1000000000000000000); p *= 10) {
        for (uint64_t f : {1, 2, 3, 7, 9, 10, 11, 99, 101, 499, 999, 1001}) maxima.push_back(p * f);
    }
    for (uint64_t max : maxima) {
        for (uint32_t ypts : {1u, 5u, 7u, 16u, 20u, 33u, 50u}) {
            uint8_t scale = 2, mode = 0;
            uint16_t base = 0;
            const double top = charts_fixmax(max, ypts, &scale, &mode, &base);
            ASSERT_LE(uint32_t{base} * ypts, 999u) << max << "/" << ypts;
            ASSERT_GE(top, static_cast<double>(max)) << max << "/" << ypts;
            // The top label, read with its decimals and prefix steps, is the axis maximum.
            double label = static_cast<double>(base) * ypts;
            for (int i = 0; i < mode; i++) label /= 10;
            for (int i = 2; i < scale; i++) label *= 1000;
            ASSERT_DOUBLE_EQ(top, label) << max << "/" << ypts;
        }
    }
}

// ---- Month lengths -------------------------------------------------------------------------

TEST(Getmonleng, MonthsAndLeapYears) {
    const uint32_t days[13] = {0, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    for (uint32_t m = 0; m <= 12; m++) EXPECT_EQ(days[m], getmonleng(2023, m)) << m;
    EXPECT_EQ(29u, getmonleng(2024, 2));
    EXPECT_EQ(28u, getmonleng(1900, 2));
    EXPECT_EQ(29u, getmonleng(2000, 2));
    EXPECT_EQ(0u, getmonleng(2024, 13));
    EXPECT_EQ(0u, getmonleng(2024, UINT32_MAX));
}

// ---- Time axis -----------------------------------------------------------------------------

struct TimeCase {
    const char *name;
    uint32_t range, width;
    uint32_t k1, k2, mday, month, year;      // range 0: shmin, shhour; 1: medmin, medhour;
                                             // 2: lnghalfhour, -; 3: -, -
    std::vector<std::pair<int, int>> lines;  // column, pattern (1 dashed, 2 dotted, 4 sparse)
    std::vector<int> ticks;
    std::vector<std::pair<int, std::string>> labels;  // posx, text
};

class TimeAxisTest : public StoreTest {};

TEST_F(TimeAxisTest, LinesTicksAndLabels) {
    const uint32_t height = 100;
    const TimeCase cases[] = {
        {"range 0 at midnight",
         0,
         200,
         0,
         0,
         1,
         1,
         2024,
         {{199, 1}, {139, 2}, {79, 2}, {19, 2}},
         {199, 139, 79, 19},
         {{228, "00:00"}, {168, "23:00"}, {108, "22:00"}, {48, "21:00"}}},
        {"range 0 narrower than the minutes", 0, 59, 59, 10, 1, 1, 2024, {}, {}, {}},
        {"range 1 at 05:00",
         1,
         120,
         0,
         5,
         1,
         1,
         2024,
         {{119, 4},
          {109, 4},
          {99, 4},
          {89, 4},
          {79, 4},
          {69, 1},
          {59, 4},
          {49, 4},
          {39, 4},
          {29, 4},
          {19, 4},
          {9, 2}},
         {69, 9},
         {{98, "00:00"}, {38, "18:00"}}},
        {"range 2 on the 1st of a leap March",
         2,
         110,
         0,
         0,
         1,
         3,
         2024,
         {{109, 1}, {97, 4}, {85, 4}, {73, 4}, {61, 2}, {49, 4}, {37, 4}, {25, 4}, {13, 2}, {1, 4}},
         {109, 61, 13},
         {{162, "03.01"}, {114, "02.29"}, {66, "02.28"}, {18, "02.27"}}},
        {"range 2 on New Year's day",
         2,
         110,
         0,
         0,
         1,
         1,
         2024,
         {{109, 1}, {97, 4}, {85, 4}, {73, 4}, {61, 2}, {49, 4}, {37, 4}, {25, 4}, {13, 2}, {1, 4}},
         {109, 61, 13},
         {{162, "01.01"}, {114, "12.31"}, {66, "12.30"}, {18, "12.29"}}},
        {"range 2 at 14:30, leftmost day clipped",
         2,
         110,
         29,
         0,
         15,
         3,
         2023,
         {{104, 4}, {92, 4}, {80, 2}, {68, 4}, {56, 4}, {44, 4}, {32, 2}, {20, 4}, {8, 4}},
         {80, 32},
         {{133, "03.15"}, {85, "03.14"}, {37, "03.13"}}},
        {"range 3 on 1 March of a leap year",
         3,
         100,
         0,
         0,
         1,
         3,
         2024,
         {{99, 2}, {70, 2}, {39, 1}, {8, 2}},
         {99, 70, 39, 8},
         {{153, "03"}, {123, "02"}, {93, "01"}, {62, "12"}, {31, "11"}}},
        {"range 3 narrower than the month", 3, 10, 0, 0, 20, 5, 2024, {}, {}, {{44, "05"}}},
    };
    for (const TimeCase &tc : cases) {
        SCOPED_TRACE(tc.name);
        g.shmin = g.medmin = tc.k1;
        g.shhour = g.medhour = tc.k2;
        g.lnghalfhour = tc.k1;
        g.lngmday = tc.mday;
        g.lngmonth = tc.month;
        g.lngyear = tc.year;
        memset(g.chart, 0, kChartSize);
        charts_timeaxis(tc.range, tc.width, height);

        Picture want(tc.width + 50, height + 20);
        for (auto [h, ys] : tc.lines) {
            for (uint32_t j = 0; j < height; j++) {
                const bool on = ys == 1 ? j % 4 != 0 : j % ys == 0;
                if (on) want.at(43 + h, 6 + j) = 3;
            }
        }
        for (int h : tc.ticks) want.at(43 + h, height + 7) = want.at(43 + h, height + 8) = 2;
        for (const auto &[posx, text] : tc.labels) {
            want.text(posx, height + 10, text, 4, 43, tc.width + 42);
        }
        EXPECT_EQ("", want.diff());
        // Nothing outside the picture.
        size_t outside = 0;
        for (uint32_t y = 0; y < kChartRows; y++) {
            for (uint32_t x = 0; x < kChartStride; x++) {
                if ((x >= want.w || y >= want.h) && px(x, y) != 0) outside++;
            }
        }
        EXPECT_EQ(0u, outside);
    }
}

// Keys that are no date: month 0 has no length, so the axis ends after its newest line instead
// of stepping back by months of 0 days; month 13 steps back into December (31 days).
TEST_F(TimeAxisTest, KeysThatAreNoDateEndTheMonthAxis) {
    // Data-area columns (from the left) with a tick below the axis.
    auto tick_columns = [] {
        std::vector<uint32_t> cols;
        for (uint32_t x = 0; x < 4096; x++) {
            if (px(43 + x, 1007) == 2) cols.push_back(x);
        }
        return cols;
    };
    g.lngmday = 1;
    g.lngyear = 2024;
    g.lngmonth = 0;
    memset(g.chart, 0, kChartSize);
    charts_timeaxis(3, 4096, 1000);
    EXPECT_EQ(std::vector<uint32_t>{4095}, tick_columns());
    g.lngmonth = 13;
    memset(g.chart, 0, kChartSize);
    charts_timeaxis(3, 4096, 1000);
    const std::vector<uint32_t> cols = tick_columns();
    ASSERT_GE(cols.size(), 2u);
    EXPECT_EQ(4095u, cols.back());
    EXPECT_EQ(4095u - 31, cols[cols.size() - 2]);
}

// ---- Chart rendering -----------------------------------------------------------------------

// Data area 100 x 100 (5 value grid steps); range-1 hour lines fall on the odd columns 9, 19,
// ... 99, so even columns show the bars alone.
class RenderTest : public StoreTest {
  protected:
    static constexpr uint32_t kW = 100, kH = 100;

    // Expected rows of column i: white down to row w1, series 1 to w2, series 2 to w3, then
    // series 3, with the given row colour per series.
    static void expect_column(uint32_t i, int w1, int w2, int w3,
                              const std::function<int(int, int)> &color) {
        for (int k = 0; k < static_cast<int>(kH); k++) {
            const int t = kH - 1 - k;
            const int want = k <= w1   ? 1
                             : k <= w2 ? color(1, t)
                             : k <= w3 ? color(2, t)
                                       : color(3, t);
            ASSERT_EQ(want, px(43 + i, 6 + k)) << "column " << i << " row " << k;
        }
    }

    // Value labels left of the ticks, bottom (grid row 0) first.
    static void expect_labels(const std::vector<std::string> &labels) {
        Picture want(40, kH + 20);
        for (size_t j = 0; j < labels.size(); j++) {
            const int y = kH + 6 - 20 * static_cast<int>(j);
            want.text(39 - 6 * static_cast<int>(codes(labels[j]).size()), y - 3, labels[j], 4, 0,
                      39);
        }
        EXPECT_EQ("", want.diff());
    }
};

int one_series(int s, int t) {
    return s == 1 ? 50 + (150 * t) / 100 : -1;
}

TEST_F(RenderTest, ColumnsWithoutDataAreHatched) {
    charts_makechart(kNone, 1, kW, kH);
    for (uint32_t i = 0; i < kW; i++) {
        for (uint32_t k = 0; k < kH; k++) {
            if (i % 10 == 9 || (i % 2 == 1 && k % 20 == 0)) continue;  // grid lines
            ASSERT_EQ((i + k) % 3 == 0 ? 5 : 1, px(43 + i, 6 + k)) << i << "," << k;
        }
    }
    EXPECT_EQ(5, px(43, 6));  // column 0, row 0
    EXPECT_EQ(1, px(45, 6));  // column 2: white in row 0, grey in row 1
    EXPECT_EQ(5, px(45, 7));
    EXPECT_EQ(1, px(44, 7));  // column 1: white in row 1, grey in row 2
    EXPECT_EQ(5, px(44, 8));
    expect_labels({"0.00", "0.20", "0.40", "0.60", "0.80", "1.00"});
}

TEST_F(RenderTest, OneSeriesBarsAgainstTheAxisMaximum) {
    put(kA, 1, kW, 10, 10);  // the axis maximum
    put(kA, 1, kW, 20, 5);
    put(kA, 1, kW, 30, 0);
    charts_makechart(kA, 1, kW, kH);
    expect_column(10, 0, 100, 100, one_series);  // row y 6 white, rows 7..105 coloured
    expect_column(20, 50, 100, 100, one_series);
    expect_column(30, 100, 100, 100, one_series);  // a value of 0 is white, not hatched
    EXPECT_EQ(5, px(43 + 12, 6 + 0));              // no data: hatched
    EXPECT_EQ(1, px(43 + 12, 6 + 1));
    expect_labels({"0.0", "2.0", "4.0", "6.0", "8.0", "10.0"});
}

TEST_F(RenderTest, TwoSeriesStackInHalvesOfTheGradient) {
    put(kA, 1, kW, 10, 4);
    put(kB, 1, kW, 10, 6);
    put(kB, 1, kW, 20, 5);  // series 1 without data: no series 1 part
    put(kA, 1, kW, 30, 2);  // series 2 without data
    charts_makechart(kTwo, 1, kW, kH);
    auto color = [](int s, int t) { return s == 1 ? 50 + (75 * t) / 100 : 125 + (75 * t) / 100; };
    expect_column(10, 0, 40, 100, color);
    expect_column(20, 50, 50, 100, color);
    expect_column(30, 80, 100, 100, color);
    EXPECT_EQ(5, px(43 + 42, 6 + 0));  // neither series has data: hatched
}

TEST_F(RenderTest, ThreeSeriesGetOneRampEach) {
    put(kA, 1, kW, 10, 2);
    put(kB, 1, kW, 10, 3);
    put(kC, 1, kW, 10, 5);
    put(kC, 1, kW, 20, 4);
    charts_makechart(kThree, 1, kW, kH);
    auto color = [](int s, int t) { return 50 * s + (50 * t) / 100; };
    expect_column(10, 0, 20, 50, color);
    expect_column(20, 60, 60, 60, color);
}

TEST_F(RenderTest, FrameTicksAndGridRows) {
    put(kA, 1, kW, 10, 10);
    charts_makechart(kA, 1, kW, kH);
    const uint32_t axis = kH + 6;
    for (uint32_t x = 40; x <= kW + 45; x++) EXPECT_EQ(2, px(x, axis)) << x;
    EXPECT_EQ(0, px(39, axis));
    EXPECT_EQ(0, px(kW + 46, axis));
    for (uint32_t x : {42u, kW + 43}) {
        for (uint32_t y = 2; y <= kH + 8; y++) EXPECT_EQ(2, px(x, y)) << x << "," << y;
        EXPECT_EQ(0, px(x, 1));
        EXPECT_EQ(0, px(x, kH + 9));
    }
    for (uint32_t j = 0; j <= kH / 20; j++) {
        const uint32_t y = axis - 20 * j;
        EXPECT_EQ(2, px(40, y));
        EXPECT_EQ(2, px(41, y));
        EXPECT_EQ(0, px(41, y + 1));
        if (j == 0) continue;
        for (uint32_t o = 0; o < kW; o++) {
            if (o % 2 == 1) {
                EXPECT_EQ(3, px(43 + o, y)) << o << "," << y;
            } else {
                EXPECT_NE(3, px(43 + o, y)) << o << "," << y;
            }
        }
    }
    // Outside the picture the bitmap stays clear.
    for (uint32_t y = 0; y < kChartRows; y++) {
        for (uint32_t x = 0; x < kChartStride; x++) {
            if (x >= kW + 50 || y >= kH + 20) {
                ASSERT_EQ(0, px(x, y)) << x << "," << y;
            }
        }
    }
}

TEST_F(RenderTest, ValueLabelsWithPrefixAndPercent) {
    put(kA, 1, kW, 10, 3000);
    charts_makechart(kA, 1, kW, kH);
    expect_labels({"0.00k", "0.60k", "1.20k", "1.80k", "2.40k", "3.00k"});

    put(kPct, 1, kW, 10, 100);
    charts_makechart(kPct, 1, kW, kH);
    expect_labels({"0%", "20%", "40%", "60%", "80%", "100%"});
    expect_column(10, 0, 100, 100, one_series);
}

TEST_F(RenderTest, CounterAxisShowsTheDailyAverageAndBarsTheSums) {
    g.lngmday = 1, g.lngmonth = 3, g.lngyear = 2024;  // month lines at columns 99, 70, 39, 8
    put(kCtr, 3, kW, 10, 14400);                      // 10 per minute over 1440 minutes
    put(kCtr, 3, kW, 20, 7200);
    charts_makechart(kCtr, 3, kW, kH);
    expect_labels({"0.0", "2.0", "4.0", "6.0", "8.0", "10.0"});
    expect_column(10, 0, 100, 100, one_series);
    expect_column(20, 50, 100, 100, one_series);
}

TEST_F(RenderTest, AxisValueBeyond64BitsMovesThePrefixInsteadOfWrapping) {
    // 10^16 with multiplier 8000 is 80 * 10^18 (E).
    put(kBig, 1, kW, 10, UINT64_C(10000000000000000));
    put(kBig, 1, kW, 20, UINT64_C(5000000000000000));
    charts_makechart(kBig, 1, kW, kH);
    expect_labels({"0.0E", "16.0E", "32.0E", "48.0E", "64.0E", "80.0E"});
    // Full and half bars (within the rounding of the 16-bit precision shift).
    EXPECT_EQ(1, px(43 + 10, 6 + 0));
    EXPECT_EQ(50 + (150 * 97) / 100, px(43 + 10, 6 + 2));
    EXPECT_EQ(1, px(43 + 20, 6 + 50));
    EXPECT_EQ(50 + (150 * 47) / 100, px(43 + 20, 6 + 52));
}

TEST_F(RenderTest, EachChartStartsFromAClearBitmap) {
    put(kA, 1, 4096, 4000, 10);
    charts_makechart(kA, 1, 4096, 1000);
    const uint8_t far[] = {8, 8};
    charts_puttext(4140, 1015, 4, far, 2, 0, 4145, 0, 1019);
    EXPECT_EQ(4, px(4141, 1015));
    charts_makechart(kNone, 1, kW, kH);
    for (uint32_t y = 0; y < kChartRows; y++) {
        for (uint32_t x = 0; x < kChartStride; x++) {
            if (x >= kW + 50 || y >= kH + 20) {
                ASSERT_EQ(0, px(x, y)) << x << "," << y;
            }
        }
    }
    EXPECT_EQ(5, px(43, 6));
}

}  // namespace
