// SPDX-License-Identifier: Apache-2.0
// The table's number and date texts against the printf formats they stand for.
#include <gtest/gtest.h>
#include <math.h>
#include <stdio.h>

#include <bit>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "statsdump.h"
#include "statsdump_priv.h"
#include "test_util.h"
#include "wide.h"

namespace {

using Formatter = char *(*)(char *, double);

std::string run(Formatter f, double v) {
    char buf[statsdump::kNumberMax];
    return std::string(buf, f(buf, v));
}

std::string ref(const char *fmt, double v) {
    char buf[512];
    int n = snprintf(buf, sizeof buf, fmt, v);
    return std::string(buf, size_t(n));
}

// Reference for the base-10 format, the same steps done with printf.
std::string ref_si(double n) {
    if (n < 0.0009995) return ref("%.2lfu", n * 1000000.0);
    if (n < 0.9995) return ref("%.2lfm", n * 1000.0);
    if (n < 999.5) return ref("%.2lf", n);
    if (n < 999500.0) return ref("%.2lfk", n / 1000.0);
    if (n < 999500000.0) return ref("%.2lfM", n / 1000000.0);
    if (n < 999500000000.0) return ref("%.2lfG", n / 1000000000.0);
    if (n < 999500000000000.0) return ref("%.2lfT", n / 1000000000000.0);
    return ref("%.2lfP", n / 1000000000000000.0);
}

std::string ref_iec(double n) {
    if (n < 999.5) return ref("%.2lf", n);
    for (int i = 1; i <= 5; i++) {
        n *= 0.0009765625;
        if (n < 999.5) return ref("%.2lf", n) + "-KMGTP"[i] + "i";
    }
    return ref("%.2lfEi", n * 0.0009765625);
}

// Compares all four number texts for one value; returns false (and records a failure) on the
// first difference so that a broken formatter does not flood the log.
bool check(double v) {
    std::string got, want;
    if ((got = run(statsdump::put_fixed6, v)) != (want = ref("%lf", v))) {
        ADD_FAILURE() << "%lf of " << ref("%a", v) << ": " << got << " != " << want;
        return false;
    }
    if ((got = run(statsdump::put_fixed2, v)) != (want = ref("%.2lf", v))) {
        ADD_FAILURE() << "%.2lf of " << ref("%a", v) << ": " << got << " != " << want;
        return false;
    }
    if ((got = run(statsdump::put_si, v)) != (want = ref_si(v))) {
        ADD_FAILURE() << "si of " << ref("%a", v) << ": " << got << " != " << want;
        return false;
    }
    if ((got = run(statsdump::put_iec, v)) != (want = ref_iec(v))) {
        ADD_FAILURE() << "iec of " << ref("%a", v) << ": " << got << " != " << want;
        return false;
    }
    return true;
}

TEST(StatsdumpFmt, ExamplesOfTheTable) {
    EXPECT_EQ(run(statsdump::put_fixed6, 50.0), "50.000000");
    EXPECT_EQ(run(statsdump::put_fixed6, -0.0), "-0.000000");
    EXPECT_EQ(run(statsdump::put_fixed6, 0.0000005), "0.000000");  // below the tie in binary
    EXPECT_EQ(run(statsdump::put_fixed6, 0.0078125), "0.007812");  // tie to even
    EXPECT_EQ(run(statsdump::put_fixed2, 0.125), "0.12");
    EXPECT_EQ(run(statsdump::put_fixed2, 0.375), "0.38");
    EXPECT_EQ(run(statsdump::put_si, 0.0), "0.00u");
    EXPECT_EQ(run(statsdump::put_si, 0.5), "500.00m");
    EXPECT_EQ(run(statsdump::put_si, 999.4), "999.40");
    EXPECT_EQ(run(statsdump::put_si, 999.6), "1.00k");
    EXPECT_EQ(run(statsdump::put_si, 1000.0), "1.00k");
    EXPECT_EQ(run(statsdump::put_si, 1500000.0), "1.50M");
    EXPECT_EQ(run(statsdump::put_iec, 1000.0), "0.98Ki");
    EXPECT_EQ(run(statsdump::put_iec, 1023.0), "1.00Ki");
    EXPECT_EQ(run(statsdump::put_iec, 1048576.0), "1.00Mi");
    EXPECT_EQ(run(statsdump::put_iec, 1152921504606846976.0), "1.00Ei");
}

// Values of one edge class, appended to the list.
using Gen = void (*)(std::vector<double> &, std::mt19937_64 &);

// Neighbours of x: k units in the last place up and down.
void around(std::vector<double> &out, double x, int k) {
    out.push_back(x);
    double up = x, down = x;
    for (int i = 0; i < k; i++) {
        up = nextafter(up, INFINITY);
        down = nextafter(down, -INFINITY);
        out.push_back(up);
        out.push_back(down);
    }
}

// The formatters' own boundaries (the ends of the fast ranges and of the integer path) and the
// thresholds of the SI and IEC prefixes, each with its neighbouring doubles and decimals.
const double kBoundaries[] = {100.0,
                              1e6,
                              4e9,
                              4e13,
                              1e-6,
                              5e-7,
                              0.005,
                              0x1p-14,
                              0x1p-13,
                              4.0,
                              8.0,
                              0x1p46,
                              0x1p52,
                              0x1p63,
                              0x1p64,
                              0.0009995,
                              0.9995,
                              999.5,
                              999500.0,
                              999500000.0,
                              999500000000.0,
                              999500000000000.0,
                              999.5 * 1024,
                              999.5 * 1048576,
                              999.5 * 1073741824.0,
                              999.5 * 1099511627776.0,
                              999.5 * 1125899906842624.0,
                              999.5 * 1152921504606846976.0};

const struct EdgeClass {
    const char *name;
    Gen gen;
    size_t at_least;  // guards against a generator that produces (next to) nothing
} kClasses[] = {
    {"listed values",
     [](std::vector<double> &out, std::mt19937_64 &) {
         // clang-format off
         const double values[] = {
             0.0, -0.0, 0.5, 1.5, 2.5, 0.125, 0.375, 0.0000005, 0.0000015, 0.0000025,
             0.0078125, 0.0234375,  // multiples of 2^-7: exact ties at the seventh decimal
             0.005, 0.015, 0.025, 999.4, 999.5, 999.6, 999.995, 999.9999995, 1000.0, 1023.0, 1024.0,
             1048576.0, 1500000.0, 1e15, 1e15 - 0.5, 999999999999999.9, 9007199254740991.0,
             9007199254740992.0, 1152921504606846976.0,
             18446744073709549568.0,  // the largest double below 2^64
             18446744073709551616.0, 1e20, 1e300, 1.7976931348623157e308, 4.9e-324,
             2.2250738585072014e-308, 2.2250738585072009e-308, INFINITY, -INFINITY, NAN, -NAN,
             -1.0, -0.0000001, -0.004, -1e20, 50.0, 0.0009995, 0.0009994999, 0.9995, 0.99949999,
             999500.0, 999499.999, 999500000.0, 999500000000.0, 999500000000000.0};
         // clang-format on
         out.insert(out.end(), std::begin(values), std::end(values));
     },
     50},
    {"powers of two and neighbours",
     [](std::vector<double> &out, std::mt19937_64 &) {
         for (int e = -1074; e <= 1023; e++) around(out, ldexp(1.0, e), 1);
     },
     6000},
    {"powers of ten and neighbours",
     [](std::vector<double> &out, std::mt19937_64 &) {
         for (int e = -30; e <= 30; e++) around(out, pow(10.0, e), 3);
         for (int e = -30; e <= 30; e++) around(out, 5 * pow(10.0, e), 3);
     },
     800},
    {"binary ties (k / 2^j, j <= 12)",
     [](std::vector<double> &out, std::mt19937_64 &) {
         for (int k = 1; k <= 12; k++) {
             const double unit = ldexp(1.0, -k);
             for (int m = 0; m < 4096; m++) {
                 out.push_back(m * unit + 17.0);
                 out.push_back(m * unit);
             }
         }
     },
     98000},
    {"ties at the 3rd and 7th decimal at every magnitude",
     [](std::vector<double> &out, std::mt19937_64 &rng) {
         // n + odd / 8 ends in 5 at the third decimal, n + odd / 128 at the seventh: exact ties
         // of "%.2lf" and "%lf" while n * 128 stays below 2^53.
         for (int e = 0; e <= 45; e++) {
             for (int i = 0; i < 200; i++) {
                 const double n = std::ldexp(1.0, e) + double(rng() % (uint64_t(1) << e));
                 out.push_back(n + double(2 * (rng() % 4) + 1) / 8);
                 out.push_back(n + double(2 * (rng() % 64) + 1) / 128);
             }
         }
     },
     18000},
    {"decimal halves at every place",
     [](std::vector<double> &out, std::mt19937_64 &) {
         // xxx.5, x.05, x.005, ... as the nearest doubles, with their neighbours
         for (int place = 1; place <= 16; place++) {
             const double half = 5.0 * pow(10.0, -place);
             for (int i = 0; i < 200; i++) around(out, i * pow(10.0, 1 - place) + half, 1);
         }
     },
     9000},
    {"every sixth decimal (7 + k / 10^6, k / 10^6)",
     [](std::vector<double> &out, std::mt19937_64 &) {
         for (int k = 0; k < 1000000; k += 7) {
             out.push_back(7 + k / 1e6);
             out.push_back(k / 1e6);
         }
     },
     280000},
    {"fractions that round up to the next integer, at every magnitude",
     [](std::vector<double> &out, std::mt19937_64 &) {
         // n + 1 - tiny carries into the integer part at six decimals (and at two), n + 0.9999995
         // and n + 0.995 are near ties at the carry; n up to 2^52, the last with a fraction.
         for (int e = 0; e <= 52; e++) {
             const double n = std::ldexp(1.0, e) - 1;
             for (const double f : {0.9999995, 0.995, 0.9999999, 0.5}) around(out, n + f, 8);
             around(out, n + 1, 8);
         }
         for (int e = 0; e <= 15; e++) {
             const double n = pow(10.0, e);
             for (const double f : {0.9999995, 0.995, 0.99999949, 0.00000051})
                 around(out, n + f, 8);
         }
     },
     2500},
    {"largest integers below 2^53 and 2^64",
     [](std::vector<double> &out, std::mt19937_64 &) {
         for (int k = 0; k <= 2000; k++) {
             out.push_back(9007199254740992.0 - k);
             out.push_back(9007199254740992.0 + 2.0 * k);
         }
         double x = 18446744073709551616.0;
         for (int k = 0; k < 2000; k++) out.push_back(x = nextafter(x, 0.0));
     },
     6000},
    {"subnormals",
     [](std::vector<double> &out, std::mt19937_64 &rng) {
         for (uint64_t b = 0; b < 1000; b++) {
             out.push_back(std::bit_cast<double>(b));
             out.push_back(std::bit_cast<double>(0x000FFFFFFFFFFFFFULL - b));
             out.push_back(std::bit_cast<double>(rng() & 0x800FFFFFFFFFFFFFULL));
         }
     },
     3000},
    {"near the formatters' and the prefixes' boundaries",
     [](std::vector<double> &out, std::mt19937_64 &) {
         for (double b : kBoundaries) {
             around(out, b, 64);
             for (double step : {1e-9, 1e-6, 1e-4, 1e-3, 1e-2}) {
                 for (int k = -20; k <= 20; k++) out.push_back(b * (1 + k * step));
             }
         }
     },
     8000},
    {"random decimal magnitudes and stored-like values",
     [](std::vector<double> &out, std::mt19937_64 &rng) {
         std::uniform_real_distribution<double> unit(0.0, 1.0);
         std::uniform_int_distribution<int> mag(-12, 22);
         for (int i = 0; i < 400000; i++) {
             double v = unit(rng) * pow(10.0, mag(rng));
             if (i % 4 == 1) v = round(v * 1e6) / 1e6;  // decimal values such as stored ones
             if (i % 4 == 2) v = double(rng() >> (rng() % 64));
             out.push_back(v);
             if (i % 4 == 3) out.push_back(double(rng() % 100000000) * (100.0 / 60.0));  // rates
         }
     },
     400000},
    {"random bit patterns",
     [](std::vector<double> &out, std::mt19937_64 &rng) {
         // below 2^64 and around the ends of the integer path, then anything
         for (int i = 0; i < 200000; i++) {
             uint64_t bits = rng() & 0x7FFFFFFFFFFFFFFFULL;
             bits = (bits & 0x800FFFFFFFFFFFFFULL) | (uint64_t(900 + rng() % 220) << 52);
             out.push_back(std::bit_cast<double>(bits));
         }
         for (int i = 0; i < 50000; i++) out.push_back(std::bit_cast<double>(rng()));
     },
     250000},
};

// Every class against snprintf: "%lf", "%.2lf" and the two prefix forms built on "%.2lf".
// Prints the count per class; a class stops at its first difference.
TEST(StatsdumpFmt, MatchesPrintfOverEdgeClassesAndRandomValues) {
    std::mt19937_64 rng(12345);
    size_t total = 0;
    for (const EdgeClass &c : kClasses) {
        std::vector<double> values;
        c.gen(values, rng);
        size_t checked = 0;
        for (double v : values) {
            if (!check(v)) break;
            // The negative twin, as put_fixed6 and put_fixed2 write it.
            if (!check(-v)) break;
            checked++;
        }
        EXPECT_EQ(checked, values.size()) << c.name;
        EXPECT_GE(values.size(), c.at_least) << c.name;
        printf("  %-55s %8zu values\n", c.name, values.size());
        total += values.size();
    }
    printf("  %-55s %8zu values, each also negated, 4 texts each\n", "all classes", total);
}

// The 128-bit arithmetic of the exact paths and the chart axis, in two halves so that 32-bit
// architectures have it too, against the compiler's own 128-bit type: products, sums, quotients,
// shifted bits and the test of low bits, over edge and random operands.
TEST(StatsdumpFmt, WideArithmeticMatchesTheCompilersType) {
    using namespace zelcommon;
    __extension__ typedef unsigned __int128 u128;
    std::mt19937_64 rng(99);
    std::vector<uint64_t> as = {0, 1, 0xFFFFFFFF, 0x100000000ULL, 1ULL << 53, 1ULL << 63, ~0ULL};
    std::vector<uint32_t> bs = {0, 1, 999, 1000, 65535, 1000000, 0xFFFFFFFF};
    for (int i = 0; i < 200; i++) {
        as.push_back(rng() >> (rng() % 64));
        bs.push_back(uint32_t(rng() >> (32 + rng() % 32)));
    }
    for (const uint64_t a : as) {
        for (const uint32_t b : bs) {
            const u128 want = u128(a) * b;
            const Wide w = wide_mul(a, b);
            ASSERT_EQ(want, u128(w.hi) << 64 | w.lo) << a << " * " << b;
            const Wide sum = wide_add(w, a);
            ASSERT_EQ(want + a, u128(sum.hi) << 64 | sum.lo) << a << " * " << b << " + " << a;
            if (b != 0) {
                const Wide q = wide_div(w, b | 1);
                ASSERT_EQ(want / (b | 1), u128(q.hi) << 64 | q.lo) << a << " * " << b;
            }
            for (uint32_t at = 0; at <= 128; at++) {
                if (at < 128) {
                    ASSERT_EQ(uint64_t(want >> at), wide_shr(w, at)) << at;
                }
                const u128 low = at == 128 ? want : want & ((u128(1) << at) - 1);
                ASSERT_EQ(low != 0, wide_any_below(w, at)) << a << " * " << b << " below " << at;
            }
        }
    }
}

// The digit conversions behind every formatter, for every n < 10^8, against a counter kept
// in characters: all eight digits, without leading zeros, and "." with six decimals.
TEST(StatsdumpFmt, DigitsOfEveryNumberBelow1e8) {
    using namespace statsdump::fmt;
    char want[8] = {'0', '0', '0', '0', '0', '0', '0', '0'};
    int first = 7;  // first digit that is not a leading zero
    for (uint32_t n = 0; n < 100000000; n++) {
        char got[24];
        char *g = got;
        store8(got, pairs8(n));
        char *end = put_short(got + 8, n);
        if (memcmp(got, want, 8) != 0 || end - (got + 8) != 8 - first ||
            memcmp(got + 8, want + first, size_t(8 - first)) != 0) {
            ADD_FAILURE() << n << ": " << std::string(got, 8) << " " << std::string(g + 8, end);
            return;
        }
        if (n < 1000000) {
            end = put_point6(got, n);
            if (end - got != 7 || got[0] != '.' || memcmp(got + 1, want + 2, 6) != 0) {
                ADD_FAILURE() << n << ": " << std::string(g, end);
                return;
            }
        }
        int i = 7;
        while (i >= 0 && ++want[i] > '9') want[i--] = '0';
        if (i < first) first = i;
    }
}

TEST(StatsdumpFmt, IntegersAndDates) {
    char buf[32];
    for (uint32_t v : {0u, 9u, 10u, 99u, 100u, 4095u, 1000000u, 4294967295u}) {
        EXPECT_EQ(std::string(buf, statsdump::put_u32(buf, v)), std::to_string(v));
    }
    const struct {
        uint32_t ts;
        const char *text;
    } dates[] = {
        {0, "1970-01-01 00:00"},           {59, "1970-01-01 00:00"},
        {86399, "1970-01-01 23:59"},       {951782400, "2000-02-29 00:00"},
        {951868800, "2000-03-01 00:00"},   {1709210096, "2024-02-29 12:34"},
        {1704067199, "2023-12-31 23:59"},  {1735603200, "2024-12-31 00:00"},
        {68169600, "1972-02-29 00:00"},    {4107456000u, "2100-02-28 00:00"},
        {4107542400u, "2100-02-29 00:00"},  // no century rule: one day behind from here
        {4294967295u, "2106-02-06 06:28"},
    };
    for (const auto &d : dates) {
        EXPECT_EQ(std::string(buf, statsdump::put_date(buf, d.ts)), d.text) << d.ts;
    }
}

// Against the C library's calendar (UTC) over the years where it agrees, every 7 hours and
// a few minutes.
TEST(StatsdumpFmt, DatesMatchCalendar) {
    char buf[32], want[64];
    for (uint64_t ts = 0; ts < 4102444800ULL; ts += 25321) {  // up to 2100-01-01
        time_t t = time_t(ts);
        struct tm tm;
        gmtime_r(&t, &tm);
        snprintf(want, sizeof want, "%04d-%02d-%02d %02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1,
                 tm.tm_mday, tm.tm_hour, tm.tm_min);
        ASSERT_EQ(std::string(buf, statsdump::put_date(buf, uint32_t(ts))), want) << ts;
    }
}

TEST(StatsdumpFmt, PublicPrintersWriteToStandardOutput) {
    zeltest::CaptureFd cap(1);
    statsdump_print_date(1709210096);
    putchar('|');
    statsdump_print_humanize_si(999.6);
    putchar('|');
    statsdump_print_humanize_iec(1023.0);
    EXPECT_EQ(cap.text(), "2024-02-29 12:34|1.00k|1.00Ki");
}

}  // namespace
