// SPDX-License-Identifier: Apache-2.0
// Fuzz target: arbitrary bytes as a charts data file.
//
// Input: a control byte, a pick byte, then the bytes of the data file. Every execution writes
// the file, starts the store on it (tool or server mode), compares what was loaded with a
// model of the file layout (result, newest minute, and every slot of the statistics the file
// names and of the first one it does not) and queries one chart in one range; with the small
// catalogue, pick bits 0-3 at 0 and a hash of the input that picks one in 32 such
// inputs, every chart in every range. The store of the small catalogue is set up once and then
// only starts its history over on each new file; the real catalogue and a fraction of inputs
// set a store up afresh (see open_store).
// The control byte chooses:
//   bits 0-2  0: the real catalogue (48 statistics); 1: the small one (5), set up afresh for
//             one such input in four (by the hash: a set-up costs as much as the rest of an
//             execution, and such inputs filled the corpus); otherwise the small one
//   bits 3-4  mode: 0 tool (1), 1 server (0), 2 tool, 3 server (any other mode value)
//   bits 5-6  1: draw the chart (size from pick bits 6-7); 2: in server mode with the small
//             catalogue and for one in eight such inputs (by the hash), add a sample, save,
//             load the saved file in tool mode and compare every slot
//   bit 7     with a drawing and pick size 3: draw the largest picture instead (for one such
//             input in 32, by the hash; the widest for four in 32, the tallest for the others)
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "charts.h"
#include "charts_priv.h"
#include "crc.h"
#include "fuzz_util.h"
#include "statsdump.h"
#include "strerr.h"

using namespace zelfuzz;

namespace {

std::string g_file;

struct Catalogue {
    const uint32_t *calcs;
    const statdef *stats;
    const estatdef *estats;
    uint32_t nstats;
    uint32_t nestats;
};

const Catalogue kReal = {statsdump_calcdefs, statsdump_statdefs, statsdump_estatdefs, 48, 12};
const Catalogue kSmall = {kSmallCalcs, kSmallStats, kSmallEstats, kSmallStatCount,
                          kSmallEstatCount};

// The chart types worth asking for: every real one and the invalid ones next to them.
std::vector<uint32_t> chart_types(const Catalogue &c) {
    std::vector<uint32_t> types;
    for (uint32_t t = 0; t <= c.nstats; t++) types.push_back(t);
    types.push_back(99);
    for (uint32_t t = 100; t <= 100 + c.nestats; t++) types.push_back(t);
    return types;
}

bool valid_type(const Catalogue &c, uint32_t type) {
    return type < c.nstats || (type >= 100 && type < 100 + c.nestats);
}

// What loading the file must give: the result (0, or the failure), the newest minute and, for
// every ring of every statistic, where in the file its entries come from. Records are found by
// name; a record that names no statistic is skipped; a short read or a failed seek ends the
// load. The rings are compared with the file's bytes where they stand, so no copy of them is
// made.
constexpr uint32_t kMaxStats = 48;
constexpr uint32_t kSlots = 4096;

struct Model {
    enum Result { kOk, kReadError, kBadFormat } result = kOk;
    bool have_header = false;
    uint32_t newest = 0;
    uint32_t cnt = 0;  // entries per ring that the file gives: the newest cnt slots of a ring
    // File offset of the entries of ring r of statistic i (the last record of its name that
    // was read that far), or -1: the ring stays empty.
    int64_t ring[kMaxStats][4];
    bool named[kMaxStats];  // some ring of the statistic comes from the file

