// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>
#include <stdlib.h>

#include <utility>
#include <vector>

#include "charts_priv.h"
#include "charts_query_util.h"
#include "statsdump.h"

using namespace charts;
using zeltest::TestStore;

namespace {

constexpr uint64_t N = CHARTS_NODATA;
constexpr uint64_t kMin = UINT64_C(0x8000000000000000);

// Evaluates a token list (without its list end) as calc program 0 at slot 0 of range 0, with
// statistics sa and sb holding a and b there.
uint64_t eval(std::vector<uint32_t> tokens, uint64_t a, uint64_t b) {
    tokens.push_back(kCalcListEnd);
    TestStore store(tokens.data());
    charts::ring(0, 0)[0] = a;
    charts::ring(1, 0)[0] = b;
    return charts_calc(0, 0, 0);
}

struct CalcCase {
    const char *what;
    std::vector<uint32_t> tokens;
    uint64_t a, b;
    uint64_t want;
};

TEST(ChartsCalc, Programs) {
    const CalcCase cases[] = {
        {"empty program", {1999}, 1, 2, N},
        {"constant", {1000, 42, 1999}, N, N, 42},
        {"largest constant", {1000, 0xFFFFFFFF, 1999}, N, N, 0xFFFFFFFF},
        {"negative result", {1000, 5, 1007, 1999}, N, N, N},
        {"double negation", {1000, 5, 1007, 1007, 1999}, N, N, 5},
        {"add", {0, 1, 1001, 1999}, 30, 12, 42},
        {"subtract below zero", {0, 1, 1002, 1999}, 3, 5, N},
        {"subtract", {0, 1, 1002, 1999}, 5, 3, 2},
        {"divide", {1000, 7, 1000, 2, 1006, 1999}, N, N, 3},
        {"divide toward zero", {1000, 7, 1007, 1000, 2, 1007, 1006, 1999}, N, N, 3},
        {"divide by zero", {1000, 7, 1000, 0, 1006, 1999}, N, N, N},
        {"binary with one entry", {1000, 7, 1001, 1999}, N, N, 7},
        {"binary on empty stack", {1001, 1006, 1999}, N, N, N},
        {"negate on empty stack", {1007, 1000, 4, 1999}, N, N, 4},
        {"signed minimum", {1000, 5, 1000, 3, 1007, 1003, 1000, 9, 1001, 1999}, N, N, 6},
        {"signed maximum", {1000, 5, 1000, 3, 1007, 1004, 1999}, N, N, 5},
        {"multiply wraps below zero", {0, 1, 1005, 1999}, UINT64_C(1) << 62, 3, N},
        {"multiply wraps to zero", {0, 1, 1005, 1999}, UINT64_C(1) << 62, 4, 0},
        {"multiply", {0, 1, 1005, 1999}, 6, 7, 42},
        {"add wraps to positive", {0, 1, 1001, 1999}, kMin + 1, kMin + 1, 2},
        {"absent a spreads", {1000, 0, 0, 1004, 1999}, N, 9, N},
        {"absent b spreads through minimum", {0, 1, 1003, 1999}, 9, N, N},
        {"negate keeps absent", {0, 1007, 1999}, N, 9, N},
        {"stored value 2^63 or more reads negative", {0, 1999}, kMin + 1, 0, N},
        {"negated stored value", {0, 1007, 1999}, kMin + 1, 0, UINT64_C(0x7FFFFFFFFFFFFFFF)},
        {"ignored tokens", {999, 4, 2500, 1000, 3, 1008, 1999}, N, N, 3},
        {"only the top counts", {1000, 1, 1000, 2, 1999}, N, N, 2},
        {"stops at its end", {1000, 1, 1999, 1000, 2, 1999}, N, N, 1},
    };
    for (const CalcCase &c : cases) {
        EXPECT_EQ(c.want, eval(c.tokens, c.a, c.b)) << c.what;
    }
}

TEST(ChartsCalc, StackHoldsFiftyEntries) {
    std::vector<uint32_t> tokens;
    for (uint32_t v = 1; v <= 50; v++) tokens.insert(tokens.end(), {1000, v});
    // A full stack drops these pushes but still consumes the constant's operand.
    tokens.insert(tokens.end(), {1000, 1001, 0, 1000, 7});
    tokens.push_back(1001);  // 49 + 50
    tokens.push_back(1999);
    EXPECT_EQ(99u, eval(tokens, 5, 0));
}

TEST(ChartsCalc, ConstantBeforeProgramEndEndsTheProgram) {
    // The operand slot holds the end token: nothing is pushed and the program ends there,
    // neither running into the next program nor past the stored tokens.
    EXPECT_EQ(N, eval({1000, 1999}, 1, 1));
    EXPECT_EQ(N, eval({1000, 1999, 1000, 8, 1999}, 1, 1));
    EXPECT_EQ(3u, eval({1000, 3, 1000, 1999, 1000, 8, 1999}, 1, 1));
    // Tokens after the last end belong to no program.
    EXPECT_EQ(N, eval({1000, 1999, 1000, 8}, 1, 1));
}

TEST(ChartsCalc, ProgramEndsWithTheStoredTokens) {
    const uint32_t calcs[] = {1000, 3, 1000, 4, 1999, 2000};
    TestStore store(calcs);
    EXPECT_EQ(4u, charts_calc(0, 0, 0));
    g.calcdefsleng = 3;  // a program cut after a constant without its operand
    EXPECT_EQ(3u, charts_calc(0, 0, 0));
    g.calcdefsleng = 1;
    EXPECT_EQ(N, charts_calc(0, 0, 0));
    g.calcdefsleng = 5;
}

TEST(ChartsCalc, SecondProgramAndBadArguments) {
    const uint32_t calcs[] = {1000, 1, 1999, 1, 0, 1001, 1999, 2000};
    TestStore store(calcs);
    g.pointers[2] = 100;
    charts::ring(0, 2)[77] = 10;
    charts::ring(1, 2)[77] = 20;
    EXPECT_EQ(1u, charts_calc(0, 2, 77));
    EXPECT_EQ(30u, charts_calc(1, 2, 77));
    EXPECT_EQ(30u, charts_calc(1, 2, 77 + 4096));  // the slot is a ring index
    EXPECT_EQ(N, charts_calc(1, 1, 77));           // other range: no samples
    EXPECT_EQ(N, charts_calc(2, 2, 77));
    EXPECT_EQ(N, charts_calc(0, 4, 77));
}

// A window of slots is evaluated a block at a time; every slot must equal its own evaluation,
// across block edges and where the window wraps around the ring.
TEST(ChartsCalc, WindowEqualsEachSlot) {
    const uint32_t calcs[] = {0,    1,    1002, 1000, 3,    1006, 1999,  // (a - b) / 3
                              0,    1007, 1,    1004, 1999,              // max(-a, b)
                              1000, 9,    0,    1005, 1999, 2000};       // 9 * a
    TestStore store(calcs);
    uint64_t x = 12345;
    for (uint32_t s = 0; s < kRingLength; s++) {
        x = x * 6364136223846793005ULL + 1442695040888963407ULL;
        charts::ring(0, 1)[s] = (x >> 60) == 0 ? N : (x >> 33) % 1000;
        charts::ring(1, 1)[s] = (x >> 56) % 7 == 0 ? N : (x >> 20) % 1000;
    }
    const std::pair<uint32_t, uint32_t> windows[] = {{0, 4096}, {4000, 200}, {63, 65}, {4095, 2}};
    std::vector<uint64_t> got(kRingLength);
    for (uint32_t k = 0; k < 3; k++) {
        for (const auto &[first, n] : windows) {
            charts_calc_window(k, 1, first, n, got.data());
            for (uint32_t i = 0; i < n; i++) {
                ASSERT_EQ(charts_calc(k, 1, first + i), got[i])
                    << "program " << k << ", window from " << first << ", slot " << i;
            }
        }
    }
}

TEST(ChartsCalc, CatalogueProgramsClampDifferencesAtZero) {
    TestStore store(statsdump_calcdefs, statsdump_statdefs, statsdump_estatdefs);
    const uint32_t rss = 29, virt = 30, used = 35, total = 36;
    charts::ring(virt, 0)[0] = 100;
    charts::ring(rss, 0)[0] = 150;
    EXPECT_EQ(0u, charts_calc(0, 0, 0));
    charts::ring(virt, 0)[0] = 400;
    EXPECT_EQ(250u, charts_calc(0, 0, 0));
    charts::ring(virt, 0)[0] = N;
    EXPECT_EQ(N, charts_calc(0, 0, 0));
    charts::ring(total, 0)[0] = 1000;
    charts::ring(used, 0)[0] = 300;
    EXPECT_EQ(700u, charts_calc(1, 0, 0));
    charts::ring(used, 0)[0] = 1300;
    EXPECT_EQ(0u, charts_calc(1, 0, 0));
}

TEST(ChartsSeries, SeriesCount) {
    {
        TestStore store(statsdump_calcdefs, statsdump_statdefs, statsdump_estatdefs);
        const std::pair<uint32_t, uint8_t> cases[] = {
            {0, 1},   {47, 1}, {100, 2}, {107, 2}, {109, 2},        {110, 3},
            {111, 3}, {48, 0}, {99, 0},  {112, 0}, {0xFFFFFFFF, 0},
        };
        for (auto [type, want] : cases) EXPECT_EQ(want, charts_seriescnt(type)) << type;
    }
    TestStore store;
    EXPECT_EQ(0, charts_seriescnt(102));  // first source empty
    EXPECT_EQ(1, charts_seriescnt(104));  // second source invalid, third valid
    EXPECT_EQ(0, charts_seriescnt(105));  // calc program that does not exist
    EXPECT_EQ(3, charts_seriescnt(103));
}

TEST(ChartsSeries, MissingSourceLeavesPointerAbsent) {
    TestStore store;
    const struct {
        uint32_t range, type, cno;
    } cases[] = {
        {4, 0, 1},  {0, 0, 0},   {0, 0, 4},   {0, 0, 2},   {0, 3, 3},   {0, 4, 1},
        {0, 99, 1}, {0, 106, 1}, {0, 100, 3}, {0, 102, 1}, {0, 104, 2}, {0, 105, 1},
    };
    for (const auto &c : cases) {
        uint64_t *tab = nullptr;
        EXPECT_EQ(0, charts_filltab(&tab, c.range, c.type, c.cno, 16))
            << c.range << " " << c.type << " " << c.cno;
        EXPECT_EQ(nullptr, tab);
    }
    uint64_t *tab = nullptr;
    EXPECT_EQ(0, charts_filltab(&tab, 0, 100, 3, 0));
    EXPECT_EQ(nullptr, tab);
}

TEST(ChartsSeries, WidthZeroCreatesTheBuffer) {
    TestStore store;
    uint64_t *tab = nullptr;
    EXPECT_EQ(1, charts_filltab(&tab, 0, 0, 1, 0));
    ASSERT_NE(nullptr, tab);
    uint64_t *const first = tab;
    EXPECT_EQ(first, charts_prepare_buff(&tab));
    EXPECT_EQ(1, charts_filltab(&tab, 0, 102, 2, 0));  // a later slot of a chart with a gap
    EXPECT_EQ(first, tab);
    free(tab);
}

TEST(ChartsSeries, WindowEndsAtNewestSlot) {
    TestStore store;
    for (uint32_t s = 0; s < kRingLength; s++) charts::ring(2, 1)[s] = 1000 + s;
    uint64_t *tab = nullptr;

    g.pointers[1] = 5;
    ASSERT_EQ(1, charts_filltab(&tab, 1, 2, 1, 8));
    const uint64_t want[] = {5094, 5095, 1000, 1001, 1002, 1003, 1004, 1005};
    for (uint32_t i = 0; i < 8; i++) EXPECT_EQ(want[i], tab[i]) << i;

    for (uint32_t p : {0u, 5u, 4095u}) {
        g.pointers[1] = p;
        ASSERT_EQ(1, charts_filltab(&tab, 1, 2, 1, kRingLength));
        for (uint32_t i = 0; i < kRingLength; i++) {
            ASSERT_EQ(1000 + ((p + 1 + i) & kRingMask), tab[i]) << p << " " << i;
        }
    }
    g.pointers[1] = 4095;
    ASSERT_EQ(1, charts_filltab(&tab, 1, 2, 1, 3));
    EXPECT_EQ(1000u + 4093, tab[0]);
    EXPECT_EQ(1000u + 4095, tab[2]);
    free(tab);
}

TEST(ChartsSeries, ExtendedSourcesFollowTheirSlots) {
    TestStore store;
    g.pointers[0] = 2;
    for (uint32_t s : {4095u, 0u, 1u, 2u}) {
        charts::ring(0, 0)[s] = 100 + s;
        charts::ring(1, 0)[s] = 10;
        charts::ring(2, 0)[s] = 7 * s;
    }
    charts::ring(1, 0)[1] = N;
    uint64_t *tab = nullptr;
    ASSERT_EQ(1, charts_filltab(&tab, 0, 101, 1, 4));  // calc: max(0, sa - sb)
    const uint64_t calc[] = {100 + 4095 - 10, 90, N, 92};
    for (uint32_t i = 0; i < 4; i++) EXPECT_EQ(calc[i], tab[i]) << i;
    ASSERT_EQ(1, charts_filltab(&tab, 0, 101, 2, 4));  // source 3 is statistic sc
    const uint64_t sc[] = {7 * 4095, 0, 7, 14};
    for (uint32_t i = 0; i < 4; i++) EXPECT_EQ(sc[i], tab[i]) << i;
    ASSERT_EQ(1, charts_filltab(&tab, 0, 102, 3, 2));
    EXPECT_EQ(7u, tab[0]);
    EXPECT_EQ(14u, tab[1]);
    ASSERT_EQ(1, charts_filltab(&tab, 0, 104, 3, 1));
    EXPECT_EQ(10u, tab[0]);
    free(tab);
}

}  // namespace
