// SPDX-License-Identifier: Apache-2.0
// Number and date texts of the statistics table, byte for byte those of the printf formats named
// below. The table prints up to a quarter of a million values, so the common cases are inline:
// the integer part comes from one conversion and the fraction left over (exact) is scaled by
// 10^decimals in double arithmetic, rounded to an integer by adding 2^52 (the addition rounds
// half to even), and the rounding is accepted only when the scaled fraction's rounding error
// cannot have crossed a half unit: what is left must be further from 1/2 than the error bound.
// Everything else (exact ties and values within the error of one, 2^63 and above, NaN) goes to
// the exact integer path in statsdump_fmt.cpp. Digits come from tables: a number below 10^4
// with its length in one load, four digits with leading zeros, two with a point before them; a
// number is split into its groups by divisions by constants, which compile to multiplications:
// no division loop and no count of digits.
#ifndef ZELCOMMON_STATSDUMP_FMT_H
#define ZELCOMMON_STATSDUMP_FMT_H

#include <math.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <bit>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace statsdump {

// Room one formatter call may need: the longest "%lf" text of a double (309 integer digits,
// sign, point, six decimals) and a suffix, with some margin. The inline formatters also store
// whole 8-byte words, up to 7 bytes past the end of their text, always inside this room.
constexpr size_t kNumberMax = 400;

// Each writes its text at out (at most kNumberMax bytes, no terminating zero) and returns the
// end of what it wrote. The texts are exactly those of the printf formats named.
char *put_fixed6(char *out, double v);   // "%lf"
char *put_fixed2(char *out, double v);   // "%.2lf"
char *put_si(char *out, double v);       // base-10 prefixes: "%.2lfu" .. "%.2lfP"
char *put_iec(char *out, double v);      // base-2 prefixes: "%.2lf", "%.2lfKi" .. "%.2lfEi"
char *put_u32(char *out, uint32_t v);    // "%u"
char *put_date(char *out, uint32_t ts);  // "%04u-%02u-%02u %02u:%02u", calendar without centuries

