// SPDX-License-Identifier: Apache-2.0
// A charts store for the series, query and export suites: server mode without a data file,
// every ring full of the no-data marker, positions and period numbers at 0. Tests set ring
// values, pointers and timepoint directly in charts::g.
#ifndef ZEL_TESTS_CHARTS_QUERY_UTIL_H
#define ZEL_TESTS_CHARTS_QUERY_UTIL_H

#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "charts_priv.h"
#include "datafile_builder.h"
#include "test_util.h"

namespace zeltest {

inline uint32_t fixed_clock() {
    return 1700000000;
}

using zeldata::sid;

// Four statistics with distinct factors.
// clang-format off
inline const statdef kTestStats[] = {
    // name  statid           mode percent scale multiplier divisor
    {"sa",   sid("STAA"),  0,   1,      0,    100,       60},
    {"sb",   sid("STBB"),  1,   0,      2,    1,         1},
    {"sc",   sid("STCC"),  0,   0,      3,    7,         2},
    {"sd",   sid("STDD"),  1,   0,      5,    3,         1},
    {nullptr, 0,              0,   0,      0,    0,         0},
};

// Extended charts 100..105.
inline const estatdef kTestEstats[] = {
    // name   statid           c1src c2src c3src mode percent scale multiplier divisor
    {"xab",   sid("XSAB"),  1,    2,    0,    0,   1,      4,    9,         3},
    {"xcalc", sid("XCAL"),  1000, 3,    0,    1,   0,      2,    1,         1},
    {"xgap",  sid("XGAP"),  0,    2,    3,    1,   0,      2,    1,         1},
    {"xall",  sid("XALL"),  1,    2,    3,    0,   0,      1,    8,         60},
    {"xskip", sid("XSKP"),  1,    5000, 2,    1,   0,      2,    1,         1},
    {nullptr, sid("XBAD"),  1001, 1,    0,    1,   0,      2,    1,         1},
    {nullptr, 0,               0,    0,    0,    0,   0,      0,    0,         0},
};

// One program: max(0, sa - sb).
inline const uint32_t kTestCalcs[] = {1000, 0, 0, 1, 1002, 1004, 1999, 2000};
// clang-format on

// The store between construction and destruction.
class TestStore {
  public:
    TestStore(const uint32_t *calcs = kTestCalcs, const statdef *stats = kTestStats,
              const estatdef *estats = kTestEstats) {
        charts_set_clock(fixed_clock);
        init_ok_ = charts_init(calcs, stats, estats, dir_.file("missing.zel").c_str(), 0) == 0;
        EXPECT_TRUE(init_ok_);
        clear();
    }
    ~TestStore() {
        charts_term();
        charts_set_clock(nullptr);
    }
    TestStore(const TestStore &) = delete;
    TestStore &operator=(const TestStore &) = delete;

    // Every ring back to no data, every position and period number to 0.
    static void clear() {
        using charts::g;
        for (uint32_t i = 0; i < g.statdefscount; i++) {
            for (uint32_t r = 0; r < charts::kRanges; r++) {
                memset(charts::ring(i, r), 0xFF, charts::kRingBytes);
            }
        }
        for (uint32_t r = 0; r < charts::kRanges; r++) {
            g.pointers[r] = 0;
            g.timepoint[r] = 0;
        }
    }

    // Slot k periods before the newest of statistic i in range r.
    static uint64_t &at(uint32_t i, uint32_t r, uint32_t k) {
        using charts::g;
        return charts::ring(i, r)[(g.pointers[r] - k) & charts::kRingMask];
    }

  private:
    TempDir dir_;
    bool init_ok_ = false;
};

}  // namespace zeltest

#endif
