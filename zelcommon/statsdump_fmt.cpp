// SPDX-License-Identifier: Apache-2.0
// Number and date texts of the statistics table. The table prints up to a quarter of a million
// values, so the fixed-point texts are produced directly from the binary value instead of going
// through printf; the result is the exact decimal rounding that printf gives (round half to even
// on exact ties), and values outside the fast path (2^64 and above, NaN, infinities) are left to
// snprintf itself.
#include <stdio.h>
#include <string.h>

#include <bit>

#include "statsdump_priv.h"

namespace statsdump {

namespace {

__extension__ typedef unsigned __int128 u128;

constexpr char kDigitPairs[201] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

inline char *put_pair(char *out, uint32_t v) {
    memcpy(out, kDigitPairs + 2 * v, 2);
    return out + 2;
}

constexpr uint64_t kPow10[20] = {1ULL,
                                 10ULL,
                                 100ULL,
                                 1000ULL,
                                 10000ULL,
                                 100000ULL,
                                 1000000ULL,
                                 10000000ULL,
                                 100000000ULL,
                                 1000000000ULL,
                                 10000000000ULL,
                                 100000000000ULL,
                                 1000000000000ULL,
                                 10000000000000ULL,
                                 100000000000000ULL,
                                 1000000000000000ULL,
                                 10000000000000000ULL,
                                 100000000000000000ULL,
                                 1000000000000000000ULL,
                                 10000000000000000000ULL};

// Decimal digits of v without leading zeros ("0" for zero), written in place from the last.
char *put_u64(char *out, uint64_t v) {
    // Digits from the bit length: floor(bits * log10(2)) is the count or one less.
    const uint32_t t = (uint32_t(64 - __builtin_clzll(v | 1)) * 1233) >> 12;
    const uint32_t n = t + ((v | 1) >= kPow10[t]);
    char *p = out + n;
    while (v >= 100) {
        p -= 2;
        memcpy(p, kDigitPairs + 2 * (v % 100), 2);
        v /= 100;
    }
    if (v >= 10) {
        memcpy(p - 2, kDigitPairs + 2 * v, 2);
    } else {
        p[-1] = char('0' + v);
    }
    return out + n;
}

// The text of v with a fixed number of decimals (2 or 6; scale = 10^decimals).
template <int Decimals, uint32_t Scale>
char *put_fixed(char *out, double v) {
    const uint64_t bits = std::bit_cast<uint64_t>(v);
    const uint32_t bexp = uint32_t(bits >> 52) & 0x7FF;
    uint64_t mant = bits & ((uint64_t(1) << 52) - 1);
    int exp2;
    if (bexp == 0x7FF || bexp >= 1075 + 12) {
        // NaN, infinity, or at least 2^64: more digits than the fast path carries.
        constexpr const char *fmt = Decimals == 6 ? "%lf" : "%.2lf";
        int n = snprintf(out, kNumberMax, fmt, v);
        return out + (n < 0 ? 0 : n);
    }
    if (bexp == 0) {
        exp2 = -1074;  // zero or subnormal
    } else {
        mant |= uint64_t(1) << 52;
        exp2 = int(bexp) - 1075;
    }
    // v = mant * 2^exp2 with mant < 2^53: integer part ipart, fraction frac / 2^shift.
    uint64_t ipart;
    uint64_t decimals = 0;
    if (exp2 >= 0) {
        ipart = mant << exp2;
    } else {
        const int shift = -exp2;
        uint64_t frac;
        if (shift < 64) {
            ipart = mant >> shift;
            frac = mant & ((uint64_t(1) << shift) - 1);
        } else {
            ipart = 0;
            frac = mant;
        }
        // The decimals are frac * Scale / 2^shift rounded. frac is below both 2^shift and
        // 2^53, so the product fits 64 bits up to shift 43 (the common case) and 128 bits
        // always; from shift 75 on, half a unit of the last decimal (2^(shift-1)) exceeds the
        // product and the decimals round to zero without a tie.
        if (shift <= 43) {
            const uint64_t n = frac * Scale;
            const uint64_t one = uint64_t(1) << shift;
            decimals = n >> shift;
            const uint64_t rem = n & (one - 1);
            const uint64_t half = one >> 1;
            if (rem > half || (rem == half && (decimals & 1))) decimals++;
        } else if (shift <= 74) {
            const u128 n = u128(frac) * Scale;
            const u128 one = u128(1) << shift;
            decimals = uint64_t(n >> shift);
            const u128 rem = n & (one - 1);
            const u128 half = one >> 1;
            if (rem > half || (rem == half && (decimals & 1))) decimals++;
        }
        if (decimals == Scale) {
            decimals = 0;
            ipart++;
        }
    }
    if (bits >> 63) *out++ = '-';
    out = put_u64(out, ipart);
    *out++ = '.';
    const uint32_t d = uint32_t(decimals);
    if constexpr (Decimals == 6) {
        out = put_pair(out, d / 10000);
        out = put_pair(out, (d / 100) % 100);
        out = put_pair(out, d % 100);
    } else {
        out = put_pair(out, d);
    }
    return out;
}

}  // namespace

char *put_fixed6(char *out, double v) {
    return put_fixed<6, 1000000>(out, v);
}

char *put_fixed2(char *out, double v) {
    return put_fixed<2, 100>(out, v);
}

// Switches to the next prefix at 999.5, where "%.2lf" would start to show 1000.00.
char *put_si(char *out, double number) {
    char suffix;
    if (number < 0.0009995) {
        out = put_fixed2(out, number * 1000000.0);
        suffix = 'u';
    } else if (number < 0.9995) {
        out = put_fixed2(out, number * 1000.0);
        suffix = 'm';
    } else if (number < 999.5) {
        return put_fixed2(out, number);
    } else if (number < 999500.0) {
        out = put_fixed2(out, number / 1000.0);
        suffix = 'k';
    } else if (number < 999500000.0) {
        out = put_fixed2(out, number / 1000000.0);
        suffix = 'M';
    } else if (number < 999500000000.0) {
        out = put_fixed2(out, number / 1000000000.0);
        suffix = 'G';
    } else if (number < 999500000000000.0) {
        out = put_fixed2(out, number / 1000000000000.0);
        suffix = 'T';
    } else {
        out = put_fixed2(out, number / 1000000000000000.0);
        suffix = 'P';
    }
    *out++ = suffix;
    return out;
}

char *put_iec(char *out, double number) {
    static constexpr char kPrefixes[] = "-KMGTP";  // index = number of 1/1024 steps
    if (number < 999.5) return put_fixed2(out, number);
    for (int i = 1; i <= 5; i++) {
        number *= 0.0009765625;
        if (number < 999.5) {
            out = put_fixed2(out, number);
            *out++ = kPrefixes[i];
            *out++ = 'i';
            return out;
        }
    }
    number *= 0.0009765625;
    out = put_fixed2(out, number);
    *out++ = 'E';
    *out++ = 'i';
    return out;
}

char *put_u32(char *out, uint32_t v) {
    return put_u64(out, v);
}

// Every fourth year from 1972 is a leap year; the 32-bit range (to 2106) meets only the century
// 2100, which is counted as a leap year too.
char *put_date(char *out, uint32_t ts) {
    static constexpr uint32_t kMonthStart[12] = {0,   31,  59,  90,  120, 151,
                                                 181, 212, 243, 273, 304, 334};
    const uint32_t day = ts / 86400;
    const uint32_t sec = ts - day * 86400;
    uint32_t year = 1970 + 4 * (day / 1461);
    uint32_t d = day % 1461;
    uint32_t leap = 0;
    if (d < 365) {
    } else if (d < 730) {
        year += 1;
        d -= 365;
    } else if (d < 1096) {
        year += 2;
        d -= 730;
        leap = 1;
    } else {
        year += 3;
        d -= 1096;
    }
    uint32_t month = 11;
    while (month > 0 && kMonthStart[month] + (month >= 2 ? leap : 0) > d) month--;
    const uint32_t mday = d - (kMonthStart[month] + (month >= 2 ? leap : 0)) + 1;
    const uint32_t hour = sec / 3600;
    const uint32_t minute = (sec % 3600) / 60;
    out = put_pair(out, year / 100);
    out = put_pair(out, year % 100);
    *out++ = '-';
    out = put_pair(out, month + 1);
    *out++ = '-';
    out = put_pair(out, mday);
    *out++ = ' ';
    out = put_pair(out, hour);
    *out++ = ':';
    return put_pair(out, minute);
}

}  // namespace statsdump
