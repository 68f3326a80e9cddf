// SPDX-License-Identifier: Apache-2.0
// Number and date texts of the statistics table, byte for byte those of the printf formats named
// below. The table prints up to a quarter of a million values, so the common cases are inline:
// the value is scaled by 10^decimals in double arithmetic, rounded to an integer by adding 2^52
// (the addition rounds half to even), and the rounding is accepted only when the scaled value's
// rounding error cannot have crossed a half unit: the fraction left over must be further from
// 1/2 than the error bound. Everything else (exact ties and values within the error of one, and
// the magnitudes outside the fast ranges) goes to the exact integer path in statsdump_fmt.cpp.
// Digits are made eight at a time in one 64-bit register (SWAR), with no division loop.
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

// The eight decimal digits of n < 10^8 as characters, the most significant in the lowest byte.
// Each step splits every lane of the register in two: 4 + 4, 2 + 2, 1 + 1 digits; the lane
// quotients are multiplications by reciprocals, exact for the lane values that occur.
inline uint64_t digits8(uint32_t n) {
    const uint32_t hi = n / 10000;
    uint64_t x = hi | (uint64_t(n - hi * 10000) << 32);
    const uint64_t h = ((x * 10486) >> 20) & 0x0000007F0000007FULL;  // / 100 per 32-bit lane
    x = h | ((x - h * 100) << 16);
    const uint64_t t = ((x * 103) >> 10) & 0x000F000F000F000FULL;  // / 10 per 16-bit lane
    x = t | ((x - t * 10) << 8);
    return x | 0x3030303030303030ULL;
}

inline constexpr uint32_t kPow10u32[10] = {1,      10,      100,      1000,      10000,
                                           100000, 1000000, 10000000, 100000000, 1000000000};

// Number of decimal digits of n (1 for zero), from the bit length: floor(bits * log10(2)) is
// the count or one less.
inline uint32_t ndigits(uint32_t n) {
    const uint32_t t = (uint32_t(32 - __builtin_clz(n | 1)) * 1233) >> 12;
    return t + ((n | 1) >= kPow10u32[t]);
}

// Digits of n < 10^8 without leading zeros.
inline char *put_short(char *out, uint32_t n) {
    const uint32_t nd = ndigits(n);
    store8(out, digits8(n) >> (8 * (8 - nd)));
    return out + nd;
}

inline char *put_u64(char *out, uint64_t v) {
    if (v < 100000000) return put_short(out, uint32_t(v));
    if (v < 10000000000000000ULL) {
        const uint64_t hi = v / 100000000;
        out = put_short(out, uint32_t(hi));
        store8(out, digits8(uint32_t(v - hi * 100000000)));
        return out + 8;
    }
    const uint64_t top = v / 10000000000000000ULL;
    const uint64_t rest = v - top * 10000000000000000ULL;
    const uint64_t hi = rest / 100000000;
    out = put_short(out, uint32_t(top));
    store8(out, digits8(uint32_t(hi)));
    store8(out + 8, digits8(uint32_t(rest - hi * 100000000)));
    return out + 16;
}

constexpr double kTwo52 = 4503599627370496.0;  // adding it rounds [0, 2^52) to an integer
// Upper end of the fast ranges: the scaled value stays below 2^52, so that adding 2^52 keeps
// the exponent and the mantissa bits are the rounded integer.
constexpr double kWideEnd = 4e15;

// "%lf" of v >= 0 (and +-0; NaN goes to the exact path).
inline char *fixed6_pos(char *out, double v) {
    const double y = v * 1e6;
    if (y < 99999999.0) {  // so that the rounded value has at most eight digits
        // y < 2^27: its rounding error is at most 2^-27.
        const double z = y + kTwo52;
        const double r = y - (z - kTwo52);
        if (fabs(r) < 0.5 - 0x1p-26) {
            const uint32_t n = uint32_t(std::bit_cast<uint64_t>(z));  // the rounded y
            const uint64_t d = digits8(n);
            const uint32_t two = n >= 10000000;  // two integer digits, else one
            store8(out, d >> (8 - 8 * two));
            out += 1 + two;
            store8(out, ((d >> 16) << 8) | '.');
            return out + 7;
        }
    } else if (y < kWideEnd) {
        // The rounding error of y is at most y * 2^-53; twice that is allowed for.
        const double z = y + kTwo52;
        const double r = y - (z - kTwo52);
        if (fabs(r) < 0.5 - y * 0x1p-52) {
            const uint64_t n = std::bit_cast<uint64_t>(z) & ((uint64_t(1) << 52) - 1);
            const uint64_t ip = n / 1000000;
            out = put_u64(out, ip);
            store8(out, ((digits8(uint32_t(n - ip * 1000000)) >> 16) << 8) | '.');
            return out + 7;
        }
    }
    return fixed6_exact(out, v);
}

// "%.2lf" of v >= 0, the same way.
inline char *fixed2_pos(char *out, double v) {
    const double y = v * 100.0;
    if (y < 99999999.0) {  // so that the rounded value has at most eight digits
        const double z = y + kTwo52;
        const double r = y - (z - kTwo52);
        if (fabs(r) < 0.5 - 0x1p-26) {
            const uint32_t n = uint32_t(std::bit_cast<uint64_t>(z));
            const uint64_t d = digits8(n);
            const uint32_t nd = ndigits(n < 100 ? 100 : n);  // at least "0.dd"
            store8(out, d >> (8 * (8 - nd)));
            out += nd - 2;
            store8(out, ((d >> 48) << 8) | '.');
            return out + 3;
        }
    } else if (y < kWideEnd) {
        const double z = y + kTwo52;
        const double r = y - (z - kTwo52);
        if (fabs(r) < 0.5 - y * 0x1p-52) {
            const uint64_t n = std::bit_cast<uint64_t>(z) & ((uint64_t(1) << 52) - 1);
            const uint64_t ip = n / 100;
            out = put_u64(out, ip);
            store8(out, ((digits8(uint32_t(n - ip * 100)) >> 48) << 8) | '.');
            return out + 3;
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
