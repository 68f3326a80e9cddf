// SPDX-License-Identifier: Apache-2.0
// The table writer: the fields of one range as text, one row per slot, handed to a sink or
// written to standard output. The number and date texts are statsdump_fmt.cpp's.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>

#include <algorithm>
#include <vector>

#include "statsdump.h"
#include "statsdump_priv.h"
#include "zellog.h"

namespace {

using statsdump::checked_malloc;
using statsdump::field_info;
using statsdump::FieldInfo;

// The table's text through one large block buffer, handed to the sink whenever it fills.
class OutBuffer {
  public:
    static constexpr size_t kSize = 1 << 17;
    OutBuffer(statsdump_sink sink, void *ctx)
        : buf_(static_cast<char *>(checked_malloc(kSize, "outbuff"))),
          pos_(buf_),
          sink_(sink),
          ctx_(ctx) {}
    ~OutBuffer() {
        flush();
        free(buf_);
    }
    OutBuffer(const OutBuffer &) = delete;
    OutBuffer &operator=(const OutBuffer &) = delete;

    // Room for one more number with its separator and suffix.
    char *reserve() {
        if (size_t(buf_ + kSize - pos_) < statsdump::kNumberMax + 8) flush();
        return pos_;
    }
    void commit(char *end) { pos_ = end; }
    void put(char c) { *reserve() = c, pos_++; }
    void put(const char *s) {
        for (size_t n = strlen(s); n > 0;) {
            char *p = reserve();
            size_t room = size_t(buf_ + kSize - p);
            size_t k = n < room ? n : room;
            memcpy(p, s, k);
            pos_ += k, s += k, n -= k;
        }
    }
    void flush() {
        if (pos_ != buf_) sink_(ctx_, buf_, size_t(pos_ - buf_));
        pos_ = buf_;
    }

  private:
    char *buf_;
    char *pos_;
    statsdump_sink sink_;
    void *ctx_;
};

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

    // One block of statsleng values per field. A field that the store does not answer keeps
    // the no-data value in every row.
    const size_t valuesbytes = std::max(sizeof(double) * size_t(statsleng) * fields, size_t{1});
    // All of it is written at once, so its pages are mapped in one go rather than one fault
    // at a time (about 2 MB for every field of the catalogue).
    void *block = mmap(nullptr, valuesbytes, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    double *values = block == MAP_FAILED ? nullptr : static_cast<double *>(block);
    zel_passert(values, STATSDUMP_SRCPATH, "values");
    std::vector<FieldInfo> info(fields);
    uint32_t timestamp = 0;
    uint32_t rsec = 1;
    for (uint32_t f = 0; f < fields; f++) {
        double *col = values + size_t(f) * statsleng;
        for (uint32_t j = 0; j < statsleng; j++) col[j] = -1.0;
        info[f] = field_info(stats[f]);
        charts_getdata(col, &timestamp, &rsec, uint32_t(stats[f]) * 10 + range);
    }
    const uint32_t t0 = timestamp - rsec * (statsleng - 1);

    OutBuffer out(sink, ctx);
    out.put((flags & statsdump::kFlagDate) ? "date" : "timestamp");
    for (uint32_t f = 0; f < fields; f++) {
        out.put(sep);
        out.put(info[f].name != nullptr ? info[f].name : "");
    }
    out.put('\n');

    for (uint32_t j = 0; j < statsleng; j++) {
        const uint32_t t = t0 + rsec * j;
        char *p = out.reserve();
        out.commit((flags & statsdump::kFlagDate) ? statsdump::put_date(p, t)
                                                  : statsdump::put_u32(p, t));
        for (uint32_t f = 0; f < fields; f++) {
            const double v = values[size_t(f) * statsleng + j];
            p = out.reserve();
            *p++ = sep;
            if (v < 0) {
                *p++ = '-';
                out.commit(p);
                continue;
            }
            if (flags & statsdump::kFlagSi) {
                p = statsdump::put_si(p, v);
            } else if (flags & statsdump::kFlagIec) {
                p = statsdump::put_iec(p, v);
            } else {
                p = statsdump::put_fixed6(p, v);
            }
            if (info[f].percent) *p++ = '%';
            out.commit(p);
        }
        out.put('\n');
    }
    out.flush();
    munmap(values, valuesbytes);
}

}  // extern "C"
