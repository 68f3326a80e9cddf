// SPDX-License-Identifier: Apache-2.0
// Fuzz target: arbitrary calc token lists and extended-chart tables handed to the store.
//
// Input: a control byte, a count byte, `count & 7` extended-chart entries of 20 bytes, then the
// calc tokens. An entry is c1src, c2src, c3src (32-bit little-endian, any value), mode,
// percent, scale, multiplier and divisor (16-bit), and a flag byte (bit 0: the entry has a
// name). A divisor of 0 ends the table early, as it does for any caller. Tokens are coded
// densely: a byte below 0xF0 picks one of the meaningful tokens (statistic references, invalid
// references, constant with a 32-bit operand, the operators, program end, an ignored value);
// a byte from 0xF0 up is followed by a raw 32-bit token. The harness closes the list with 2000.
//
// Every execution sets up the store (tool mode, the small catalogue's statistics, a data file
// of 256 entries per ring written once), assembles every source slot of every chart type in
// every range at one width, checks the promised results, queries one chart, writes a
// multi-range export of every extended chart, draws one small picture when the control byte
// asks, and releases the store. The control byte chooses:
//   bits 0-1  width of the assemblies: 0, 1, 17 or 256 (the query takes all 4096)
//   bits 2-3  range of the query
//   bit 4     draw the queried chart at 150 x 120
//   bits 5-7  the queried chart: base statistic 0..4 or extended chart 0..2
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "charts.h"
#include "crc.h"
#include "fuzz_util.h"
#include "strerr.h"

using namespace zelfuzz;

namespace {

std::string g_file;
constexpr size_t kEntrySize = 20;
// Longer programs only make executions slower: each is evaluated once per slot.
constexpr size_t kMaxTokens = 96;

// The tokens a code byte below 0xF0 stands for (7 and 9 are statistic numbers the small
// catalogue does not have; 4242 is no token at all).
const uint32_t kTokens[] = {0,    1,    2,    3,    4,    7,    9,    1000, 1001, 1002,
                            1003, 1004, 1005, 1006, 1007, 1999, 1999, 4242, 2000};
constexpr size_t kTokenKinds = sizeof kTokens / sizeof kTokens[0];

bool valid_source(uint32_t src, uint32_t calccount) {
    return (src >= 1 && src <= kSmallStatCount) || (src >= 1000 && src - 1000 < calccount);
}

// The number of programs the store must find: 1999 tokens before the first 2000.
uint32_t program_count(const std::vector<uint32_t> &calcs) {
    uint32_t n = 0;
    for (uint32_t t : calcs) {
        if (t == 2000) break;
        if (t == 1999) n++;
    }
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    setup_store_process();
    g_file = scratch_dir() + "/calc.zel";
    std::string file = data_file(kSmallNames, 256, kNewestMinute);
    put_file(g_file, file.data(), file.size());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    const uint8_t ctl = data[0];
    const size_t nentries = data[1] & 7;
    size_t pos = 2;

    std::vector<std::string> names;
    std::vector<estatdef> estats;
    for (size_t e = 0; e < nentries && pos + kEntrySize <= size; e++, pos += kEntrySize) {
        const uint8_t *p = data + pos;
        estatdef d{};
        d.statid = sid("XA@@") + (uint32_t)e;
        d.c1src = get32le(p);
        d.c2src = get32le(p + 4);
        d.c3src = get32le(p + 8);
        d.mode = p[12];
        d.percent = p[13];
        d.scale = p[14];
        d.multiplier = (uint16_t)(p[15] | p[16] << 8);
        d.divisor = (uint16_t)(p[17] | p[18] << 8);
        d.name = (p[19] & 1) ? "ext" : nullptr;
        estats.push_back(d);
    }
    estats.push_back(estatdef{});
    uint32_t nestats = 0;
    while (estats[nestats].divisor != 0) nestats++;

    std::vector<uint32_t> calcs;
    while (pos < size && calcs.size() < kMaxTokens) {
        uint8_t b = data[pos++];
        if (b >= 0xF0) {
            if (pos + 4 > size) break;
            calcs.push_back(get32le(data + pos));
            pos += 4;
            continue;
        }
        uint32_t tok = kTokens[b % kTokenKinds];
        calcs.push_back(tok);
        if (tok == 1000 && pos + 4 <= size) {
            calcs.push_back(get32le(data + pos));
            pos += 4;
        }
    }
    calcs.push_back(2000);
    const uint32_t ncalcs = program_count(calcs);

    ZELFUZZ_CHECK(charts_init(calcs.data(), kSmallStats, estats.data(), g_file.c_str(), 1) == 0);

    static const uint32_t kWidths[4] = {0, 1, 17, 256};
    const uint32_t width = kWidths[ctl & 3];
    uint64_t *tab = nullptr;
    for (uint32_t type : {0u, 1u, 4u, 5u, 99u, 100u, 101u, 102u, 103u, 104u, 105u, 106u, 107u}) {
        const bool base = type < kSmallStatCount;
        const bool ext = type >= 100 && type - 100 < nestats;
        uint8_t scnt = charts_seriescnt(type);
        if (base) ZELFUZZ_CHECK(scnt == 1);
        if (!base && !ext) ZELFUZZ_CHECK(scnt == 0);
        for (uint32_t range = 0; range <= 4; range++) {
            for (uint32_t cno = 0; cno <= 4; cno++) {
                bool expect = false;
                if (range <= 3 && cno >= 1 && cno <= 3) {
                    if (base) expect = cno == 1;
                    if (ext) {
                        const estatdef &d = estats[type - 100];
                        uint32_t src = cno == 1 ? d.c1src : cno == 2 ? d.c2src : d.c3src;
                        expect = valid_source(src, ncalcs);
                    }
                }
                uint64_t *before = tab;
                uint8_t got = charts_filltab(&tab, range, type, cno, width);
                ZELFUZZ_CHECK(got == (expect ? 1 : 0));
                if (!expect) ZELFUZZ_CHECK(tab == before);
                if (expect) ZELFUZZ_CHECK(tab != nullptr);
            }
        }
        if (ext) {
            uint32_t n = charts_makedata(nullptr, type * 10 + 9, width, 1);
            if (n != 0) {
                std::vector<uint8_t> rec(n);
                ZELFUZZ_CHECK(charts_makedata(rec.data(), type * 10 + 9, width, 1) == 0);
                ZELFUZZ_CHECK(rec[0] == 4 && rec[1] >= 1 && rec[1] <= 3);
                ZELFUZZ_CHECK(n == 8 + 4 * (13 + 8 * rec[1] * width));
            }
        }
    }
    free(tab);

    const uint32_t pickcode = ctl >> 5;
    const uint32_t type = pickcode < 5 ? pickcode : 100 + pickcode - 5;
    const uint32_t range = (ctl >> 2) & 3;
    std::vector<double> values(4096);
    uint32_t ts = 0, rsec = 0;
    charts_getdata(values.data(), &ts, &rsec, type * 10 + range);
    for (double v : values) ZELFUZZ_CHECK(v == -1.0 || v >= 0.0);

    if (ctl & 0x10) {
        uint32_t n = charts_make_png(type * 10 + range, 150, 120);
        std::vector<uint8_t> png(n);
        charts_get_png(png.data());
    }
    charts_term();
    return 0;
}
