// SPDX-License-Identifier: Apache-2.0
// Unsigned numbers of up to 128 bits for the few results that pass 64 bits: a stored number or a
// fraction times a factor of up to 32 bits, then divided or shifted back. They are kept in two
// 64-bit halves, so that every architecture, 32-bit ones included, computes them alike.
#ifndef ZELCOMMON_WIDE_H
#define ZELCOMMON_WIDE_H

#include <stdint.h>

namespace zelcommon {

struct Wide {
    uint64_t hi;
    uint64_t lo;
};

// a * b.
inline Wide wide_mul(uint64_t a, uint32_t b) {
    const uint64_t low = (a & 0xFFFFFFFF) * b;
    const uint64_t mid = (a >> 32) * b;
    const uint64_t lo = low + (mid << 32);
    return {(mid >> 32) + (lo < low), lo};
}

// w + b (the sum below 2^128).
inline Wide wide_add(Wide w, uint64_t b) {
    const uint64_t lo = w.lo + b;
    return {w.hi + (lo < b), lo};
}

// w / d rounded down (d > 0), by 32-bit steps whose partial dividends fit 64 bits.
inline Wide wide_div(Wide w, uint32_t d) {
    const uint64_t qh = w.hi / d;
    const uint64_t mid = (w.hi % d) << 32 | w.lo >> 32;
    const uint64_t low = (mid % d) << 32 | (w.lo & 0xFFFFFFFF);
    return {qh, (mid / d) << 32 | low / d};
}

// The bits of w from position `from` (below 128) up, as many as fit 64 bits.
inline uint64_t wide_shr(Wide w, uint32_t from) {
    if (from == 0) return w.lo;
    if (from < 64) return w.lo >> from | w.hi << (64 - from);
    return w.hi >> (from - 64);
}

// Whether any bit of w below position `to` (at most 128) is set.
inline bool wide_any_below(Wide w, uint32_t to) {
    if (to <= 64) return to == 64 ? w.lo != 0 : (w.lo & ((uint64_t(1) << to) - 1)) != 0;
    return w.lo != 0 || (to < 128 ? (w.hi & ((uint64_t(1) << (to - 64)) - 1)) != 0 : w.hi != 0);
}

}  // namespace zelcommon

#endif
