// SPDX-License-Identifier: Apache-2.0
// The table writer: the fields of one range as text, one row per slot, handed to a sink or
// written to standard output. The number and date texts are statsdump_fmt.cpp's.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <bit>

#include "bigblock.h"
#include "charts_priv.h"
#include "cpu.h"
#include "statsdump.h"
#include "statsdump_priv.h"
#include "zellog.h"

namespace {

using statsdump::checked_malloc;
using statsdump::field_info;
using statsdump::FieldInfo;

// One column of the table while its rows are written: its values (contiguous, oldest first),
// whether its numbers take a "%", and where the text of the last value written is, which the
// next row copies when the value repeats (gauges and counters often do). That text stays where
// it was written in the output buffer; before the buffer is handed on and written over, each
// column's last text moves into its own keep.
struct Column {
    const double *values;
    const char *last;
    uint64_t last_bits;
    uint32_t last_len;
    uint32_t percent;
    const char *name;
    char keep[statsdump::kNumberMax + 8];
};

// How many bytes of a last text the copy of a repeated value moves at once; a longer text (a
// number of more than about 25 digits) is copied as long as it is.
constexpr uint32_t kShortText = 32;

// Copies kShortText bytes from src to dst, which may overlap: all are read before any is written.
inline void copy_short(char *dst, const char *src) {
    static_assert(kShortText == 32);
#if ZELCOMMON_X86_VECTORS && defined(__SSE2__)  // always on x86-64, not on every 32-bit x86
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + 16));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(dst), a);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + 16), b);
#else
    memmove(dst, src, kShortText);
#endif
}

enum class Numbers { kFixed6, kSi, kIec };

// A number of the table (not negative: no data is "-") in the table's one format; bits are v's.
template <Numbers N>
inline char *put_number(char *p, double v, uint64_t bits) {
    if constexpr (N == Numbers::kFixed6) {
        // -0 and a NaN with the sign bit keep their "-".
        return bits >> 63 ? statsdump::fmt::fixed6(p, v) : statsdump::fmt::fixed6_pos(p, v);
    } else if constexpr (N == Numbers::kSi) {
        return statsdump::fmt::si(p, v);
    } else {
        return statsdump::fmt::iec(p, v);
    }
}

// From this many fields on, a table reads most rings of its range.
constexpr uint32_t kManyFields = 16;

// Longest text of one row: the time column and per field a separator, a number and its suffix.
size_t row_room(uint32_t fields) {
    return 32 + size_t(fields) * (statsdump::kNumberMax + 4);
}

// The rows, assembled in one large buffer handed to the sink when the next row might not fit:
// one choice of number format and time column for the whole table, none per cell.
// The buffer holds size bytes from buf, the first of them written up to p.
template <Numbers N, bool Date>
void write_rows(Column *cols, uint32_t fields, uint32_t rows, uint32_t t0, uint32_t rsec, char sep,
                char *buf, char *p, size_t size, statsdump_sink sink, void *ctx) {
    char *const limit = buf + size - row_room(fields);
    for (uint32_t j = 0; j < rows; j++) {
        if (p > limit) {
            for (uint32_t f = 0; f < fields; f++) {
                Column &c = cols[f];
                if (c.last != c.keep)
                    c.last = static_cast<char *>(memcpy(c.keep, c.last, c.last_len));
            }
            sink(ctx, buf, size_t(p - buf));
            p = buf;
        }
        const uint32_t t = t0 + rsec * j;
        p = Date ? statsdump::put_date(p, t) : statsdump::fmt::put_u64(p, t);
        for (uint32_t f = 0; f < fields; f++) {
            Column &c = cols[f];
            uint64_t bits;
            memcpy(&bits, c.values + j, sizeof bits);
            *p++ = sep;
            if (bits == c.last_bits) {
                const uint32_t len = c.last_len;
                // In a short row the text may lie less than kShortText bytes back: all of it
                // is read before any of it is written.
                if (len <= kShortText) [[likely]] {
                    copy_short(p, c.last);
                } else {
                    memmove(p, c.last, len);
                }
                p += len;
                continue;
            }
            char *const start = p;
            const double v = std::bit_cast<double>(bits);
            if (bits >> 63 && v < 0) {  // no data
                *p++ = '-';
            } else {
                p = put_number<N>(p, v, bits);
                *p = '%';
                p += c.percent;
            }
            const uint32_t len = uint32_t(p - start);
            c.last = start;
            c.last_bits = bits;
            c.last_len = len;
        }
        *p++ = '\n';
    }
    if (p != buf) sink(ctx, buf, size_t(p - buf));
}

void write_stdout(void *, const char *data, size_t length) {
    fwrite(data, 1, length, stdout);
}

