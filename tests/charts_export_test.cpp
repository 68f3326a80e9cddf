// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <vector>

#include "charts_priv.h"
#include "charts_query_util.h"
#include "statsdump.h"

using namespace charts;
using zeltest::sid;
using zeltest::TestStore;

namespace {

constexpr uint64_t N = CHARTS_NODATA;

// Reads the records back from their byte layouts, field by field at their offsets.
class Reader {
  public:
    explicit Reader(const std::vector<uint8_t> &b) : b_(b) {}
    uint64_t be(size_t at, size_t bytes) const {
        uint64_t v = 0;
        for (size_t i = 0; i < bytes; i++) v = (v << 8) | b_.at(at + i);
        return v;
    }

  private:
    const std::vector<uint8_t> &b_;
};

struct SingleRecord {
    uint32_t ts, width;
    std::vector<uint64_t> samples;  // newest first
};

SingleRecord decode_single(const std::vector<uint8_t> &b) {
    Reader r(b);
    SingleRecord rec{uint32_t(r.be(0, 4)), uint32_t(r.be(4, 4)), {}};
    EXPECT_EQ(8 + 8 * size_t(rec.width), b.size());
    for (uint32_t i = 0; i < rec.width; i++) rec.samples.push_back(r.be(8 + 8 * i, 8));
    return rec;
}

struct Block {
    uint32_t range, ts, multiplier, rdiv;
    std::vector<std::vector<uint64_t>> series;  // in record order: last series first
};

struct MultiRecord {
    uint32_t n, scnt, width, percent, scale;
    std::vector<Block> blocks;
};

MultiRecord decode_multi(const std::vector<uint8_t> &b) {
    Reader r(b);
    MultiRecord rec{uint32_t(r.be(0, 1)), uint32_t(r.be(1, 1)), uint32_t(r.be(2, 4)),
                    uint32_t(r.be(6, 1)), uint32_t(r.be(7, 1)), {}};
    const size_t blocksize = 13 + 8 * size_t(rec.scnt) * rec.width;
    EXPECT_EQ(8 + rec.n * blocksize, b.size());
    for (uint32_t k = 0; k < rec.n; k++) {
        const size_t at = 8 + k * blocksize;
        Block blk{uint32_t(r.be(at, 1)),
                  uint32_t(r.be(at + 1, 4)),
                  uint32_t(r.be(at + 5, 4)),
                  uint32_t(r.be(at + 9, 4)),
                  {}};
        for (uint32_t c = 0; c < rec.scnt; c++) {
            std::vector<uint64_t> s;
            for (uint32_t i = 0; i < rec.width; i++) {
                s.push_back(r.be(at + 13 + 8 * (size_t(c) * rec.width + i), 8));
            }
            blk.series.push_back(s);
        }
        rec.blocks.push_back(blk);
    }
    return rec;
}

// Both calls: the size, then the record into a buffer of exactly that size.
std::vector<uint8_t> makedata(uint32_t number, uint32_t maxentries, uint8_t multimode) {
    const uint32_t size = charts_makedata(nullptr, number, maxentries, multimode);
    std::vector<uint8_t> buff(size);
    if (size > 0) {
        EXPECT_EQ(0u, charts_makedata(buff.data(), number, maxentries, multimode));
    }
    return buff;
}

// Ring slots k periods before the newest, k = 0 .. width - 1.
std::vector<uint64_t> newest_first(uint32_t stat, uint32_t range, uint32_t width) {
    std::vector<uint64_t> v;
    for (uint32_t k = 0; k < width; k++) v.push_back(TestStore::at(stat, range, k));
    return v;
}

// Distinct values in every ring: statistic, range and ring index, a few slots without data.
void fill_rings() {
    for (uint32_t i = 0; i < g.statdefscount; i++) {
        for (uint32_t r = 0; r < kRanges; r++) {
            for (uint32_t s = 0; s < kRingLength; s++) {
                charts::ring(i, r)[s] = (s % 97 == 3) ? N : (uint64_t(i + 1) << 40) + r * 10000 + s;
            }
        }
    }
}

void set_positions() {
    const uint32_t ptr[kRanges] = {1, 4095, 100, 2047};
    const uint32_t tp[kRanges] = {29000000, 4833333, 966666, 20138};
    for (uint32_t r = 0; r < kRanges; r++) g.pointers[r] = ptr[r], g.timepoint[r] = tp[r];
}

TEST(ChartsExport, SingleRangeRecord) {
    TestStore store;
    fill_rings();
    set_positions();
    const uint32_t ts[kRanges] = {1740000000, 1739999880, 1739998800, 1739923200};
    for (uint32_t r = 0; r < kRanges; r++) {
        for (uint32_t maxentries : {0u, 1u, 4u, 4096u, 5000u}) {
            const uint32_t width = std::min(maxentries, 4096u);
            const SingleRecord rec = decode_single(makedata(10 + r, maxentries, 0));
            EXPECT_EQ(ts[r], rec.ts);
            EXPECT_EQ(width, rec.width);
            EXPECT_EQ(newest_first(1, r, width), rec.samples) << r << " " << maxentries;
        }
    }
    // Pointer 1: ring indexes 1, 0, 4095, 4094.
    const SingleRecord rec = decode_single(makedata(30, 4, 0));
    const uint64_t base = uint64_t(4) << 40;
    const std::vector<uint64_t> want = {base + 1, base + 0, base + 4095, base + 4094};
    EXPECT_EQ(want, rec.samples);
    EXPECT_EQ(8u + 8 * 4096, makedata(sid("STAa"), 100000, 0).size());
}

TEST(ChartsExport, InvalidRequestsWriteNothing) {
    TestStore store;
    fill_rings();
    const struct {
        uint32_t number;
        uint8_t multimode;
    } cases[] = {
        {9, 0},    {14, 0},   {1000, 0},        {40, 0},  {sid("ZZZZ"), 0},
        {1020, 1}, {1050, 1}, {sid("ZZZZ"), 1}, {40, 1},  {1060, 1},
        {4, 1},    {8, 1},    {sid("sTAA"), 1}, {990, 1},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(0u, charts_makedata(nullptr, c.number, 16, c.multimode)) << c.number;
        std::vector<uint8_t> buff(512, 0xAB);
        EXPECT_EQ(0u, charts_makedata(buff.data(), c.number, 16, c.multimode));
        EXPECT_EQ(std::vector<uint8_t>(512, 0xAB), buff) << c.number;
    }
}

TEST(ChartsExport, MultiRangeBaseStatistic) {
    TestStore store;
    fill_rings();
    set_positions();
    const uint32_t ts[kRanges] = {1740000000, 1739999880, 1739998800, 1739923200};
    for (uint32_t maxentries : {0u, 1u, 4u, 4096u, 5000u}) {
        const uint32_t width = std::min(maxentries, 4096u);
        const MultiRecord rec = decode_multi(makedata(9, maxentries, 1));
        EXPECT_EQ(4u, rec.n);
        EXPECT_EQ(1u, rec.scnt);
        EXPECT_EQ(width, rec.width);
        EXPECT_EQ(1u, rec.percent);
        EXPECT_EQ(0u, rec.scale);
        for (uint32_t r = 0; r < kRanges; r++) {
            const Block &b = rec.blocks.at(r);
            EXPECT_EQ(r, b.range);
            EXPECT_EQ(ts[r], b.ts);
            EXPECT_EQ(100u, b.multiplier);
            EXPECT_EQ(charts_range_seconds(r), b.rdiv);
            EXPECT_EQ(newest_first(0, r, width), b.series.at(0)) << r << " " << maxentries;
        }
    }
    EXPECT_EQ(8u + 13 * 4, makedata(9, 0, 1).size());
    EXPECT_EQ(8u + 13, makedata(20, 0, 1).size());

    // One range; a level statistic keeps its divisor in every range.
    const MultiRecord one = decode_multi(makedata(sid("STDd"), 3, 7));
    EXPECT_EQ(1u, one.n);
    EXPECT_EQ(5u, one.scale);
    ASSERT_EQ(1u, one.blocks.size());
    EXPECT_EQ(1u, one.blocks[0].range);
    EXPECT_EQ(3u, one.blocks[0].multiplier);
    EXPECT_EQ(1u, one.blocks[0].rdiv);
    EXPECT_EQ(newest_first(3, 1, 3), one.blocks[0].series[0]);
}

TEST(ChartsExport, MultiRangeExtendedChart) {
    TestStore store;
    fill_rings();
    set_positions();

    // xall: three sources sa, sb, sc, written third first.
    const MultiRecord all = decode_multi(makedata(1039, 5, 1));
    EXPECT_EQ(4u, all.n);
    EXPECT_EQ(3u, all.scnt);
    EXPECT_EQ(0u, all.percent);
    EXPECT_EQ(1u, all.scale);
    for (uint32_t r = 0; r < kRanges; r++) {
        const Block &b = all.blocks.at(r);
        EXPECT_EQ(8u, b.multiplier);
        EXPECT_EQ(charts_range_seconds(r), b.rdiv);
        EXPECT_EQ(newest_first(2, r, 5), b.series.at(0));
        EXPECT_EQ(newest_first(1, r, 5), b.series.at(1));
        EXPECT_EQ(newest_first(0, r, 5), b.series.at(2));
    }

    // xskip: the second source is unusable, so only the first counts although the third is.
    const MultiRecord skip = decode_multi(makedata(1042, 2, 1));
    EXPECT_EQ(1u, skip.scnt);
    EXPECT_EQ(newest_first(0, 2, 2), skip.blocks.at(0).series.at(0));

    // xcalc: max(0, sa - sb) over sc; mode 1 keeps the plain divisor.
    for (uint32_t k : {0u, 1u, 2u}) TestStore::at(0, 0, k) = 50, TestStore::at(1, 0, k) = 20;
    TestStore::at(1, 0, 1) = 70;
    TestStore::at(1, 0, 2) = N;
    const MultiRecord calc = decode_multi(makedata(1010, 3, 1));
    EXPECT_EQ(2u, calc.scnt);
    EXPECT_EQ(1u, calc.blocks.at(0).rdiv);
    EXPECT_EQ(newest_first(2, 0, 3), calc.blocks[0].series.at(0));
    EXPECT_EQ((std::vector<uint64_t>{30, 0, N}), calc.blocks[0].series.at(1));
}

TEST(ChartsExport, MonotonicRecord) {
    {
        TestStore store(statsdump_calcdefs, statsdump_statdefs, statsdump_estatdefs);
        EXPECT_EQ(386u, charts_monotonic_data(nullptr));
    }
    TestStore store;
    const uint64_t totals[] = {0, 1, UINT64_C(0x0102030405060708), N};
    for (uint32_t i = 0; i < 4; i++) g.monotonic[i] = totals[i];
    const uint32_t size = charts_monotonic_data(nullptr);
    ASSERT_EQ(34u, size);
    std::vector<uint8_t> buff(size);
    EXPECT_EQ(0u, charts_monotonic_data(buff.data()));
    Reader r(buff);
    EXPECT_EQ(4u, r.be(0, 2));
    for (uint32_t i = 0; i < 4; i++) EXPECT_EQ(totals[i], r.be(2 + 8 * i, 8));
    EXPECT_EQ(0x01, buff[18]);
    EXPECT_EQ(0x08, buff[25]);
}

TEST(ChartsExport, NewestMinuteSummary) {
    TestStore store;
    g.pointers[0] = 1;
    // Ring indexes 1, 0, 4095, 4094 hold 1, 2, no data, 4 for sa (additive) and sb (level).
    for (uint32_t stat : {0u, 1u}) {
        TestStore::at(stat, 0, 0) = 1;
        TestStore::at(stat, 0, 1) = 2;
        TestStore::at(stat, 0, 3) = 4;
    }
    TestStore::at(0, 0, 4) = 1000;  // older than the four asked for
    const struct {
        uint32_t type, numb;
        uint64_t want;
    } cases[] = {
        {0, 4, 2}, {0, 2, 1},    {0, 1, 1}, {0, 5, 251}, {1, 4, 4},   {1, 2, 2},
        {0, 0, 0}, {0, 4097, 0}, {2, 4, 0}, {4, 4, 0},   {100, 4, 0},
    };
    for (const auto &c : cases) EXPECT_EQ(c.want, charts_get(c.type, c.numb)) << c.type;
    TestStore::at(1, 0, 4095) = N - 1;  // the largest sample, compared unsigned
    EXPECT_EQ(N - 1, charts_get(1, 4096));
    EXPECT_EQ(4u, charts_get(1, 4095));
}

}  // namespace
