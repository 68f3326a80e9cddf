// SPDX-License-Identifier: Apache-2.0
// Store lifecycle: catalogue and calc program copies, rings, and what charts_init leaves behind
// in tool and server mode.
#include <gtest/gtest.h>
#include <unistd.h>

#include "charts_priv.h"
#include "charts_store_util.h"
#include "statsdump.h"
#include "test_util.h"

using namespace charts;
using zeltest::StoreFixture;

namespace {

struct CalcCase {
    const char *what;
    std::vector<uint32_t> tokens;  // ends with 2000
    uint32_t count;
    uint32_t leng;
    std::vector<uint32_t> starts;  // token index of each program
};

TEST(ChartsInit, CalcProgramStorage) {
    const std::vector<CalcCase> cases = {
        {"end token only", {2000}, 0, 0, {}},
        {"tokens without a program end", {1000, 5, 2000}, 0, 0, {}},
        {"one program", {1000, 5, 1999, 2000}, 1, 3, {0}},
        {"empty program", {1999, 2000}, 1, 1, {0}},
        {"two programs and an unended tail", {1, 1999, 2, 3, 1999, 4, 2000}, 2, 6, {0, 2}},
    };
    zeltest::TempDir dir;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        StoreFixture st(dir.file("none.zel"), 1, zeltest::kStoreStats, zeltest::kStoreEstats,
                        c.tokens.data());
        ASSERT_EQ(-1, st.rc);  // tool mode without a file; the copies are made before the load
        EXPECT_EQ(c.count, g.calcdefscount);
        if (c.count == 0) {
            EXPECT_EQ(nullptr, g.calcdefs);
            EXPECT_EQ(nullptr, g.calcstartpos);
            continue;
        }
        ASSERT_NE(nullptr, g.calcdefs);
        EXPECT_NE(c.tokens.data(), g.calcdefs);
        EXPECT_EQ(c.leng, g.calcdefsleng);
        for (uint32_t k = 0; k < c.leng; k++) EXPECT_EQ(c.tokens[k], g.calcdefs[k]);
        for (uint32_t k = 0; k < c.count; k++)
            EXPECT_EQ(g.calcdefs + c.starts[k], g.calcstartpos[k]);
    }
}

TEST(ChartsInit, CatalogueCalcProgramsStartAtTokensZeroAndSeven) {
    zeltest::TempDir dir;
    StoreFixture st(dir.file("none.zel"), 0, statsdump_statdefs, statsdump_estatdefs,
                    statsdump_calcdefs);
    ASSERT_EQ(0, st.rc);
    EXPECT_EQ(48u, g.statdefscount);
    EXPECT_EQ(12u, g.estatdefscount);
    ASSERT_EQ(2u, g.calcdefscount);
    EXPECT_EQ(14u, g.calcdefsleng);
    EXPECT_EQ(g.calcdefs, g.calcstartpos[0]);
    EXPECT_EQ(g.calcdefs + 7, g.calcstartpos[1]);
}

TEST(ChartsInit, CopiesCatalogueWithOwnNames) {
    zeltest::TempDir dir;
    std::string path = dir.file("none.zel");
    StoreFixture st(path, 0);
    ASSERT_EQ(0, st.rc);
    EXPECT_STREQ(path.c_str(), g.statsfilename);
    EXPECT_NE(path.c_str(), g.statsfilename);
    ASSERT_EQ(3u, g.statdefscount);
    for (uint32_t i = 0; i < 3; i++) {
        EXPECT_STREQ(zeltest::kStoreStats[i].name, g.statdefs[i].name);
        EXPECT_NE(zeltest::kStoreStats[i].name, g.statdefs[i].name);
        const statdef &a = zeltest::kStoreStats[i], &b = g.statdefs[i];
        EXPECT_TRUE(a.statid == b.statid && a.mode == b.mode && a.percent == b.percent &&
                    a.scale == b.scale && a.multiplier == b.multiplier && a.divisor == b.divisor);
        EXPECT_EQ(0u, g.monotonic[i]);
    }
    ASSERT_EQ(2u, g.estatdefscount);
    EXPECT_STREQ("ab", g.estatdefs[0].name);
    EXPECT_NE(zeltest::kStoreEstats[0].name, g.estatdefs[0].name);
    EXPECT_EQ(nullptr, g.estatdefs[1].name);
    EXPECT_EQ(1000u, g.estatdefs[1].c1src);
    EXPECT_EQ(3u, g.estatdefs[1].c2src);
    EXPECT_EQ(4229940u, g.rawchartsize);
    EXPECT_EQ(4234185u, g.compbuffsize);
}