// Writes one formatter's text to standard output.
template <typename F, typename T>
void print_with(F fmt, T value) {
    char buf[statsdump::kNumberMax];
    char *end = fmt(buf, value);
    fwrite(buf, 1, size_t(end - buf), stdout);
}

}  // namespace

extern "C" {

void statsdump_print_date(uint32_t ts) {
    print_with(statsdump::put_date, ts);
}

void statsdump_print_humanize_si(double number) {
    print_with(statsdump::put_si, number);
}

void statsdump_print_humanize_iec(double number) {
    print_with(statsdump::put_iec, number);
}

void statsdump_gencsv(const int32_t *stats, uint32_t range, char sep, uint8_t flags) {
    statsdump_gencsv_to(stats, range, sep, flags, write_stdout, nullptr);
}

void statsdump_gencsv_to(const int32_t *stats, uint32_t range, char sep, uint8_t flags,
                         statsdump_sink sink, void *ctx) {
    const uint32_t statsleng = charts_getmaxleng();
    uint32_t fields = 0;
    while (stats[fields] >= 0) fields++;

    // One block of statsleng values per field, each fetched once. A field that the store does
    // not answer keeps the no-data value in every row. All of it is written at once, so its
    // pages are mapped in one go rather than one fault at a time: the tool's large block (about
    // 2 MB for every field of the catalogue) in large pages, any other populated when mapped.
    const size_t valuesbytes = std::max(sizeof(double) * size_t(statsleng) * fields, size_t{1});
    const bool large =
        charts::g.mode == CHARTS_MODE_TOOL && valuesbytes >= zelcommon::kLargePage / 2;
    const size_t mapped = large ? zelcommon::round_up_large(valuesbytes) : valuesbytes;
    void *block = zelcommon::map_big_block(mapped, !large);
    zel_passert(block, STATSDUMP_SRCPATH, "values");
    if (large) zelcommon::want_large_pages(block, mapped);
    double *values = static_cast<double *>(block);
    // The rings of a table of many fields are read nearly whole: large pages for them too.
    if (fields >= kManyFields) charts::expect_range(range);
    Column *cols = static_cast<Column *>(checked_malloc(sizeof(Column) * fields, "columns"));
    size_t headerlen = 16;
    uint32_t timestamp = 0;
    uint32_t rsec = 1;
    for (uint32_t f = 0; f < fields; f++) {
        double *col = values + size_t(f) * statsleng;
        const FieldInfo info = field_info(stats[f]);
        // The store sets the time of the newest slot only when it answers.
        uint32_t newest = 0, period = 0;
        charts_getdata(col, &newest, &period, uint32_t(stats[f]) * 10 + range);
        if (period != 0) {
            timestamp = newest;
            rsec = period;
        } else {
            std::fill_n(col, statsleng, -1.0);
        }
        Column &c = cols[f];
        c.values = col;
        c.name = info.name != nullptr ? info.name : "";
        c.percent = info.percent ? 1 : 0;
        // The text of the no-data value, so that the first row needs no special case.
        c.last_bits = std::bit_cast<uint64_t>(-1.0);
        c.last_len = 1;
        memset(c.keep, 0, sizeof c.keep);
        c.keep[0] = '-';
        c.last = c.keep;
        headerlen += 1 + strlen(c.name);
    }
    const uint32_t t0 = timestamp - rsec * (statsleng - 1);

    // 128 KiB at a time, written again and again: a larger buffer costs more in first touches
    // of its pages than it saves in writes.
    const size_t size = std::max(size_t(128) << 10, headerlen + 2 * row_room(fields));
    char *buf = static_cast<char *>(checked_malloc(size, "outbuff"));
    char *p = buf;
    const char *first = (flags & STATSDUMP_TABLE_DATE) ? "date" : "timestamp";
    p = static_cast<char *>(mempcpy(p, first, strlen(first)));
    for (uint32_t f = 0; f < fields; f++) {
        const Column &c = cols[f];
        *p++ = sep;
        p = static_cast<char *>(mempcpy(p, c.name, strlen(c.name)));
    }
    *p++ = '\n';

    const bool date = flags & STATSDUMP_TABLE_DATE;
    auto rows = date ? write_rows<Numbers::kFixed6, true> : write_rows<Numbers::kFixed6, false>;
    if (flags & STATSDUMP_TABLE_SI) {
        rows = date ? write_rows<Numbers::kSi, true> : write_rows<Numbers::kSi, false>;
    } else if (flags & STATSDUMP_TABLE_IEC) {
        rows = date ? write_rows<Numbers::kIec, true> : write_rows<Numbers::kIec, false>;
    }
    rows(cols, fields, statsleng, t0, rsec, sep, buf, p, size, sink, ctx);
    free(buf);
    free(cols);
    munmap(block, mapped);
}

}  // extern "C"
