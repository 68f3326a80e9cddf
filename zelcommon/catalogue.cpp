// SPDX-License-Identifier: Apache-2.0
// The chunk server's statistics catalogue (base statistics, extended charts, calc programs), the
// lookups between field names and chart types, and the field selection of the command's -f.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "statsdump.h"
#include "statsdump_priv.h"
#include "zellog.h"

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

// Chart type of the name of length len (not terminated), or -1.
int32_t type_of(const char *name, size_t len) {
    for (uint32_t i = 0; statsdump_statdefs[i].name != nullptr; i++) {
        const char *n = statsdump_statdefs[i].name;
        if (strncmp(name, n, len) == 0 && n[len] == '\0') return int32_t(i);
    }
    for (uint32_t j = 0; statsdump_estatdefs[j].name != nullptr; j++) {
        const char *n = statsdump_estatdefs[j].name;
        if (strncmp(name, n, len) == 0 && n[len] == '\0') return int32_t(100 + j);
    }
    return -1;
}

// A field list in the making: the catalogue's sizes and which base statistics and extended
// charts the list already holds.
class Selection {
  public:
    void start() {
        // The type numbers give each part of the catalogue 100 places.
        statscnt_ = std::min(count_named(statsdump_statdefs), 100u);
        estatscnt_ = std::min(count_named(statsdump_estatdefs), 100u);
        memset(used_, 0, sizeof used_);
    }

    // Marks a chart type as taken; true when it was not before.
    bool mark(int32_t type) {
        const bool known = (type >= 0 && uint32_t(type) < statscnt_) ||
                           (type >= 100 && uint32_t(type - 100) < estatscnt_);
        if (!known || used_[type]) return false;
        used_[type] = true;
        return true;
    }

    // Appends the fields named in text to *stats (see statsdump_parse_fields).
    int parse(int32_t **stats, const char *text, statsdump_unknown_field unknown, void *ctx) {
        if (text == nullptr) text = "";
        uint32_t have = 0;
        if (*stats != nullptr) {
            while ((*stats)[have] >= 0) have++;
        }
        size_t room = 0;
        for_each_word(text, [&](const char *w, size_t len) {
            room += is_all(w, len) ? size_t(statscnt_) + estatscnt_ : 1;
        });
        // Every new entry takes a mark that was clear, so one call adds at most the whole
        // catalogue.
        const size_t total = size_t(statscnt_) + estatscnt_;
        const size_t want = have + (room < total ? room : total);
        int32_t *list = static_cast<int32_t *>(realloc(*stats, (want + 1) * sizeof(int32_t)));
        if (list == nullptr) {
            free(*stats);
            *stats = nullptr;
            return -1;
        }
        *stats = list;

        uint32_t pos = have;
        int unknowns = 0;
        for_each_word(text, [&](const char *w, size_t len) {
            if (is_all(w, len)) {
                for (uint32_t i = 0; i < statscnt_; i++) {
                    if (mark(int32_t(i))) list[pos++] = int32_t(i);
                }
                for (uint32_t j = 0; j < estatscnt_; j++) {
                    if (mark(int32_t(100 + j))) list[pos++] = int32_t(100 + j);
                }
                return;
            }
            const int32_t type = type_of(w, len);
            if (type < 0) {
                if (unknown != nullptr) unknown(ctx, w, len);
                unknowns++;
            } else if (mark(type)) {
                list[pos++] = type;
            }
        });
        list[pos] = -1;
        return unknowns;
    }

  private:
    static constexpr const char *kDelims = " ,;";

    static bool is_all(const char *w, size_t len) { return len == 1 && w[0] == '*'; }

    template <typename F>
    static void for_each_word(const char *text, F f) {
        for (;;) {
            text += strspn(text, kDelims);
            if (*text == '\0') return;
            const size_t len = strcspn(text, kDelims);
            f(text, len);
            text += len;
        }
    }

    uint32_t statscnt_ = 0;
    uint32_t estatscnt_ = 0;
    // By chart type: the base statistics from 0, the extended charts from 100.
    bool used_[200];
};

// statsdump_parse's selection, kept across the -f options of one run.
struct CommandSelection {
    bool selection_ready = false;
    Selection selection;
    uint32_t unknown = 0;  // names of the selection that the catalogue lacks
};

CommandSelection g;

void report_unknown(void *, const char *name, size_t length) {
    fprintf(stderr, "statistic '%.*s' not found\n", int(length), name);
}

}  // namespace

namespace statsdump {

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

void reset_selection() {
    g.selection_ready = false;
    g.unknown = 0;
}

uint32_t unknown_fields() {
    return g.unknown;
}

}  // namespace statsdump

extern "C" {

int32_t statsdump_field_type(const char *name) {
    if (name == nullptr) return -1;
    return type_of(name, strlen(name));
}

const char *statsdump_field_name(int32_t type) {
    return statsdump::field_info(type).name;
}

int statsdump_parse_fields(int32_t **stats, const char *text, statsdump_unknown_field unknown,
                           void *ctx) {
    Selection sel;
    sel.start();
    if (*stats != nullptr) {
        for (const int32_t *t = *stats; *t >= 0; t++) sel.mark(*t);
    }
    return sel.parse(stats, text, unknown, ctx);
}

int statsdump_parse(int32_t **stats, const char *opt) {
    if (!g.selection_ready) {
        g.selection.start();
        g.selection_ready = true;
    }
    const int unknown = g.selection.parse(stats, opt, report_unknown, nullptr);
    if (unknown < 0) {
        fputs("memory allocation error\n", stderr);
        return -1;
    }
    g.unknown += uint32_t(unknown);
    return 0;
}

void statsdump_parse_reset(void) {
    statsdump::reset_selection();
}

uint32_t statsdump_parse_unknown(void) {
    return statsdump::unknown_fields();
}

}  // extern "C"