    // The statistics whose rings are compared: every one a record names, and the first one no
    // record names (the others are empty in the same way; comparing them all made an execution
    // of the real catalogue cost as much as a hundred of the small one).
    bool compared(uint32_t i) const {
        if (named[i]) return true;
        for (uint32_t k = 0; k < i; k++) {
            if (!named[k]) return false;
        }
        return true;
    }
};

Model model_load(const Catalogue &c, const uint8_t *d, size_t n) {
    Model m;
    for (uint32_t i = 0; i < kMaxStats; i++) {
        m.named[i] = false;
        for (uint32_t r = 0; r < 4; r++) m.ring[i][r] = -1;
    }
    if (n < 16) {
        m.result = Model::kReadError;
        return m;
    }
    if (get32be(d) != kTag) {
        m.result = Model::kBadFormat;
        return m;
    }
    const uint32_t leng = get32be(d + 4), count = get32be(d + 8);
    m.have_header = true;
    m.newest = get32be(d + 12);
    const uint32_t cnt = leng < kSlots ? leng : kSlots;
    m.cnt = cnt;
    uint64_t pos = 16;
    for (uint32_t rec = 0; rec < count; rec++) {
        if (pos + 100 > n) {
            m.result = Model::kReadError;
            return m;
        }
        const char *name = reinterpret_cast<const char *>(d + pos);
        const size_t namelen = strnlen(name, 100);
        pos += 100;
        int64_t stat = -1;
        for (uint32_t i = 0; i < c.nstats && stat < 0; i++) {
            if (strlen(c.stats[i].name) == namelen && memcmp(c.stats[i].name, name, namelen) == 0) {
                stat = i;
            }
        }
        if (stat < 0) {
            pos += (uint64_t)leng * 32;
            continue;
        }
        for (uint32_t r = 0; r < 4; r++) {
            if (leng > kSlots) pos += (uint64_t)(leng - kSlots) * 8;
            if (cnt == 0) continue;
            if (pos + (uint64_t)cnt * 8 > n) {
                m.result = Model::kReadError;
                return m;
            }
            m.named[stat] = true;
            m.ring[stat][r] = (int64_t)pos;
            pos += (uint64_t)cnt * 8;
        }
    }
    return m;
}

// Every slot empty.
const uint64_t *empty_ring() {
    static const std::vector<uint64_t> empty(kSlots, kNoData);
    return empty.data();
}

// A ring (memory order, newest at index 4095) against the model's source of it in d.
bool ring_matches(const uint64_t *ring, const Model &m, int64_t src, const uint8_t *d) {
    if (src < 0) return memcmp(ring, empty_ring(), kSlots * 8) == 0;
    if (memcmp(ring, empty_ring(), (kSlots - m.cnt) * 8) != 0) return false;
    const uint8_t *e = d + src;
    const uint64_t *tail = ring + (kSlots - m.cnt);
    for (uint32_t s = 0; s < m.cnt; s++, e += 8) {
        if (tail[s] != ((uint64_t)get32be(e) << 32 | get32be(e + 4))) return false;
    }
    return true;
}

// Whether the store keeps a file's newest minute as it is: 0 means "now" (the clock is taken
// instead), and the period numbers are derived through signed 32-bit local seconds, which
// cover minutes up to 2^31 / 60 (January 2038).
bool in_design_range(uint32_t newest) {
    return newest != 0 && newest < 0x80000000u / 60;
}

// The store against the model of the file d: in tool mode the result and every slot of every
// range; in server mode (which may have advanced the ranges to the clock) the range-0 rings
// whenever range 0 did not advance.
void check_load(const Catalogue &c, const Model &m, const uint8_t *d, bool server, int rc) {
    if (!server) {
        ZELFUZZ_CHECK((rc == 0) == (m.result == Model::kOk));
        if (rc != 0) return;
    }
    if (!m.have_header) {
        for (uint32_t i = 0; i < c.nstats && i < 2; i++) {
            for (uint32_t r = 0; r < 4; r++) {
                ZELFUZZ_CHECK(memcmp(charts::ring(i, r), empty_ring(), kSlots * 8) == 0);
            }
        }
        return;
    }
    const uint32_t ranges = server ? 1 : 4;
    if (server && (charts::g.pointers[0] != 4095 || charts::g.timepoint[0] != m.newest)) return;
    if (in_design_range(m.newest)) ZELFUZZ_CHECK(charts::g.timepoint[0] == m.newest);
    for (uint32_t i = 0; i < c.nstats; i++) {
        if (!m.compared(i)) continue;
        for (uint32_t r = 0; r < ranges; r++) {
            ZELFUZZ_CHECK(charts::g.pointers[r] == 4095);
            ZELFUZZ_CHECK(ring_matches(charts::ring(i, r), m, m.ring[i][r], d));
        }
    }
}

// One answer of charts_getdata. Its values go into one of two heap arrays of exactly 4096
// values, made once: an answer is compared with the next one and then no longer needed.
struct Answer {
    double *data;
    uint32_t ts;
    uint32_t rsec;
};

double *answer_buffer(int which) {
    static double *const buffers[2] = {new double[kSlots], new double[kSlots]};
    return buffers[which];
}

constexpr uint32_t kSentinel = 0xA5A5A5A5u;

// One query into a heap array of exactly 4096 values, with the promises of the query checked:
// an invalid request writes nothing, a valid one reports the range's period and values that
// are either the no-data value -1.0 or not negative.
Answer query(const Catalogue &c, uint32_t type, uint32_t range, uint32_t number, int buffer) {
    Answer a;
    a.data = answer_buffer(buffer);
    a.data[0] = a.data[kSlots - 1] = -7.0;
    a.ts = kSentinel;
    a.rsec = kSentinel;
    charts_getdata(a.data, &a.ts, &a.rsec, number);
    if (range > 3 || !valid_type(c, type)) {
        ZELFUZZ_CHECK(a.ts == kSentinel && a.rsec == kSentinel);
        ZELFUZZ_CHECK(a.data[0] == -7.0 && a.data[kSlots - 1] == -7.0);
    } else {
        ZELFUZZ_CHECK(a.rsec == charts_range_seconds(range));
        ZELFUZZ_CHECK(a.ts == a.rsec * charts::g.timepoint[range]);
        if (type < c.nstats) {
            // A base statistic is its ring read from the oldest slot to the newest.
            const uint64_t *ring = charts::ring(type, range);
            const double mul = charts_data_multiplier(type, range);
            const uint32_t oldest = charts::g.pointers[range] + 1;
            for (uint32_t i = 0; i < kSlots; i++) {
                const double d = a.data[i];
                const uint64_t v = ring[(oldest + i) & 0xFFF];
                ZELFUZZ_CHECK(d == -1.0 || d >= 0.0);
                ZELFUZZ_CHECK(d == (v == kNoData ? -1.0 : (double)v * mul));
            }
        } else {
            for (uint32_t i = 0; i < kSlots; i++) {
                ZELFUZZ_CHECK(a.data[i] == -1.0 || a.data[i] >= 0.0);
            }
        }
    }
    return a;
}

// The given chart types in the ranges first..last (4 is invalid) in decimal form; in range
// statid_range (none when above 3) the statid form of every chart must give the same answer.
void query_all(const Catalogue &c, const std::vector<uint32_t> &types, uint32_t first,
               uint32_t last, uint32_t statid_range) {
    for (uint32_t type : types) {
        for (uint32_t range = first; range <= last; range++) {
            const Answer a = query(c, type, range, type * 10 + range, 0);
            if (range == statid_range && range <= 3 && valid_type(c, type)) {
                uint32_t statid = type < 100 ? c.stats[type].statid : c.estats[type - 100].statid;
                if ((statid & 0x20202020u) == 0) {
                    uint32_t number = statid | (range & 1 ? 0x20u : 0) | (range & 2 ? 0x2000u : 0);
                    const Answer b = query(c, type, range, number, 1);
                    // Bit for bit: both forms name the same chart.
                    ZELFUZZ_CHECK(a.ts == b.ts && a.rsec == b.rsec &&
                                  memcmp(a.data, b.data, kSlots * sizeof(double)) == 0);
                }
            }
        }
    }
}

// A picture and its file, written into a buffer of exactly the size announced.
void draw(uint32_t number, uint32_t width, uint32_t height) {
    uint32_t size = charts_make_png(number, width, height);
    ZELFUZZ_CHECK(size == 68 || size > 863);
    std::vector<uint8_t> png(size);
    charts_get_png(png.data());
    static const uint8_t kSig[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    ZELFUZZ_CHECK(memcmp(png.data(), kSig, 8) == 0);
    ZELFUZZ_CHECK(memcmp(png.data() + size - 8, "IEND", 4) == 0);
    if (size > 863) {
        ZELFUZZ_CHECK(get32be(png.data() + 839) == size - 863);  // IDAT length
        // The picture has been delivered; the next one is the one-pixel fallback.
        std::vector<uint8_t> again(68);
        charts_get_png(again.data());
        ZELFUZZ_CHECK(memcmp(again.data(), kSig, 8) == 0);
    }
}

// The small catalogue's store lives from one input to the next and only starts its history
// over on each new file, which is what charts_init does after allocating. An input for the real
// catalogue, or one that asks for a fresh set-up, releases it and sets a store up; afterwards the
// small store is set up again unless the fresh one is it. So every execution frees as much as it
// allocates, and the fuzzer's leak check runs only when something really stayed behind.
void setup_small_store() {
    // Server mode: starts whatever the file holds.
    ZELFUZZ_CHECK(charts_init(kSmall.calcs, kSmall.stats, kSmall.estats, g_file.c_str(), 0) == 0);
}

// What a store allocates only when it first needs it (the tool's deflate stream with its first
// picture, the index of the data file's records with its first load on demand), allocated at the
// end of every execution: so the next execution releases with the store whatever a new one may
// take, and the fuzzer does not run the input again to look for a leak each time a fresh store
// reaches one of them. The index is filled by each load before it is read.
void complete_store() {
    if (charts::g.chart == nullptr) return;
    if (!charts::g.zstr_ready) ZELFUZZ_CHECK(charts::charts_zinit() == 0);
    if (charts::g.recordpos == nullptr && charts::g.statdefscount > 0) {
        charts::g.recordpos =
            static_cast<uint64_t *>(malloc(sizeof(uint64_t) * charts::g.statdefscount));
        ZELFUZZ_CHECK(charts::g.recordpos != nullptr);
    }
}

int open_store(const Catalogue &c, uint8_t mode, bool afresh) {
    if (&c == &kSmall && !afresh) return charts::start_history(mode);
    charts_term();
    return charts_init(c.calcs, c.stats, c.estats, g_file.c_str(), mode);
}

void close_store(const Catalogue &c, bool afresh, int rc) {
    // A store that started over stays usable after a failed load; a set-up that failed did not
    // finish.
    if (&c == &kSmall && (!afresh || rc == 0)) return;
    charts_term();
    setup_small_store();
}

// Queries, drawing, and the save and reload, on a store that started.
void use_store(const Catalogue &c, uint8_t ctl, uint8_t pick, bool server, uint32_t hash) {
    const bool all_queries = (hash >> 7) % 32 == 0;
    // Every chart in every range (see above); one chart (pick bits 0-3) in one range (pick
    // bits 4-5) for the others: a query costs 4096 slots per series.
    static const std::vector<uint32_t> kRealTypes = chart_types(kReal),
                                       kSmallTypes = chart_types(kSmall);
    const std::vector<uint32_t> &types = &c == &kSmall ? kSmallTypes : kRealTypes;
    const uint32_t pick_type = types[(pick & 0x0F) % types.size()];
    const uint32_t pick_range = (pick >> 4) & 3;
    if ((pick & 0x0F) == 0 && &c == &kSmall && all_queries) {
        query_all(c, types, 0, 4, pick_range);
    } else {
        query_all(c, {pick_type}, pick_range, pick_range, pick_range);
    }

    const uint8_t extra = (ctl >> 5) & 3;
    if (extra == 1) {
        static const uint32_t kSizes[4][2] = {{0, 0}, {150, 120}, {333, 159}, {0, 500}};
        uint32_t w = kSizes[pick >> 6][0], h = kSizes[pick >> 6][1];
        if ((ctl & 0x80) && (pick >> 6) == 3) {
            // The largest picture (every row and column of the bitmap) for one such input in
            // 32, by the hash: it costs as much as thirty of the others. The widest (four in
            // 32: it costs a fifth of the largest) and the tallest picture for the rest, each
            // reaching one edge of the bitmap.
            const uint32_t which = (hash >> 13) % 32;
            w = which <= 4 ? 5000 : 150;
            h = which == 0 || which > 4 ? 5000 : 120;
        }
        draw(pick_type * 10 + pick_range, w, h);
    }

    if (server && extra == 2 && &c == &kSmall && (hash >> 10) % 8 == 0) {
        // A sample, a save and a load of what was saved: the history must come back whole,
        // every slot at its age, with the newest minute.
        std::vector<uint64_t> sample(c.nstats);
        for (uint32_t i = 0; i < c.nstats; i++) sample[i] = pattern_value(i, pick, i);
        charts_add(sample.data(), kNow);
        // Every ring oldest slot first, as the reload must put it (newest at index 4095).
        static std::vector<uint64_t> before;                // kept: a store's worth of slots
        const uint32_t kept = c.nstats < 8 ? c.nstats : 8;  // every one of the small catalogue
        before.resize(size_t{kept} * 4 * kSlots);
        for (uint32_t i = 0; i < kept; i++) {
            for (uint32_t r = 0; r < 4; r++) {
                const uint64_t *ring = charts::ring(i, r);
                uint64_t *to = &before[(size_t{i} * 4 + r) * kSlots];
                const uint32_t oldest = (charts::g.pointers[r] + 1) & 0xFFF;
                memcpy(to, ring + oldest, (kSlots - oldest) * 8);
                memcpy(to + (kSlots - oldest), ring, oldest * 8);
            }
        }
        const uint32_t newest = charts::g.timepoint[0];
        charts_store();
        ZELFUZZ_CHECK(charts::start_history(1) == 0);
        if (in_design_range(newest)) ZELFUZZ_CHECK(charts::g.timepoint[0] == newest);
        for (uint32_t i = 0; i < kept; i++) {
            for (uint32_t r = 0; r < 4; r++) {
                ZELFUZZ_CHECK(charts::g.pointers[r] == 4095);
                ZELFUZZ_CHECK(memcmp(charts::ring(i, r), &before[(size_t{i} * 4 + r) * kSlots],
                                     kSlots * 8) == 0);
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    setup_store_process();
    g_file = scratch_dir() + "/data.zel";
    setup_small_store();
    complete_store();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    const uint8_t ctl = data[0];
    const uint8_t pick = data[1];
    put_file(g_file, data + 2, size - 2);

    const Catalogue &c = (ctl & 7) == 0 ? kReal : kSmall;
    static const uint8_t kModes[4] = {1, 0, 1, 7};
    const uint8_t mode = kModes[(ctl >> 3) & 3];
    const bool server = mode != 1;

    // A fresh set-up, every chart in every range for one in 32 of the inputs that ask
    // for it, and the save and reload for one in eight, chosen by a hash of the input: such
    // inputs reach more and would fill the corpus, each execution paying a set-up, a hundred
    // queries (twenty times what the others cost) or a whole file.
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < size; i++) h = (h ^ data[i]) * 16777619u;
    const bool afresh = (ctl & 7) == 1 && (h >> 16) % 4 == 0;
    const int rc = open_store(c, mode, afresh);
    if (server) ZELFUZZ_CHECK(rc == 0);  // a server always starts, with what it could load
    check_load(c, model_load(c, data + 2, size - 2), data + 2, server, rc);
    if (rc == 0) use_store(c, ctl, pick, server, h);
    close_store(c, afresh, rc);
    complete_store();
    return 0;
}
