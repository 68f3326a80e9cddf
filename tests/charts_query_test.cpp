// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>
#include <stdlib.h>

#include <vector>

#include "charts_priv.h"
#include "charts_query_util.h"
#include "statsdump.h"

using namespace charts;
using zeltest::sid;
using zeltest::TestStore;

namespace {

constexpr uint64_t N = CHARTS_NODATA;
constexpr double kUnwritten = -7.5;

// One query's results, every output preset so that untouched ones show.
struct Query {
    std::vector<double> data = std::vector<double>(kRingLength, kUnwritten);
    uint32_t timestamp = 0xDEADBEEF;
    uint32_t rsec = 0xDEADBEEF;

    explicit Query(uint32_t number) { charts_getdata(data.data(), &timestamp, &rsec, number); }
    bool written() const {
        return rsec != 0xDEADBEEF || timestamp != 0xDEADBEEF || data[0] != kUnwritten ||
               data[kRingLength - 1] != kUnwritten;
    }
    double newest(uint32_t k = 0) const { return data[kRingLength - 1 - k]; }
};

TEST(ChartsQuery, StatidConverter) {
    TestStore store(statsdump_calcdefs, statsdump_statdefs, statsdump_estatdefs);
    const struct {
        uint32_t number, type, range;
    } cases[] = {
        {0, 0, 0},
        {473, 47, 3},
        {1001, 100, 1},
        {1113, 111, 3},
        {0xFFFFFF, 1677721, 5},
        {sid("UCPU"), 0, 0},
        {sid("UCPu"), 0, 1},
        {sid("UCpU"), 0, 2},
        {sid("UCpu"), 0, 3},
        {sid("uCPU"), 0, 8},
        {sid("ucpu"), 0, 15},
        {sid("EC4C"), 42, 2},
        {sid("EC8c"), 43, 3},
        {sid("TCPU"), 100, 0},
        {sid("hdcn"), 111, 15},
        {sid("ZZZZ"), 0xFFFFFFFF, 0xFFFFFFFF},
    };
    for (const auto &c : cases) {
        uint32_t type = 1, range = 1;
        charts_statid_converter(c.number, &type, &range);
        EXPECT_EQ(c.type, type) << std::hex << c.number;
        EXPECT_EQ(c.range, range) << std::hex << c.number;
    }
    EXPECT_EQ(4096u, charts_getmaxleng());
}

TEST(ChartsQuery, StatidPrefersBaseStatistics) {
    // An extended chart whose statid equals a base statistic's (letter case aside).
    const estatdef estats[] = {
        {"twin", sid("stbb"), 2, 0, 0, 1, 0, 2, 1, 1},
        {"solo", sid("XSOL"), 2, 0, 0, 1, 0, 2, 1, 1},
        {nullptr, 0, 0, 0, 0, 0, 0, 0, 0, 0},
    };
    TestStore store(zeltest::kTestCalcs, zeltest::kTestStats, estats);
    uint32_t type, range;
    charts_statid_converter(sid("STBB"), &type, &range);
    EXPECT_EQ(1u, type);
    charts_statid_converter(sid("XSOl"), &type, &range);
    EXPECT_EQ(101u, type);
    EXPECT_EQ(1u, range);
}

TEST(ChartsQuery, DataMultiplier) {
    {
        TestStore store(statsdump_calcdefs, statsdump_statdefs, statsdump_estatdefs);
        EXPECT_DOUBLE_EQ(100.0 / 60 / 1e6, charts_data_multiplier(0, 0));
        EXPECT_DOUBLE_EQ(100.0 / 6 / 60 / 1e6, charts_data_multiplier(0, 1));
        EXPECT_DOUBLE_EQ(100.0 / 1440 / 60 / 1e6, charts_data_multiplier(100, 3));
        for (uint32_t r = 0; r < 4; r++) EXPECT_DOUBLE_EQ(1.0, charts_data_multiplier(28, r));
        EXPECT_DOUBLE_EQ(1.0, charts_data_multiplier(48, 1));
        EXPECT_DOUBLE_EQ(1.0, charts_data_multiplier(112, 2));
    }
    TestStore store;
    EXPECT_DOUBLE_EQ(7.0 / 2 * 1000, charts_data_multiplier(2, 0));
    EXPECT_DOUBLE_EQ(7.0 / 30 / 2 * 1000, charts_data_multiplier(2, 2));
    EXPECT_DOUBLE_EQ(3.0 * 1e9, charts_data_multiplier(3, 3));  // level: no range factor
    EXPECT_DOUBLE_EQ(9.0 / 6 / 3 * 1e6, charts_data_multiplier(100, 1));
    EXPECT_DOUBLE_EQ(100.0 / 60 / 1e6, charts_data_multiplier(0, 7));  // no range factor
}

TEST(ChartsQuery, CatalogueValues) {
    TestStore store(statsdump_calcdefs, statsdump_statdefs, statsdump_estatdefs);
    g.timepoint[0] = 29000000;
    g.timepoint[1] = 1000;
    TestStore::at(0, 0, 0) = 30000000;
    TestStore::at(2, 0, 0) = 7500000;
    TestStore::at(0, 1, 0) = 180000000;

    Query ucpu(0);
    EXPECT_DOUBLE_EQ(50.0, ucpu.newest());
    EXPECT_EQ(-1.0, ucpu.newest(1));
    EXPECT_EQ(-1.0, ucpu.data[0]);
    EXPECT_EQ(60u, ucpu.rsec);
    EXPECT_EQ(1740000000u, ucpu.timestamp);
    EXPECT_DOUBLE_EQ(1000000.0, Query(20).newest());

    Query medium(1);
    EXPECT_DOUBLE_EQ(50.0, medium.newest());
    EXPECT_EQ(360u, medium.rsec);
    EXPECT_EQ(360000u, medium.timestamp);

    // The statid form and the decimal form name the same charts.
    EXPECT_EQ(ucpu.data, Query(sid("UCPU")).data);
    EXPECT_EQ(medium.data, Query(sid("UCPu")).data);
}

TEST(ChartsQuery, InvalidRequestsWriteNothing) {
    TestStore store(statsdump_calcdefs, statsdump_statdefs, statsdump_estatdefs);
    for (uint32_t number : {4u, 9u, 480u, 1120u, 995u, sid("uCPU"), sid("ZZZZ"), 0xFFFFFFFFu}) {
        EXPECT_FALSE(Query(number).written()) << std::hex << number;
    }
    std::vector<double> data(kRingLength, kUnwritten);
    uint32_t ts = 5, rsec = 5;
    charts_getdata(data.data(), nullptr, &rsec, 0);
    EXPECT_EQ(5u, rsec);
    charts_getdata(nullptr, &ts, &rsec, 0);
    EXPECT_EQ(5u, rsec);
    EXPECT_EQ(5u, ts);
}

TEST(ChartsQuery, DigitStatidsSelectRangeTwoOrThree) {
    TestStore store(statsdump_calcdefs, statsdump_statdefs, statsdump_estatdefs);
    for (uint32_t r = 0; r < 4; r++) TestStore::at(42, r, 0) = 10 + r;
    EXPECT_EQ(12.0, Query(sid("EC4C")).newest());
    EXPECT_EQ(13.0, Query(sid("EC4c")).newest());
    EXPECT_EQ(10.0, Query(420).newest());
}

TEST(ChartsQuery, ExtendedChartsSumTheirSeries) {
    TestStore store(statsdump_calcdefs, statsdump_statdefs, statsdump_estatdefs);
    const uint32_t ucpu = 0, scpu = 1, rss = 29, virt = 30, used = 35, total = 36;
    // cpu: only scpu in the newest slot, both in the one before, neither before that.
    TestStore::at(scpu, 0, 0) = 60000000;
    TestStore::at(ucpu, 0, 1) = 12000000;
    TestStore::at(scpu, 0, 1) = 6000000;
    Query cpu(1000);
    const double mul = 100.0 / 60 / 1e6;
    EXPECT_DOUBLE_EQ(60000000 * mul, cpu.newest());
    EXPECT_DOUBLE_EQ(18000000 * mul, cpu.newest(1));
    EXPECT_EQ(-1.0, cpu.newest(2));

    // mem: max(0, virt - rss) stacked over rss; space: free stacked over used.
    TestStore::at(virt, 0, 0) = 100;
    TestStore::at(rss, 0, 0) = 150;
    TestStore::at(virt, 0, 1) = 400;
    TestStore::at(rss, 0, 1) = 150;
    TestStore::at(rss, 0, 2) = 80;  // virt absent: the calc series has no data
    TestStore::at(virt, 0, 3) = 80;
    Query mem(1070);
    EXPECT_EQ(150.0, mem.newest(0));
    EXPECT_EQ(400.0, mem.newest(1));
    EXPECT_EQ(80.0, mem.newest(2));
    EXPECT_EQ(-1.0, mem.newest(3));

    TestStore::at(total, 0, 0) = 1000;
    TestStore::at(used, 0, 0) = 300;
    TestStore::at(total, 0, 1) = 1000;
    TestStore::at(used, 0, 1) = 1300;
    Query space(1090);
    EXPECT_EQ(1000.0, space.newest(0));
    EXPECT_EQ(1300.0, space.newest(1));
}

TEST(ChartsQuery, GapInSourcesSumsTheAssembledSeries) {
    TestStore store;
    g.pointers[2] = 4095;
    TestStore::at(0, 2, 0) = 1000;  // sa: not a source of xgap
    TestStore::at(1, 2, 0) = 5;     // sb: its second source
    TestStore::at(2, 2, 0) = 7;     // sc: its third source
    TestStore::at(0, 2, 1) = 1000;
    TestStore::at(2, 2, 2) = 9;
    Query gap(1022);
    EXPECT_EQ(12.0, gap.newest(0));
    EXPECT_EQ(-1.0, gap.newest(1));
    EXPECT_EQ(9.0, gap.newest(2));
    EXPECT_EQ(1800u, gap.rsec);

    // First source a missing calc program, second source sa.
    Query bad(1052);
    EXPECT_EQ(1000.0, bad.newest(0));
    EXPECT_EQ(1000.0, bad.newest(1));
    EXPECT_EQ(-1.0, bad.newest(2));
}

// Every chart of the test catalogue in every range, with rings full of values and gaps and the
// newest slot at the ring's start, end and middle: each slot is the sum of the chart's series
// windows (charts_filltab) that have data there, times the chart's factor. Some stored numbers
// are 2^52 or more, where the conversion takes its exact way, and some sums wrap; the vector
// loops and the plain ones give the same doubles.
class ChartsQueryLoops : public ::testing::TestWithParam<bool> {
  protected:
    zeltest::ScopedLoops loops_{GetParam()};
};
INSTANTIATE_TEST_SUITE_P(Loops, ChartsQueryLoops, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "plain" : "vector"; });