TEST(ChartsInit, EmptyTablesGiveNoRings) {
    zeltest::TempDir dir;
    zeltest::store_clock_now = 1709645820;
    StoreFixture st(dir.file("none.zel"), 0, zeltest::kNoStats, zeltest::kNoEstats,
                    zeltest::kNoCalcs);
    ASSERT_EQ(0, st.rc);
    EXPECT_EQ(0u, g.statdefscount);
    EXPECT_EQ(nullptr, g.statdefs);
    EXPECT_EQ(0u, g.estatdefscount);
    EXPECT_EQ(nullptr, g.estatdefs);
    EXPECT_EQ(nullptr, g.series);
    EXPECT_EQ(nullptr, g.monotonic);
    // Sampling still moves the clock of the store.
    uint32_t tp0 = g.timepoint[0];
    charts_add(nullptr, zeltest::store_clock_now + 120);
    EXPECT_EQ(tp0 + 2, g.timepoint[0]);
    EXPECT_EQ(2u, g.pointers[0]);
}

TEST(ChartsInit, ServerModeWithoutFileStartsEmptyAtTheCurrentTime) {
    zeltest::ScopedTz tz("UTC");
    zeltest::TempDir dir;
    zeltest::store_clock_now = 1709645820;  // 2024-03-05 13:37:00 UTC
    zeltest::CaptureFd err(2);
    StoreFixture st(dir.file("none.zel"), 0, statsdump_statdefs, statsdump_estatdefs,
                    statsdump_calcdefs);
    std::string text = err.text();
    ASSERT_EQ(0, st.rc);
    EXPECT_NE(std::string::npos, text.find("no charts data file - initializing empty charts"));
    for (uint32_t i = 0; i < g.statdefscount; i++) {
        for (uint32_t r = 0; r < kRanges; r++)
            ASSERT_TRUE(zeltest::ring_is_empty(charts::ring(i, r)));
    }
    for (uint32_t r = 0; r < kRanges; r++) {
        EXPECT_EQ(0u, g.pointers[r]);
        EXPECT_EQ(1709645820u / kRangeSeconds[r], g.timepoint[r]);
    }
    EXPECT_TRUE(g.zstr_ready);
}

TEST(ChartsInit, ToolModeFailsOnMissingFile) {
    zeltest::TempDir dir;
    zeltest::CaptureFd err(2);
    StoreFixture st(dir.file("none.zel"), 1);
    EXPECT_EQ(-1, st.rc);
    EXPECT_EQ("file loading error: ENOENT (No such file or directory)\n", err.text());
}

// A mode value that is neither the tool nor the viewer reads the file as a server does: a
// damaged file gives an empty store and a warning, not a failure.
TEST(ChartsInit, OtherModeValuesReadAsAServer) {
    zeltest::TempDir dir;
    const std::string path = dir.file("short.zel");
    zeltest::write_file(path, zeltest::file_header(4096, 1, 28000000));
    for (uint8_t mode : {3, 7, 255}) {
        zeltest::CaptureFd err(2);
        StoreFixture st(path, mode);
        EXPECT_EQ(0, st.rc) << int(mode);
        EXPECT_NE(std::string::npos, err.text().find("error reading charts data file"))
            << int(mode);
    }
}

