// SPDX-License-Identifier: Apache-2.0
// Series assembly: one source slot of a chart as a window of consecutive slots of one range,
// oldest first, in the caller's work buffer; and the calc evaluator, a small stack machine over
// the rings that computes one series value per slot.
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "charts_priv.h"

namespace charts {

namespace {

constexpr uint32_t kCalcStackSize = 50;
// No data inside a calc program: the smallest signed 64-bit value.
constexpr int64_t kCalcNoData = INT64_MIN;

// What a source number of an extended chart refers to.
struct Source {
    enum Kind { kNone, kStat, kCalc } kind = kNone;
    uint32_t index = 0;  // statistic number or calc program number
};

Source decode_source(uint32_t src) {
    if (src >= 1 && src <= g.statdefscount) return {Source::kStat, src - 1};
    if (src >= kCalcSourceBase && src - kCalcSourceBase < g.calcdefscount) {
        return {Source::kCalc, src - kCalcSourceBase};
    }
    return {};
}

uint32_t source_number(const estatdef &e, uint32_t cno) {
    switch (cno) {
        case 1:
            return e.c1src;
        case 2:
            return e.c2src;
        case 3:
            return e.c3src;
        default:
            return 0;
    }
}

// Source slot cno of chart type `type`; kNone when the chart has no such source.
Source chart_source(uint32_t type, uint32_t cno) {
    if (cno == 0 || cno > 3) return {};
    if (type < g.statdefscount) {
        if (cno != 1) return {};
        return {Source::kStat, type};
    }
    if (type >= kExtendedTypeBase && type - kExtendedTypeBase < g.estatdefscount) {
        return decode_source(source_number(g.estatdefs[type - kExtendedTypeBase], cno));
    }
    return {};
}

// Two's complement wrap-around arithmetic on the evaluator's signed values.
inline int64_t wrap_add(int64_t a, int64_t b) {
    return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}
inline int64_t wrap_sub(int64_t a, int64_t b) {
    return static_cast<int64_t>(static_cast<uint64_t>(a) - static_cast<uint64_t>(b));
}
inline int64_t wrap_mul(int64_t a, int64_t b) {
    return static_cast<int64_t>(static_cast<uint64_t>(a) * static_cast<uint64_t>(b));
}

// The binary operator op (kCalcAdd..kCalcDiv) over n pairs: a[i] = a[i] op b[i]. No data in
// either operand gives no data; so does a division by zero.
void apply_binary(uint32_t op, int64_t *a, const int64_t *b, uint32_t n) {
    auto each = [&](auto f) {
        for (uint32_t i = 0; i < n; i++) {
            a[i] = (a[i] == kCalcNoData || b[i] == kCalcNoData) ? kCalcNoData : f(a[i], b[i]);
        }
    };
    switch (op) {
        case kCalcAdd:
            return each(wrap_add);
        case kCalcSub:
            return each(wrap_sub);
        case kCalcMin:
            return each([](int64_t x, int64_t y) { return std::min(x, y); });
        case kCalcMax:
            return each([](int64_t x, int64_t y) { return std::max(x, y); });
        case kCalcMul:
            return each(wrap_mul);
        default:  // kCalcDiv; x is never the no-data value here, so x / -1 cannot overflow
            return each([](int64_t x, int64_t y) { return y == 0 ? kCalcNoData : x / y; });
    }
}

// Slots evaluated together: the stack holds one row of this many values per entry.
constexpr uint32_t kCalcBlock = 64;

// Program k over the n <= kCalcBlock consecutive ring indices from s (wrapping) into out.
void calc_block(uint32_t k, uint32_t range, uint32_t s, uint32_t n, uint64_t *out) {
    int64_t stack[kCalcStackSize][kCalcBlock];
    uint32_t sp = 0;
    // A program ends at its end token, and never later than the last stored token.
    const uint32_t *tok = g.calcstartpos[k];
    const uint32_t *const storeend = g.calcdefs + g.calcdefsleng;
    while (tok < storeend && *tok != kCalcEnd) {
        const uint32_t t = *tok++;
        if (t < g.statdefscount) {
            if (sp < kCalcStackSize) {
                const uint64_t *slots = ring(t, range);
                int64_t *row = stack[sp++];
                for (uint32_t i = 0; i < n; i++) {
                    const uint64_t v = slots[(s + i) & kRingMask];
                    row[i] = (v == CHARTS_NODATA) ? kCalcNoData : static_cast<int64_t>(v);
                }
            }
        } else if (t == kCalcConst) {
            // A constant whose operand slot is missing or holds the end token ends the program.
            if (tok >= storeend || *tok == kCalcEnd) break;
            const uint32_t operand = *tok++;
            if (sp < kCalcStackSize) std::fill_n(stack[sp++], n, int64_t{operand});
        } else if (t >= kCalcAdd && t <= kCalcDiv) {
            if (sp >= 2) {
                apply_binary(t, stack[sp - 2], stack[sp - 1], n);
                sp--;
            }
        } else if (t == kCalcNeg) {
            if (sp >= 1) {
                int64_t *row = stack[sp - 1];
                for (uint32_t i = 0; i < n; i++) {
                    if (row[i] != kCalcNoData) row[i] = wrap_sub(0, row[i]);
                }
            }
        }
        // any other token is ignored
    }
    for (uint32_t i = 0; i < n; i++) {
        const int64_t v = sp == 0 ? -1 : stack[sp - 1][i];
        out[i] = v < 0 ? CHARTS_NODATA : static_cast<uint64_t>(v);
    }
}

}  // namespace

void charts_calc_window(uint32_t k, uint32_t range, uint32_t s, uint32_t n, uint64_t *out) {
    if (k >= g.calcdefscount || range >= kRanges || g.calcdefs == nullptr) {
        std::fill_n(out, n, CHARTS_NODATA);
        return;
    }
    // The program runs on a block of slots at a time: one pass over its tokens per block
    // rather than per slot.
    for (uint32_t done = 0; done < n; done += kCalcBlock) {
        calc_block(k, range, (s + done) & kRingMask, std::min(kCalcBlock, n - done), out + done);
    }
}

uint64_t charts_calc(uint32_t k, uint32_t range, uint32_t s) {
    uint64_t v;
    charts_calc_window(k, range, s, 1, &v);
    return v;
}

}  // namespace charts