TEST_P(ChartsQueryLoops, ChartsEqualTheSumOfTheirWindows) {
    TestStore store;
    uint64_t x = 99;
    for (uint32_t i = 0; i < g.statdefscount; i++) {
        for (uint32_t r = 0; r < kRanges; r++) {
            for (uint32_t s = 0; s < kRingLength; s++) {
                x = x * 6364136223846793005ULL + 1442695040888963407ULL;
                uint64_t v = (x >> 61) == 0 ? N : (x >> 30) % 100000;
                if ((x >> 56) == 0xFF) v = (uint64_t(1) << 52) + (x >> 40);
                if ((x >> 56) == 0xFE) v = N - 1 - (x >> 40);
                charts::ring(i, r)[s] = v;
            }
        }
    }
    const uint32_t types[] = {0, 1, 2, 3, 100, 101, 102, 103, 104, 105};
    for (const uint32_t newest : {0u, 1234u, 4094u, 4095u}) {
        for (uint32_t r = 0; r < kRanges; r++) {
            g.pointers[r] = newest;
            for (const uint32_t type : types) {
                std::vector<double> want(kRingLength, -1.0);
                const double mul = charts_data_multiplier(type, r);
                std::vector<uint64_t> sum(kRingLength, 0);
                std::vector<bool> any(kRingLength, false);
                for (uint32_t cno = 1; cno <= 3; cno++) {
                    uint64_t *tab = nullptr;
                    if (charts_filltab(&tab, r, type, cno, kRingLength)) {
                        for (uint32_t i = 0; i < kRingLength; i++) {
                            if (tab[i] == N) continue;
                            sum[i] += tab[i];
                            any[i] = true;
                        }
                    }
                    free(tab);
                }
                for (uint32_t i = 0; i < kRingLength; i++) {
                    if (any[i]) want[i] = static_cast<double>(sum[i]) * mul;
                }
                const Query got(type * 10 + r);
                ASSERT_EQ(want, got.data)
                    << "type " << type << ", range " << r << ", newest " << newest;
            }
        }
    }
}

}  // namespace