// A viewer never fails on a bad file and keeps the last history it could read: each step
// writes (or removes) the file, reloads, and checks the result, the message and what is shown.
TEST(ChartsViewer, ReloadKeepsTheLastGoodHistory) {
    zeltest::TempDir dir;
    const std::string path = dir.file("v.zel");
    auto good = [](uint32_t tag, uint32_t newest) {
        return zeltest::file_header(4096, 1, newest) + zeltest::file_record("alpha", 4096, tag);
    };
    zeltest::CaptureFd err(2);
    StoreFixture st(path, CHARTS_MODE_VIEWER);
    EXPECT_EQ(0, st.rc);
    EXPECT_STREQ("file loading error: ENOENT (No such file or directory)", charts_load_message());
    EXPECT_TRUE(zeltest::ring_is_empty(charts::ring(0, 0)));

    struct Step {
        const char *what;
        std::string bytes;  // empty: the file is removed
        int rc;
        const char *message;
        uint32_t shown_tag;  // tag of the history shown afterwards (0: empty)
        uint32_t newest;
    };
    const std::string first = good(7, 28000000);
    const Step steps[] = {
        {"file appears", first, 0, "", 7, 28000000},
        {"newer file", good(9, 28000005), 0, "", 9, 28000005},
        {"truncated", good(3, 28000009).substr(0, 5000), -1, "error reading charts data file", 9,
         28000005},
        {"wrong tag", good(4, 1).replace(0, 4, "\x00\x02\x00\x00", 4), -1,
         "unrecognized charts data file format", 9, 28000005},
        {"removed", "", -1, "file loading error: ENOENT (No such file or directory)", 9, 28000005},
        {"good again", first, 0, "", 7, 28000000},
    };
    for (const Step &s : steps) {
        SCOPED_TRACE(s.what);
        if (s.bytes.empty()) {
            unlink(path.c_str());
        } else {
            zeltest::write_file(path, s.bytes);
        }
        EXPECT_EQ(s.rc, charts_reload());
        EXPECT_EQ(0, strncmp(s.message, charts_load_message(), strlen(s.message)));
        EXPECT_EQ(s.newest, g.timepoint[0]);
        for (uint32_t r = 0; r < kRanges; r++) {
            EXPECT_EQ(kRingMask, g.pointers[r]);
            EXPECT_EQ(zeltest::entry_value(s.shown_tag, r, 4095), charts::ring(0, r)[kRingMask]);
            EXPECT_TRUE(zeltest::ring_is_empty(charts::ring(1, r)));
        }
    }
    EXPECT_EQ("", err.text());  // a viewer prints nothing
}

TEST(ChartsViewer, ReloadIsForViewersOnly) {
    zeltest::TempDir dir;
    StoreFixture st(dir.file("none.zel"), CHARTS_MODE_SERVER);
    EXPECT_EQ(-1, charts_reload());
}

// A server that starts after a pause catches up: the loaded newest slot moves back by the
// minutes that passed and the slots in between are empty.
TEST(ChartsInit, ServerModeCatchesUpWithTheClock) {
    zeltest::ScopedTz tz("UTC");
    zeltest::TempDir dir;
    std::string path = dir.file("stats.zel");
    const uint32_t newest = 28494157;  // 2024-03-05 13:37
    std::string file =
        zeltest::file_header(4096, 1, newest) + zeltest::file_record("alpha", 4096, 1);
    zeltest::write_file(path, file);
    zeltest::store_clock_now = (newest + 10) * 60 + 5;
    StoreFixture st(path, 0);
    ASSERT_EQ(0, st.rc);
    EXPECT_EQ(newest + 10, g.timepoint[0]);
    EXPECT_EQ(9u, g.pointers[0]);
    const uint64_t *ring = charts::ring(0, 0);
    EXPECT_EQ(zeltest::entry_value(1, 0, 4095), ring[4095]);
    for (uint32_t s = 0; s <= 9; s++) EXPECT_EQ(CHARTS_NODATA, ring[s]);
    EXPECT_EQ(zeltest::entry_value(1, 0, 10), ring[10]);
    // 13:37 -> 13:47 crosses the 13:42 boundary of range 1 but no half hour or day.
    EXPECT_EQ(0u, g.pointers[1]);
    EXPECT_EQ(4095u, g.pointers[2]);
    EXPECT_EQ(4095u, g.pointers[3]);
}

TEST(ChartsTerm, ReleasesAndAllowsANewStore) {
    zeltest::TempDir dir;
    {
        StoreFixture st(dir.file("none.zel"), 0);
        ASSERT_EQ(0, st.rc);
    }
    EXPECT_EQ(nullptr, g.series);
    EXPECT_EQ(nullptr, g.statsfilename);
    EXPECT_FALSE(g.zstr_ready);
    StoreFixture again(dir.file("none.zel"), 0);
    ASSERT_EQ(0, again.rc);
    EXPECT_EQ(3u, g.statdefscount);
}

}  // namespace

#if defined(__SANITIZE_ADDRESS__)
// The rings share one mapping; the slots between two rings must still count as outside both.
TEST(ChartsRingsDeathTest, SlotPastARingIsReported) {
    zeltest::TempDir dir;
    StoreFixture st(dir.file("none.zel"), 0);
    ASSERT_EQ(0, st.rc);
    EXPECT_DEATH(
        {
            volatile uint64_t v = charts::ring(0, 0)[kRingLength];
            (void)v;
        },
        "use-after-poison");
}
#endif
