// SPDX-License-Identifier: Apache-2.0
// The statsdump command: the chunk server's statistics catalogue, the command line, and the two
// writers (text table on standard output, one PNG chart file per field).
#include "statsdump.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "statsdump_priv.h"
#include "strerr.h"
#include "zellog.h"

// Source path named by the out-of-memory message.
#define STATSDUMP_SRCPATH "../zelcommon/statsdump"

namespace {

// A statid from its four characters, the first in the most significant byte.
constexpr uint32_t sid(const char (&s)[5]) {
    return (uint32_t(uint8_t(s[0])) << 24) | (uint32_t(uint8_t(s[1])) << 16) |
           (uint32_t(uint8_t(s[2])) << 8) | uint32_t(uint8_t(s[3]));
}

}  // namespace

extern "C" {

// clang-format off
const statdef statsdump_statdefs[] = {
    // name            statid        mode percent scale multiplier divisor
    {"ucpu",           sid("UCPU"),  0,   1,      0,    100,       60},
    {"scpu",           sid("SCPU"),  0,   1,      0,    100,       60},
    {"masterin",       sid("MSTI"),  0,   0,      1,    8000,      60},
    {"masterout",      sid("MSTO"),  0,   0,      1,    8000,      60},
    {"csrepin",        sid("REPI"),  0,   0,      1,    8000,      60},
    {"csrepout",       sid("REPO"),  0,   0,      1,    8000,      60},
    {"csservin",       sid("SRVI"),  0,   0,      1,    8000,      60},
    {"csservout",      sid("SRVO"),  0,   0,      1,    8000,      60},
    {"hdrbytesr",      sid("HRBR"),  0,   0,      1,    1000,      60},
    {"hdrbytesw",      sid("HRBW"),  0,   0,      1,    1000,      60},
    {"hdrllopr",       sid("HROR"),  0,   0,      2,    1,         1},
    {"hdrllopw",       sid("HROW"),  0,   0,      2,    1,         1},
    {"databytesr",     sid("DTBR"),  0,   0,      1,    1000,      60},
    {"databytesw",     sid("DTBW"),  0,   0,      1,    1000,      60},
    {"datallopr",      sid("DTOR"),  0,   0,      2,    1,         1},
    {"datallopw",      sid("DTOW"),  0,   0,      2,    1,         1},
    {"hlopr",          sid("HLOR"),  0,   0,      2,    1,         1},
    {"hlopw",          sid("HLOW"),  0,   0,      2,    1,         1},
    {"rtime",          sid("TIMR"),  0,   0,      0,    1,         60000},
    {"wtime",          sid("TIMW"),  0,   0,      0,    1,         60000},
    {"repl",           sid("REPC"),  0,   0,      2,    1,         1},
    {"create",         sid("CREC"),  0,   0,      2,    1,         1},
    {"delete",         sid("DELC"),  0,   0,      2,    1,         1},
    {"version",        sid("VERC"),  0,   0,      2,    1,         1},
    {"duplicate",      sid("DUPC"),  0,   0,      2,    1,         1},
    {"truncate",       sid("TRUC"),  0,   0,      2,    1,         1},
    {"duptrunc",       sid("DTRC"),  0,   0,      2,    1,         1},
    {"test",           sid("TSTC"),  0,   0,      2,    1,         1},
    {"load",           sid("LOAD"),  1,   0,      2,    1,         1},
    {"memoryrss",      sid("MEMR"),  1,   0,      2,    1,         1},
    {"memoryvirt",     sid("MEMV"),  1,   0,      2,    1,         1},
    {"movels",         sid("MOVL"),  0,   0,      2,    1,         1},
    {"movehs",         sid("MOVH"),  0,   0,      2,    1,         1},
    {"change",         sid("CHGC"),  0,   0,      2,    1,         1},
    {"split",          sid("SPLT"),  0,   0,      2,    1,         1},
    {"usedspace",      sid("USPC"),  1,   0,      2,    1,         1},
    {"totalspace",     sid("TSPC"),  1,   0,      2,    1,         1},
    {"chunkcount",     sid("CCNT"),  1,   0,      2,    1,         1},
    {"tdusedspace",    sid("TDUS"),  1,   0,      2,    1,         1},
    {"tdtotalspace",   sid("TDTS"),  1,   0,      2,    1,         1},
    {"tdchunkcount",   sid("TDCC"),  1,   0,      2,    1,         1},
    {"copychunks",     sid("CPYC"),  1,   0,      2,    1,         1},
    {"ec4chunks",      sid("EC4C"),  1,   0,      2,    1,         1},
    {"ec8chunks",      sid("EC8C"),  1,   0,      2,    1,         1},
    {"hddok",          sid("HDOK"),  1,   0,      2,    1,         1},
    {"hddmfr",         sid("HDMR"),  1,   0,      2,    1,         1},
    {"hdddmg",         sid("HDDM"),  1,   0,      2,    1,         1},
    {"udiff",          sid("UDIF"),  1,   0,      1,    1,         1},
    {nullptr,          0,            0,   0,      0,    0,         0},
};

// Sources: 0 none, 1..48 base statistic number plus one, 1000 + k calc program k.
const estatdef statsdump_estatdefs[] = {
    // name       statid        c1src  c2src  c3src  mode percent scale multiplier divisor
    {"cpu",       sid("TCPU"),  1,     2,     0,     0,   1,      0,    100,       60},
    {"bwin",      sid("BWIN"),  5,     7,     0,     0,   0,      1,    8000,      60},
    {"bwout",     sid("BWOU"),  6,     8,     0,     0,   0,      1,    8000,      60},
    {"hddread",   sid("HDBR"),  9,     13,    0,     0,   0,      1,    1000,      60},
    {"hddwrite",  sid("HDBW"),  10,    14,    0,     0,   0,      1,    1000,      60},
    {"hddopsr",   sid("HDOR"),  11,    15,    0,     0,   0,      2,    1,         1},
    {"hddopsw",   sid("HDOW"),  12,    16,    0,     0,   0,      2,    1,         1},
    {"mem",       sid("TMEM"),  1000,  30,    0,     1,   0,      2,    1,         1},
    {"move",      sid("MOVE"),  32,    33,    0,     0,   0,      2,    1,         1},
    {"space",     sid("SPAC"),  1001,  36,    0,     1,   0,      2,    1,         1},
    {"chunks",    sid("CHNK"),  42,    43,    44,    1,   0,      2,    1,         1},
    {"hddcnt",    sid("HDCN"),  45,    46,    47,    1,   0,      2,    1,         1},
    {nullptr,     0,            0,     0,     0,     0,   0,      0,    0,         0},
};

// Calc programs; inside a program a statistic is named by its own number (30 is memoryvirt).
const uint32_t statsdump_calcdefs[] = {
    1000, 0, 30, 29, 1002, 1004, 1999,  // 0 (mem): max(0, memoryvirt - memoryrss)
    1000, 0, 36, 35, 1002, 1004, 1999,  // 1 (space): max(0, totalspace - usedspace)
    2000,
};
// clang-format on

}  // extern "C"