namespace fmt {

// The exact paths: any double, any sign.
char *fixed6_exact(char *out, double v);
char *fixed2_exact(char *out, double v);

// Stores the eight bytes of w at out, the lowest byte first.
inline void store8(char *out, uint64_t w) {
    if constexpr (std::endian::native == std::endian::little) {
        memcpy(out, &w, 8);
    } else {
        for (int i = 0; i < 8; i++) out[i] = char(w >> (8 * i));
    }
}

// The two characters of 0..99, the first in the low byte.
inline constexpr struct Pairs {
    uint16_t v[100];
    constexpr Pairs() : v() {
        for (int i = 0; i < 100; i++) v[i] = uint16_t(('0' + i / 10) | ('0' + i % 10) << 8);
    }
} kPairs;

inline uint64_t pair(uint32_t v) {
    return kPairs.v[v];
}

// The four characters of 0..9999, the first in the low byte.
inline constexpr struct Quads {
    uint32_t v[10000];
    constexpr Quads() : v() {
        for (uint32_t i = 0; i < 10000; i++) {
            v[i] = ('0' + i / 1000) | ('0' + i / 100 % 10) << 8 | ('0' + i / 10 % 10) << 16 |
                   uint32_t('0' + i % 10) << 24;
        }
    }
} kQuads;

inline uint64_t quad(uint32_t v) {
    return kQuads.v[v];
}

// The digits of 0..9999 without leading zeros ("0" for 0), the first in the low byte, and
// their number in the high byte: one load gives a short number's text and its length.
inline constexpr struct Shorts {
    uint64_t v[10000];
    constexpr Shorts() : v() {
        for (uint32_t i = 0; i < 10000; i++) {
            uint32_t len = i < 10 ? 1 : i < 100 ? 2 : i < 1000 ? 3 : 4;
            uint64_t w = 0;
            for (uint32_t k = 0, d = i; k < len; k++, d /= 10) {
                w |= uint64_t('0' + d % 10) << (8 * (len - 1 - k));
            }
            v[i] = w | uint64_t(len) << 56;
        }
    }
} kShorts;

// The eight characters of n < 10^8 with leading zeros, the first in the lowest byte.
inline uint64_t pairs8(uint32_t n) {
    const uint32_t hi = n / 10000;
    return quad(hi) | quad(n - hi * 10000) << 32;
}

// Digits of n < 10^8 without leading zeros.
inline char *put_short(char *out, uint32_t n) {
    if (n < 10000) {
        const uint64_t w = kShorts.v[n];
        store8(out, w);
        return out + (w >> 56);
    }
    const uint32_t hi = n / 10000;
    const uint64_t w = kShorts.v[hi];
    store8(out, w);
    out += w >> 56;
    store8(out, quad(n - hi * 10000));
    return out + 4;
}

inline char *put_u64(char *out, uint64_t v) {
    if (v < 10000) {  // the most common numbers first
        const uint64_t w = kShorts.v[v];
        store8(out, w);
        return out + (w >> 56);
    }
    if (v < 100000000) return put_short(out, uint32_t(v));
    if (v < 10000000000000000ULL) {
        const uint64_t hi = v / 100000000;
        out = put_short(out, uint32_t(hi));
        store8(out, pairs8(uint32_t(v - hi * 100000000)));
        return out + 8;
    }
    const uint64_t top = v / 10000000000000000ULL;
    const uint64_t rest = v - top * 10000000000000000ULL;
    const uint64_t hi = rest / 100000000;
    out = put_short(out, uint32_t(top));
    store8(out, pairs8(uint32_t(hi)));
    store8(out + 8, pairs8(uint32_t(rest - hi * 100000000)));
    return out + 16;
}

// "." and the two characters of 0..99.
inline constexpr struct PointPairs {
    uint32_t v[100];
    constexpr PointPairs() : v() {
        for (uint32_t i = 0; i < 100; i++) v[i] = '.' | uint32_t(kPairs.v[i]) << 8;
    }
} kPointPairs;

// "." and the six decimals of d < 10^6.
inline char *put_point6(char *out, uint32_t d) {
    const uint32_t hi = d / 10000;
    store8(out, kPointPairs.v[hi] | quad(d - hi * 10000) << 24);
    return out + 7;
}

// "." and the two decimals of d < 100.
inline char *put_point2(char *out, uint32_t d) {
    store8(out, '.' | pair(d) << 8);
    return out + 3;
}

constexpr double kTwo52 = 4503599627370496.0;  // adding it rounds [0, 2^52) to an integer
constexpr uint64_t kPointZeros6 = 0x30303030303030ULL << 8 | '.';  // ".000000"
constexpr uint64_t kPointZeros2 = 0x3030ULL << 8 | '.';            // ".00"

// The integer part of v >= 0 below 2^63; a negative number for larger v and for NaN (on x86-64
// the conversion itself says so, with its one out-of-range result).
inline int64_t trunc_below63(double v) {
#if defined(__x86_64__)
    return _mm_cvttsd_si64(_mm_set_sd(v));
#else
    return v < 0x1p63 ? int64_t(v) : -1;
#endif
}

// y (0 <= y < 2^52) rounded to the integer n, half to even, when y's own rounding error (at
// most err) cannot have carried it across a half unit; false otherwise.
inline bool round_scaled(double y, double err, uint64_t &n) {
    const double z = y + kTwo52;
    const double r = y - (z - kTwo52);
    if (!(fabs(r) < 0.5 - err)) return false;
    n = std::bit_cast<uint64_t>(z) & ((uint64_t(1) << 52) - 1);
    return true;
}

// The fixed-point text of v >= 0 (+0, not -0; NaN goes to the exact path) with Decimals
// decimals (Scale = 10^Decimals). Below 2^63 the integer part i comes from one conversion and
// the fraction v - i is exact, so only the fraction is scaled and rounded: its product with the
// scale (below 2^20) is off by at most 2^-33, and the rounding of the sum i * Scale + fraction *
// Scale is the rounding of the fraction's part, i * Scale being an even integer. Whole numbers,
// most of the table's counters and gauges, take no rounding at all.
template <int Decimals, uint32_t Scale>
inline char *fixed_pos(char *out, double v, char *(*exact)(char *, double)) {
    const int64_t truncated = trunc_below63(v);
    if (truncated < 0) return exact(out, v);
    uint64_t i = uint64_t(truncated);
    const double whole = double(truncated);
    // Equal numbers that are not NaN and not -0 have equal bits.
    if (std::bit_cast<uint64_t>(whole) == std::bit_cast<uint64_t>(v)) {
        out = put_u64(out, i);
        store8(out, Decimals == 6 ? kPointZeros6 : kPointZeros2);
        return out + 1 + Decimals;
    }
    // A fraction exists only below 2^52, so i + 1 does not overflow.
    uint64_t n;
    if (!round_scaled((v - whole) * double(Scale), 0x1p-32, n)) return exact(out, v);
    if (n == Scale) {
        i++;
        n = 0;
    }
    out = put_u64(out, i);
    if constexpr (Decimals == 6) {
        return put_point6(out, uint32_t(n));
    } else {
        return put_point2(out, uint32_t(n));
    }
}

// "%lf" of v >= 0.
inline char *fixed6_pos(char *out, double v) {
    return fixed_pos<6, 1000000>(out, v, fixed6_exact);
}

// "%.2lf" of v >= 0.
inline char *fixed2_pos(char *out, double v) {
    return fixed_pos<2, 100>(out, v, fixed2_exact);
}

inline char *fixed6(char *out, double v) {
    if (std::bit_cast<uint64_t>(v) >> 63) {
        *out++ = '-';
        v = -v;
    }
    return fixed6_pos(out, v);
}

inline char *fixed2(char *out, double v) {
    if (std::bit_cast<uint64_t>(v) >> 63) {
        *out++ = '-';
        v = -v;
    }
    return fixed2_pos(out, v);
}

// Base-10 prefixes. Switches to the next prefix at 999.5, where "%.2lf" would start to show
// 1000.00; the steps multiply or divide exactly as the printf reference does.
inline char *si(char *out, double number) {
    char suffix;
    if (number < 0.0009995) {
        out = fixed2(out, number * 1000000.0);
        suffix = 'u';
    } else if (number < 0.9995) {
        out = fixed2_pos(out, number * 1000.0);
        suffix = 'm';
    } else if (number < 999.5) {
        return fixed2_pos(out, number);
    } else if (number < 999500.0) {
        out = fixed2_pos(out, number / 1000.0);
        suffix = 'k';
    } else if (number < 999500000.0) {
        out = fixed2_pos(out, number / 1000000.0);
        suffix = 'M';
    } else if (number < 999500000000.0) {
        out = fixed2_pos(out, number / 1000000000.0);
        suffix = 'G';
    } else if (number < 999500000000000.0) {
        out = fixed2_pos(out, number / 1000000000000.0);
        suffix = 'T';
    } else {
        out = fixed2(out, number / 1000000000000000.0);  // also NaN
        suffix = 'P';
    }
    *out++ = suffix;
    return out;
}

// Base-2 prefixes: one step of 1/1024 (exact) per prefix.
inline char *iec(char *out, double number) {
    if (number < 999.5) return fixed2(out, number);  // also negative numbers
    static constexpr char kPrefixes[] = "-KMGTPE";   // index = number of 1/1024 steps
    int i = 0;
    do {
        number *= 0.0009765625;
        i++;
    } while (i < 6 && !(number < 999.5));  // NaN takes all six steps
    out = fixed2(out, number);
    out[0] = kPrefixes[i];
    out[1] = 'i';
    return out + 2;
}

}  // namespace fmt

}  // namespace statsdump

#endif
