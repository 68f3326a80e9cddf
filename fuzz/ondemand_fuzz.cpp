// SPDX-License-Identifier: Apache-2.0
// Fuzz target: the tool's two ways of loading a charts data file must show the same store.
//
// Input: a control byte, then the bytes of the data file. Every execution writes the file and
// starts the tool's history on it twice: once reading the whole file at once, once reading the
// rings on demand (the file indexed first, each ring read when a reader first needs it). Both
// loads must give the same result, the same load message and the same standard error text
// (errno is set to the same value before each, so a short read names the same error), the same
// period numbers and ring positions, and then the same answers to:
//   - charts_makedata of every chart number of the small catalogue and the invalid numbers next
//     to them, with ranges 0..3 and 9 (all ranges), single and multi mode: size and bytes;
//   - charts_get of every base statistic;
//   - every ring of every statistic in every range;
//   - for one input in 64 (chosen by a hash of the input, so that a corpus rich in such
//     inputs does not make every execution pay for them: such an input costs twenty times
//     as much as the others): charts_getdata of every chart
//     number in ranges 0..4 (4 is invalid), values, newest time and seconds per slot. These
//     run before anything else reads the rings on demand, so that the queries themselves
//     read them (in reverse chart order when bit 7 is set).
// The answers are functions of the rings, positions and period numbers, so the ring comparison
// covers the other inputs; the queries check the readers end to end at a fraction of the cost.
// Control byte: bits 0-3 the export width (newest slots, 0..15); bits 4-6 the newest minutes
// that charts_get summarises (1 << bits); bit 7 the query order.
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "charts.h"
#include "charts_priv.h"
#include "fuzz_util.h"

using namespace zelfuzz;

