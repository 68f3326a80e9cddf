// SPDX-License-Identifier: Apache-2.0
// Number and date texts of the statistics table: the exact paths behind the inline formatters
// of statsdump_fmt.h, and the calendar. The exact path works on the binary value itself: the
// result is the exact decimal rounding that printf gives (round half to even on exact ties), and
// values outside its integer range (2^64 and above, NaN, infinities) are left to snprintf.
#include "statsdump_fmt.h"

#include <stdio.h>
#include <string.h>

#include <array>
#include <bit>

#include "wide.h"

namespace statsdump {

namespace fmt {

namespace {

constexpr char kDigitPairs[201] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

inline char *put_pair(char *out, uint32_t v) {
    memcpy(out, kDigitPairs + 2 * v, 2);
    return out + 2;
}

// The text of v with a fixed number of decimals (2 or 6; scale = 10^decimals).
template <int Decimals, uint32_t Scale>
char *put_fixed(char *out, double v) {
    const uint64_t bits = std::bit_cast<uint64_t>(v);
    const uint32_t bexp = uint32_t(bits >> 52) & 0x7FF;
    uint64_t mant = bits & ((uint64_t(1) << 52) - 1);
    int exp2;
    if (bexp == 0x7FF || bexp >= 1075 + 12) {
        // NaN, infinity, or at least 2^64: more digits than the integer path carries.
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
        // 2^53, so the product fits 64 bits up to shift 43 and 128 bits always (the inline
        // formatters send only ties, near-ties and unusual magnitudes here); from shift 75 on,
        // half a unit of the last decimal (2^(shift-1)) exceeds the product and the decimals
        // round to zero without a tie.
        if (frac == 0) {
        } else if (shift <= 43) {
            const uint64_t n = frac * Scale;
            const uint64_t one = uint64_t(1) << shift;
            decimals = n >> shift;
            const uint64_t rem = n & (one - 1);
            const uint64_t half = one >> 1;
            if (rem > half || (rem == half && (decimals & 1))) decimals++;
        } else if (shift <= 74) {
            // The remainder is at least a half when bit shift - 1 is set, and more than a half
            // when a bit below it is set too.
            const zelcommon::Wide n = zelcommon::wide_mul(frac, Scale);
            decimals = zelcommon::wide_shr(n, shift);
            const bool half = zelcommon::wide_shr(n, shift - 1) & 1;
            if (half && (zelcommon::wide_any_below(n, shift - 1) || (decimals & 1))) decimals++;
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
        store8(out, pairs8(d) >> 16);
        return out + 6;
    } else {
        return put_pair(out, d);
    }
}

// Day of a four-year cycle from 1970-01-01 (the third year a leap year) to the year within the
// cycle, the month (0-11) and the day of the month: year << 9 | month << 5 | mday.
constexpr std::array<uint16_t, 1461> kCycleDays = [] {
    constexpr uint8_t kMonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    std::array<uint16_t, 1461> t{};
    uint32_t i = 0;
    for (uint32_t y = 0; y < 4; y++) {
        for (uint32_t m = 0; m < 12; m++) {
            const uint32_t days = kMonthDays[m] + (y == 2 && m == 1);
            for (uint32_t d = 1; d <= days; d++) t[i++] = uint16_t(y << 9 | m << 5 | d);
        }
    }
    return t;
}();

}  // namespace

char *fixed6_exact(char *out, double v) {
    return put_fixed<6, 1000000>(out, v);
}

char *fixed2_exact(char *out, double v) {
    return put_fixed<2, 100>(out, v);
}

}  // namespace fmt

char *put_fixed6(char *out, double v) {
    return fmt::fixed6(out, v);
}

char *put_fixed2(char *out, double v) {
    return fmt::fixed2(out, v);
}

char *put_si(char *out, double number) {
    return fmt::si(out, number);
}

char *put_iec(char *out, double number) {
    return fmt::iec(out, number);
}

char *put_u32(char *out, uint32_t v) {
    return fmt::put_u64(out, v);
}

// Every fourth year from 1972 is a leap year; the 32-bit range (to 2106) meets only the century
// 2100, which is counted as a leap year too.
char *put_date(char *out, uint32_t ts) {
    const uint32_t day = ts / 86400;
    const uint32_t sec = ts - day * 86400;
    const uint32_t cycle = day / 1461;
    const uint32_t c = fmt::kCycleDays[day - cycle * 1461];
    const uint32_t year = 1970 + 4 * cycle + (c >> 9);
    const uint32_t hour = sec / 3600;
    const uint32_t minute = (sec - hour * 3600) / 60;
    out = fmt::put_pair(out, year / 100);
    out = fmt::put_pair(out, year % 100);
    *out++ = '-';
    out = fmt::put_pair(out, ((c >> 5) & 15) + 1);
    *out++ = '-';
    out = fmt::put_pair(out, c & 31);
    *out++ = ' ';
    out = fmt::put_pair(out, hour);
    *out++ = ':';
    return fmt::put_pair(out, minute);
}

}  // namespace statsdump