using namespace charts;

extern "C" uint8_t charts_seriescnt(uint32_t type) {
    if (type < g.statdefscount) return 1;
    if (type < kExtendedTypeBase || type - kExtendedTypeBase >= g.estatdefscount) return 0;
    const estatdef &e = g.estatdefs[type - kExtendedTypeBase];
    if (decode_source(e.c1src).kind == Source::kNone) return 0;
    if (decode_source(e.c2src).kind == Source::kNone) return 1;
    if (decode_source(e.c3src).kind == Source::kNone) return 2;
    return 3;
}

extern "C" uint64_t *charts_prepare_buff(uint64_t **datatab_ptr) {
    if (*datatab_ptr == nullptr) {
        uint64_t *buff = static_cast<uint64_t *>(malloc(sizeof(uint64_t) * kRingLength));
        charts_passert(buff, "datatab");
        *datatab_ptr = buff;
    }
    return *datatab_ptr;
}

namespace charts {

bool series_window(uint32_t type, uint32_t cno, uint32_t range, uint32_t width, uint64_t *scratch,
                   SeriesWindow *w) {
    if (range >= kRanges) return false;
    const Source src = chart_source(type, cno);
    if (src.kind == Source::kNone) return false;
    width = std::min(width, kRingLength);
    // The window ends at the newest slot; its first entry is width - 1 periods older.
    const uint32_t first = (g.pointers[range] + 1 - width) & kRingMask;
    if (src.kind == Source::kStat) {
        const uint64_t *slots = ring(src.index, range);
        w->len1 = std::min(width, kRingLength - first);
        w->run1 = slots + first;
        w->run2 = slots;
        w->len2 = width - w->len1;
    } else {
        charts_calc_window(src.index, range, first, width, scratch);
        w->run1 = scratch;
        w->len1 = width;
        w->run2 = scratch + width;
        w->len2 = 0;
    }
    return true;
}

}  // namespace charts

extern "C" uint8_t charts_filltab(uint64_t **datatab_ptr, uint32_t range, uint32_t type,
                                  uint32_t cno, uint32_t width) {
    if (range >= kRanges || chart_source(type, cno).kind == Source::kNone) return 0;
    uint64_t *tab = charts_prepare_buff(datatab_ptr);
    SeriesWindow w{};
    series_window(type, cno, range, width, tab, &w);
    if (w.run1 != tab) {
        memcpy(tab, w.run1, sizeof(uint64_t) * w.len1);
        memcpy(tab + w.len1, w.run2, sizeof(uint64_t) * w.len2);
    }
    return 1;
}