namespace {

std::string g_file;
int g_errfd = -1;  // scratch file that takes standard error during a load

constexpr uint32_t kRingSlots = 4096;

std::vector<uint32_t> chart_numbers() {
    std::vector<uint32_t> types;
    for (uint32_t t = 0; t <= kSmallStatCount; t++) types.push_back(t);
    types.push_back(99);
    for (uint32_t t = 100; t <= 100 + kSmallEstatCount; t++) types.push_back(t);
    return types;
}

// What the store showed after one load. Kept from one input to the next, so that its buffers
// are not allocated each time; the second view is compared while it is taken.
struct View {
    int rc = 0;
    std::string loadmsg;
    std::string err;  // standard error written by the load
    uint32_t timepoint[4] = {};
    uint32_t pointers[4] = {};
    std::vector<double> data;  // getdata answers: values, newest time, period (ndata of them)
    size_t ndata = 0;
    std::vector<uint8_t> exports;
    std::vector<uint64_t> summaries;
    std::vector<uint64_t> rings;
    // The exports and summaries start empty; data and rings are sized (without clearing: every
    // element in use is written) by take.
    void clear() {
        exports.clear();
        summaries.clear();
    }
};

std::string load_with_stderr_captured(int &rc) {
    fflush(stderr);
    ZELFUZZ_CHECK(ftruncate(g_errfd, 0) == 0 && lseek(g_errfd, 0, SEEK_SET) == 0);
    const int saved = dup(2);
    dup2(g_errfd, 2);
    errno = EAGAIN;  // what a short read reports
    rc = charts::start_history(CHARTS_MODE_TOOL);
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    std::string text;
    char buf[512];
    ssize_t n;
    ZELFUZZ_CHECK(lseek(g_errfd, 0, SEEK_SET) == 0);
    while ((n = read(g_errfd, buf, sizeof buf)) > 0) text.append(buf, (size_t)n);
    return text;
}

void query_getdata(std::vector<double> &out, size_t at, uint32_t type) {
    constexpr size_t kBlock = kRingSlots + 2;
    for (uint32_t range = 0; range <= 4; range++) {
        double *d = out.data() + at + range * kBlock;
        std::fill(d, d + kRingSlots, -7.0);
        uint32_t ts = 0xA5A5A5A5u, rsec = 0xA5A5A5A5u;
        charts_getdata(d, &ts, &rsec, type * 10 + range);
        d[kRingSlots] = ts;
        d[kRingSlots + 1] = rsec;
    }
}

void query_exports(std::vector<uint8_t> &out, uint32_t type, uint32_t width) {
    for (uint32_t range : {0u, 1u, 2u, 3u, 9u}) {
        for (uint8_t multi : {0, 1}) {
            const uint32_t number = type * 10 + range;
            const uint32_t size = charts_makedata(nullptr, number, width, multi);
            for (int sh = 0; sh < 32; sh += 8) out.push_back((uint8_t)(size >> sh));
            if (size == 0) continue;
            const size_t at = out.size();
            out.resize(at + size, 0xA5);
            charts_makedata(out.data() + at, number, width, multi);
        }
    }
}

// The store's view after a load. The rings are copied for the first view only: the second is
// compared with it as the store holds it (compare), and nothing reads them in between.
void take(View &v, bool ondemand, uint8_t ctl, bool queries) {
    v.clear();
    charts::g.ondemand = ondemand;
    v.err = load_with_stderr_captured(v.rc);
    v.loadmsg = charts::g.loadmsg;
    const uint32_t width = ctl & 15;
    const uint32_t minutes = 1u << ((ctl >> 4) & 7);
    const std::vector<uint32_t> types = chart_numbers();
    const size_t n = types.size();
    v.ndata = 0;
    if (queries) {
        constexpr size_t kPerChart = 5 * (kRingSlots + 2);
        v.ndata = n * kPerChart;
        if (v.data.size() < v.ndata) v.data.resize(v.ndata);
        for (size_t j = 0; j < n; j++) {
            const size_t k = ondemand && (ctl & 0x80) ? n - 1 - j : j;
            query_getdata(v.data, k * kPerChart, types[k]);
        }
    }
    for (uint32_t type : types) query_exports(v.exports, type, width);
    for (uint32_t i = 0; i <= kSmallStatCount; i++) v.summaries.push_back(charts_get(i, minutes));
    // Copied with memcpy: the sanitizer's memmove, which a vector's insert uses, moves a byte
    // at a time.
    v.rings.resize(size_t{kSmallStatCount} * 4 * kRingSlots);
    for (uint32_t i = 0; i < kSmallStatCount && !ondemand; i++) {
        for (uint32_t r = 0; r < 4; r++) {
            memcpy(&v.rings[(size_t{i} * 4 + r) * kRingSlots], charts::ring(i, r),
                   kRingSlots * sizeof(uint64_t));
        }
    }
    memcpy(v.timepoint, charts::g.timepoint, sizeof v.timepoint);
    memcpy(v.pointers, charts::g.pointers, sizeof v.pointers);
}

// The whole-file view a against the view b on demand, whose rings are the store's.
void compare(const View &a, const View &b) {
    ZELFUZZ_CHECK(a.rc == b.rc);
    ZELFUZZ_CHECK(a.loadmsg == b.loadmsg);
    ZELFUZZ_CHECK(a.err == b.err);
    ZELFUZZ_CHECK(memcmp(a.timepoint, b.timepoint, sizeof a.timepoint) == 0);
    ZELFUZZ_CHECK(memcmp(a.pointers, b.pointers, sizeof a.pointers) == 0);
    ZELFUZZ_CHECK(a.summaries == b.summaries);
    ZELFUZZ_CHECK(a.exports == b.exports);
    for (uint32_t i = 0; i < kSmallStatCount; i++) {
        for (uint32_t r = 0; r < 4; r++) {
            ZELFUZZ_CHECK(memcmp(&a.rings[(size_t{i} * 4 + r) * kRingSlots], charts::ring(i, r),
                                 kRingSlots * sizeof(uint64_t)) == 0);
        }
    }
    // Bit for bit: -1.0 for no data, equal products otherwise.
    ZELFUZZ_CHECK(a.ndata == b.ndata);
    ZELFUZZ_CHECK(a.ndata == 0 ||
                  memcmp(a.data.data(), b.data.data(), a.ndata * sizeof(double)) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    setup_store_process();
    g_file = scratch_dir() + "/ondemand.zel";
    const std::string errname = scratch_dir() + "/ondemand.err";
    g_errfd = open(errname.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (g_errfd < 0) abort();
    put_file(g_file, "", 0);
    // One store for the whole run; every input starts its history over.
    charts_init(kSmallCalcs, kSmallStats, kSmallEstats, g_file.c_str(), CHARTS_MODE_SERVER);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const uint8_t ctl = data[0];
    put_file(g_file, data + 1, size - 1);
    uint32_t hash = 2166136261u;
    for (size_t i = 0; i < size; i++) hash = (hash ^ data[i]) * 16777619u;
    const bool queries = (hash & 63) == 0;
    static View whole, ondemand;
    take(whole, false, ctl, queries);
    take(ondemand, true, ctl, queries);
    compare(whole, ondemand);
    return 0;
}
