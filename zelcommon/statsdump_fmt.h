// SPDX-License-Identifier: Apache-2.0
// Number and date texts of the statistics table, byte for byte those of the printf formats named
// below. The table prints up to a quarter of a million values, so the common cases are inline:
// the value is scaled by 10^decimals in double arithmetic, rounded to an integer by adding 2^52
// (the addition rounds half to even), and the rounding is accepted only when the scaled value's
// rounding error cannot have crossed a half unit: the fraction left over must be further from
// 1/2 than the error bound. Everything else (exact ties and values within the error of one, and
// the magnitudes outside the fast ranges) goes to the exact integer path in statsdump_fmt.cpp.
// Digits come four at a time from a table of 0..9999 (and two at a time from a table of 0..99);
// a number is split into its groups by divisions by constants, which compile to multiplications:
// no division loop. Leading zeros are counted on the digit word itself, without a branch.
#ifndef ZELCOMMON_STATSDUMP_FMT_H
#define ZELCOMMON_STATSDUMP_FMT_H

#include <math.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <bit>

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

// Number of leading "0" characters of the digits w (first in the low byte) of a number that is
// not 0, or of 0 when the highest of its characters is kept apart from the count.
inline uint32_t leading_zeros(uint64_t w) {
    return uint32_t(std::countr_zero(w ^ 0x3030303030303030ULL)) / 8;
}

// The eight characters of n < 10^8 with leading zeros, the first in the lowest byte.
inline uint64_t pairs8(uint32_t n) {
    const uint32_t hi = n / 10000;
    return quad(hi) | quad(n - hi * 10000) << 32;
}

// Digits of n < 10^8 without leading zeros.
inline char *put_short(char *out, uint32_t n) {
    if (n < 10000) {
        const uint64_t w = quad(n);
        const uint32_t lead = leading_zeros(w | uint64_t(1) << 24);  // "0" keeps its digit
        store8(out, w >> (8 * lead));
        return out + 4 - lead;
    }
    const uint32_t hi = n / 10000;
    const uint64_t top = quad(hi);
    const uint32_t lead = leading_zeros(top);
    store8(out, (top | quad(n - hi * 10000) << 32) >> (8 * lead));
    return out + 8 - lead;
}

inline char *put_u64(char *out, uint64_t v) {
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

// "." and the six decimals of d < 10^6.
inline char *put_point6(char *out, uint32_t d) {
    const uint32_t hi = d / 10000;
    store8(out, '.' | pair(hi) << 8 | quad(d - hi * 10000) << 24);
    return out + 7;
}

// "." and the two decimals of d < 100.
inline char *put_point2(char *out, uint32_t d) {
    store8(out, '.' | pair(d) << 8);
    return out + 3;
}

constexpr double kTwo52 = 4503599627370496.0;  // adding it rounds [0, 2^52) to an integer
// Upper end of the fast ranges: the scaled value stays below 2^52, so that adding 2^52 keeps
// the exponent and the mantissa bits are the rounded integer.
constexpr double kWideEnd = 4e15;
constexpr uint64_t kPointZeros6 = 0x30303030303030ULL << 8 | '.';  // ".000000"

// y (0 <= y < 2^52) rounded to the integer n, half to even, when y's own rounding error (at
// most err) cannot have carried it across a half unit; false otherwise.
inline bool round_scaled(double y, double err, uint64_t &n) {
    const double z = y + kTwo52;
    const double r = y - (z - kTwo52);
    if (!(fabs(r) < 0.5 - err)) return false;
    n = std::bit_cast<uint64_t>(z) & ((uint64_t(1) << 52) - 1);
    return true;
}

// "%lf" of v >= 0 (+0, not -0; NaN goes to the exact path).
inline char *fixed6_pos(char *out, double v) {
    // Whole numbers first: most counters and gauges of the table are.
    if (v < 0x1p63) {
        const int64_t i = int64_t(v);
        if (double(i) == v) {
            out = put_u64(out, uint64_t(i));
            store8(out, kPointZeros6);
            return out + 7;
        }
    }
    const double y = v * 1e6;
    if (y < 99999999.0) {  // so that the rounded value has at most eight digits
        // y < 2^27: its rounding error is at most 2^-27.
        uint64_t rounded;
        if (round_scaled(y, 0x1p-26, rounded)) {
            const uint32_t n = uint32_t(rounded);
            const uint32_t ip = n / 1000000;
            const uint32_t lead = ip < 10;
            store8(out, pair(ip) >> (8 * lead));
            return put_point6(out + 2 - lead, n - ip * 1000000);
        }
    } else if (y < kWideEnd) {
        // The rounding error of y is at most y * 2^-53; twice that is allowed for.
        uint64_t n;
        if (round_scaled(y, y * 0x1p-52, n)) {
            const uint64_t ip = n / 1000000;
            return put_point6(put_u64(out, ip), uint32_t(n - ip * 1000000));
        }
    }
    return fixed6_exact(out, v);
}

// "%.2lf" of v >= 0, the same way.
inline char *fixed2_pos(char *out, double v) {
    const double y = v * 100.0;
    if (y < 99999999.0) {
        uint64_t rounded;
        if (round_scaled(y, 0x1p-26, rounded)) {
            const uint32_t n = uint32_t(rounded);
            const uint32_t ip = n / 100;
            return put_point2(put_short(out, ip), n - ip * 100);
        }
    } else if (y < kWideEnd) {
        uint64_t n;
        if (round_scaled(y, y * 0x1p-52, n)) {
            const uint64_t ip = n / 100;
            return put_point2(put_u64(out, ip), uint32_t(n - ip * 100));
        }
    }
    return fixed2_exact(out, v);
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