namespace {

struct State {
    // Field selection, kept across the -f options of one run: catalogue sizes and which base
    // statistics and extended charts are already in the field list.
    bool selection_ready = false;
    uint32_t statscnt = 0;
    uint32_t estatscnt = 0;
    std::vector<bool> usedstats;
    std::vector<bool> usedestats;

    uint32_t unknown = 0;  // names of the selection that the catalogue lacks
};

State g;

uint32_t count_named(const statdef *t) {
    uint32_t n = 0;
    while (t[n].name != nullptr) n++;
    return n;
}

uint32_t count_named(const estatdef *t) {
    uint32_t n = 0;
    while (t[n].name != nullptr) n++;
    return n;
}

// Name and percent flag of a chart type of the field list; null name for a type that the
// catalogue does not have.
struct FieldInfo {
    const char *name;
    bool percent;
};

FieldInfo field_info(int32_t type) {
    const uint32_t statscnt = count_named(statsdump_statdefs);
    const uint32_t estatscnt = count_named(statsdump_estatdefs);
    if (type >= 0 && uint32_t(type) < statscnt) {
        const statdef &d = statsdump_statdefs[type];
        return {d.name, d.percent == 1};
    }
    if (type >= 100 && uint32_t(type - 100) < estatscnt) {
        const estatdef &d = statsdump_estatdefs[type - 100];
        return {d.name, d.percent == 1};
    }
    return {nullptr, false};
}

void *checked_malloc(size_t size, const char *objname) {
    void *p = malloc(size == 0 ? 1 : size);
    zel_passert(p, STATSDUMP_SRCPATH, objname);
    return p;
}

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

namespace statsdump {

void reset_selection() {
    g.selection_ready = false;
    g.unknown = 0;
    g.usedstats.clear();
    g.usedestats.clear();
}

uint32_t unknown_fields() {
    return g.unknown;
}

char *checked_strdup(const char *s, const char *objname) {
    char *p = strdup(s);
    zel_passert(p, STATSDUMP_SRCPATH, objname);
    return p;
}

}  // namespace statsdump

extern "C" {

int32_t statsdump_field_type(const char *name) {
    if (name == nullptr) return -1;
    for (uint32_t i = 0; statsdump_statdefs[i].name != nullptr; i++) {
        if (strcmp(name, statsdump_statdefs[i].name) == 0) return int32_t(i);
    }
    for (uint32_t j = 0; statsdump_estatdefs[j].name != nullptr; j++) {
        if (strcmp(name, statsdump_estatdefs[j].name) == 0) return int32_t(100 + j);
    }
    return -1;
}

int statsdump_parse(int32_t **stats, const char *opt) {
    static constexpr const char *kDelims = " ,;";
    if (!g.selection_ready) {
        g.statscnt = count_named(statsdump_statdefs);
        g.estatscnt = count_named(statsdump_estatdefs);
        g.usedstats.assign(g.statscnt, false);
        g.usedestats.assign(g.estatscnt, false);
        g.selection_ready = true;
    }
    if (opt == nullptr) opt = "";
    uint32_t have = 0;
    if (*stats != nullptr) {
        while ((*stats)[have] >= 0) have++;
    }

    char *copy = statsdump::checked_strdup(opt, "optcopy");
    size_t room = 0;
    char *save = nullptr;
    for (char *w = strtok_r(copy, kDelims, &save); w != nullptr;
         w = strtok_r(nullptr, kDelims, &save)) {
        room += strcmp(w, "*") == 0 ? size_t(g.statscnt) + g.estatscnt : 1;
    }
    // Every new entry takes a bit that was clear, so one call adds at most the whole catalogue.
    const size_t total = size_t(g.statscnt) + g.estatscnt;
    const size_t want = have + (room < total ? room : total);
    int32_t *list = static_cast<int32_t *>(realloc(*stats, (want + 1) * sizeof(int32_t)));
    if (list == nullptr) {
        free(copy);
        fputs("memory allocation error\n", stderr);
        free(*stats);
        *stats = nullptr;
        return -1;
    }
    *stats = list;

    strcpy(copy, opt);
    uint32_t pos = have;
    save = nullptr;
    for (char *w = strtok_r(copy, kDelims, &save); w != nullptr;
         w = strtok_r(nullptr, kDelims, &save)) {
        if (strcmp(w, "*") == 0) {
            for (uint32_t i = 0; i < g.statscnt; i++) {
                if (!g.usedstats[i]) {
                    list[pos++] = int32_t(i);
                    g.usedstats[i] = true;
                }
            }
            for (uint32_t j = 0; j < g.estatscnt; j++) {
                if (!g.usedestats[j]) {
                    list[pos++] = int32_t(100 + j);
                    g.usedestats[j] = true;
                }
            }
            continue;
        }
        const int32_t type = statsdump_field_type(w);
        if (type < 0) {
            fprintf(stderr, "statistic '%s' not found\n", w);
            g.unknown++;
        } else if (type < 100) {
            if (!g.usedstats[type]) list[pos++] = type;
            g.usedstats[type] = true;
        } else {
            if (!g.usedestats[type - 100]) list[pos++] = type;
            g.usedestats[type - 100] = true;
        }
    }
    list[pos] = -1;
    free(copy);
    return 0;
}

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

namespace statsdump {

bool genpng(const int32_t *stats, uint32_t range, const char *fname, uint32_t width,
            uint32_t height) {
    bool ok = true;
    const size_t fnameleng = strlen(fname);
    // The extension is the part of the last path component from its last "."; a component
    // that starts with its only "." (".png") has none.
    const char *slash = strrchr(fname, '/');
    const size_t basepos = slash != nullptr ? size_t(slash - fname) + 1 : 0;
    const char *dot = strrchr(fname + basepos, '.');
    const size_t dotpos =
        (dot != nullptr && size_t(dot - fname) > basepos) ? size_t(dot - fname) : fnameleng;
    const char *ext = dotpos < fnameleng ? fname + dotpos : ".png";

    for (const int32_t *s = stats; *s >= 0; s++) {
        const FieldInfo info = field_info(*s);
        if (info.name == nullptr) continue;
        const uint32_t pngsize = charts_make_png(uint32_t(*s) * 10 + range, width, height);
        uint8_t *png = static_cast<uint8_t *>(checked_malloc(pngsize, "pngbuff"));
        charts_get_png(png);

        const size_t namelen = strlen(info.name);
        const size_t extlen = strlen(ext);
        char *outname =
            static_cast<char *>(checked_malloc(dotpos + 1 + namelen + extlen + 1, "outname"));
        memcpy(outname, fname, dotpos);
        outname[dotpos] = '_';
        memcpy(outname + dotpos + 1, info.name, namelen);
        memcpy(outname + dotpos + 1 + namelen, ext, extlen + 1);

        // Non-blocking, so that a FIFO of that name without a reader fails at once (ENXIO)
        // instead of stalling the tool; regular files do not notice.
        const int fd = open(outname, O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK, 0666);
        if (fd < 0) {
            fprintf(stderr, "can't create output file %s: %s\n", fname, strerr(errno));
            ok = false;
        } else {
            errno = 0;
            const ssize_t written = write(fd, png, pngsize);
            if (written != ssize_t(pngsize)) {
                // A short write without an error is a full disk.
                if (written >= 0) errno = ENOSPC;
                fprintf(stderr, "can't write output file %s: %s\n", fname, strerr(errno));
                close(fd);
                ok = false;
            } else if (close(fd) < 0) {
                fprintf(stderr, "can't close output file %s: %s\n", fname, strerr(errno));
                ok = false;
            }
        }
        free(outname);
        free(png);
    }
    return ok;
}

}  // namespace statsdump

extern "C" {

void statsdump_genpng(const int32_t *stats, uint32_t range, const char *fname, uint32_t width,
                      uint32_t height) {
    statsdump::genpng(stats, range, fname, width, height);
}

int statsdump_genpng_checked(const int32_t *stats, uint32_t range, const char *fname,
                             uint32_t width, uint32_t height) {
    return statsdump::genpng(stats, range, fname, width, height) ? 0 : -1;
}

void statsdump_parse_reset(void) {
    statsdump::reset_selection();
}

uint32_t statsdump_parse_unknown(void) {
    return statsdump::unknown_fields();
}

}  // extern "C"
