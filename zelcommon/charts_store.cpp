// SPDX-License-Identifier: Apache-2.0
// The charts store's state and lifecycle: charts_init copies the catalogue, creates the rings
// and the image buffers, loads the data file and sets the clock keys; charts_term releases it.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "bigblock.h"
#include "charts_priv.h"

// Under AddressSanitizer the pads are poisoned, so that a slot index that runs off one ring is
// reported as it would be between separate allocations.
#if defined(__SANITIZE_ADDRESS__)
#define ZEL_RINGS_POISONED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZEL_RINGS_POISONED 1
#endif
#endif
#ifdef ZEL_RINGS_POISONED
#include <sanitizer/asan_interface.h>
#define ZEL_POISON(addr, size) ASAN_POISON_MEMORY_REGION((addr), (size))
#define ZEL_UNPOISON(addr, size) ASAN_UNPOISON_MEMORY_REGION((addr), (size))
#else
#define ZEL_POISON(addr, size) ((void)(addr), (void)(size))
#define ZEL_UNPOISON(addr, size) ((void)(addr), (void)(size))
#endif

namespace charts {

State g;

static int sys_open(const char *path, int flags, mode_t mode) {
    return ::open(path, flags, mode);
}

static int sys_stat(const char *path, struct stat *st) {
    return ::stat(path, st);
}

static int sys_fstat(int fd, struct stat *st) {
    return ::fstat(fd, st);
}

const FileOps kSystemFileOps = {sys_open, ::read,    ::write,  ::lseek,    ::fsync,
                                ::close,  ::rename,  ::unlink, ::readlink, sys_stat,
                                ::fchmod, sys_fstat, ::pread};

uint32_t now() {
    return g.clock ? g.clock() : (uint32_t)time(nullptr);
}

int charts_deflate_init(z_stream &z) {
    z = z_stream{};
    z.zalloc = Z_NULL;
    z.zfree = Z_NULL;
    z.opaque = Z_NULL;
    // Level 1, raw deflate with zlib's default window and memory: charts_compress adds the
    // zlib header and check.
    return deflateInit2(&z, 1, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
}

int charts_zinit() {
    if (charts_deflate_init(g.zstr) != Z_OK) return -1;
    g.zstr_ready = true;
    return 0;
}

void charts_zterm() {
    if (g.zstr_ready) deflateEnd(&g.zstr);
    g.zstr_ready = false;
}

// Copies the calc token list up to its end token: programs back to back, each ending with 1999.
static void copy_calcs(const uint32_t *calcs) {
    uint32_t leng = 0;
    g.calcdefscount = 0;
    for (; calcs[leng] != kCalcListEnd; leng++) {
        if (calcs[leng] == kCalcEnd) g.calcdefscount++;
    }
    if (leng == 0 || g.calcdefscount == 0) {
        g.calcdefscount = 0;
        return;
    }
    g.calcdefs = static_cast<uint32_t *>(malloc(sizeof(uint32_t) * leng));
    charts_passert(g.calcdefs, "calcdefs");
    g.calcstartpos = static_cast<uint32_t **>(malloc(sizeof(uint32_t *) * g.calcdefscount));
    charts_passert(g.calcstartpos, "calcstartpos");
    memcpy(g.calcdefs, calcs, sizeof(uint32_t) * leng);
    g.calcdefsleng = leng;
    uint32_t prog = 0;
    g.calcstartpos[prog++] = g.calcdefs;
    for (uint32_t i = 0; i < leng; i++) {
        if (g.calcdefs[i] == kCalcEnd && prog < g.calcdefscount) {
            g.calcstartpos[prog++] = g.calcdefs + i + 1;
        }
    }
}

static void copy_statdefs(const statdef *stats) {
    uint32_t cnt = 0;
    while (stats[cnt].divisor != 0) cnt++;
    g.statdefscount = cnt;
    if (cnt == 0) return;
    g.statdefs = static_cast<statdef *>(malloc(sizeof(statdef) * cnt));
    charts_passert(g.statdefs, "statdefs");
    for (uint32_t i = 0; i < cnt; i++) {
        g.statdefs[i] = stats[i];
        g.statdefs[i].name = strdup(stats[i].name);
        charts_passert(g.statdefs[i].name, "statdefs[i].name");
    }
}

static void copy_estatdefs(const estatdef *estats) {
    uint32_t cnt = 0;
    while (estats[cnt].divisor != 0) cnt++;
    g.estatdefscount = cnt;
    if (cnt == 0) return;
    g.estatdefs = static_cast<estatdef *>(malloc(sizeof(estatdef) * cnt));
    charts_passert(g.estatdefs, "estatdefs");
    for (uint32_t i = 0; i < cnt; i++) {
        g.estatdefs[i] = estats[i];
        if (estats[i].name != nullptr) {
            g.estatdefs[i].name = strdup(estats[i].name);
            charts_passert(g.estatdefs[i].name, "estatdefs[i].name");
        }
    }
}

// One block of rings for every statistic, the pads between them poisoned.
static uint64_t *map_rings(uint8_t mode) {
    // A server's or a viewer's block is mapped up front: a full store is 6 MB that is filled at
    // once, and taking its pages one fault at a time would cost more than the filling itself.
    // The tool fills only the rings it shows, so only their pages are ever mapped.
    void *block = zelcommon::map_big_block(g.ringblocksize, mode != CHARTS_MODE_TOOL);
    uint64_t *rings = static_cast<uint64_t *>(block);
    charts_passert(rings, "series[i][j]");
    for (uint32_t i = 0; i < g.statdefscount; i++) {
        for (uint32_t r = 0; r < kRanges; r++) {
            ZEL_POISON(ring_in(rings, i, r) + kRingLength, kRingPad * sizeof(uint64_t));
        }
    }
    return rings;
}

static void unmap_rings(uint64_t *rings) {
    if (rings == nullptr) return;
    ZEL_UNPOISON(rings, g.ringblocksize);
    munmap(rings, g.ringblocksize);
}

// Points every statistic's rings into the block. Rings sit one cache line (the pad) apart
// beyond their length: a sample touches the same slot of every ring, and at a whole-page stride
// those slots would all compete for one cache set.
static void use_rings(uint64_t *rings) {
    g.ringblock = rings;
    for (uint32_t i = 0; i < g.statdefscount; i++) {
        for (uint32_t r = 0; r < kRanges; r++) g.series[i][r] = ring_in(rings, i, r);
    }
    g.detached = false;
}

static void create_rings(uint8_t mode) {
    if (g.statdefscount == 0) return;
    g.monotonic = static_cast<uint64_t *>(malloc(sizeof(uint64_t) * g.statdefscount));
    charts_passert(g.monotonic, "monotonic");
    g.series = static_cast<stat_record *>(malloc(sizeof(stat_record) * g.statdefscount));
    charts_passert(g.series, "series");
    // In the tool each range's rings start on a large-page boundary (see expect_range).
    const size_t run = size_t{g.statdefscount} * kRingStride * sizeof(uint64_t);
    g.rangerun =
        (mode == CHARTS_MODE_TOOL ? zelcommon::round_up_large(run) : run) / sizeof(uint64_t);
    g.ringblocksize = kRanges * g.rangerun * sizeof(uint64_t);
    use_rings(map_rings(mode));
}

// No newest slot, the running totals zero.
static void clear_positions() {
    for (uint32_t i = 0; i < g.statdefscount; i++) g.monotonic[i] = 0;
    for (uint32_t r = 0; r < kRanges; r++) {
        g.pointers[r] = 0;
        g.timepoint[r] = 0;
    }
}

// Every slot empty, the running totals zero, no newest slot.
static void clear_history() {
    for (uint32_t i = 0; i < g.statdefscount; i++) {
        for (uint32_t r = 0; r < kRanges; r++) {
            memset(g.series[i][r], 0xFF, kRingLength * sizeof(uint64_t));  // no data
        }
    }
    clear_positions();
}

void expect_range(uint32_t r) {
    if (g.mode != CHARTS_MODE_TOOL || g.ringblock == nullptr || r >= kRanges) return;
    zelcommon::want_large_pages(ring_in(g.ringblock, 0, r), g.rangerun * sizeof(uint64_t));
}

// Every ring out of memory: the next reader of a ring fills it (empty, or from the data file).
void detach_rings() {
    for (uint32_t i = 0; i < g.statdefscount; i++) {
        for (uint32_t r = 0; r < kRanges; r++) g.series[i][r] = nullptr;
    }
    g.detached = g.statdefscount > 0;
}

void load_all_rings() {
    if (!g.detached) return;
    for (uint32_t i = 0; i < g.statdefscount; i++) {
        for (uint32_t r = 0; r < kRanges; r++) ring(i, r);
    }
    g.detached = false;
}

// The rings of the whole file are read at once: every slot starts empty.
void attach_empty_rings() {
    use_rings(g.ringblock);
    clear_history();
}

int start_history(uint8_t mode) {
    g.mode = mode;
    close_ring_file();
    if (mode == CHARTS_MODE_TOOL) {
        detach_rings();
        clear_positions();
    } else {
        attach_empty_rings();
    }
    g.compsize = 0;  // no picture waits for delivery

    if (charts_load(mode) < 0) {
        if (mode != CHARTS_MODE_VIEWER) return -1;
        clear_history();  // a viewer shows nothing of a file it could not read whole
    }
    charts_inittimepointers();
    if (mode == CHARTS_MODE_SERVER) charts_add(nullptr, now());
    return 0;
}

}  // namespace charts

using namespace charts;

extern "C" void charts_set_clock(uint32_t (*clock)(void)) {
    g.clock = clock;
}

extern "C" int charts_init(const uint32_t *calcs, const statdef *stats, const estatdef *estats,
                           const char *filename, uint8_t mode) {
    // The bitmap starts zeroed (calloc takes such a large block straight from the kernel,
    // untouched), so the first chart clears nothing and only its own rows are ever touched.
    g.chart = static_cast<uint8_t *>(calloc(kChartSize, 1));
    charts_passert(g.chart, "chart");
    g.chartusedw = 0;
    g.chartusedh = 0;
    g.rawchart = static_cast<uint8_t *>(malloc(kRawChartSize));
    charts_passert(g.rawchart, "rawchart");
    g.rawchartsize = kRawChartSize;
    g.compbuff = static_cast<uint8_t *>(malloc(kCompBuffSize));
    charts_passert(g.compbuff, "compbuff");
    g.compbuffsize = kCompBuffSize;
    g.compsize = 0;

    g.statsfilename = strdup(filename);
    charts_passert(g.statsfilename, "statsfilename");

    copy_calcs(calcs);
    copy_statdefs(stats);
    copy_estatdefs(estats);
    create_rings(mode);
    if (start_history(mode) < 0) return -1;
    // The tool sets the deflate stream up with its first picture (charts_make_png).
    if (mode != CHARTS_MODE_TOOL && charts_zinit() != 0) return -1;
    png_reset_template();
    png_make_palette();
    return 0;
}

extern "C" int charts_reload(void) {
    if (g.mode != CHARTS_MODE_VIEWER || g.statsfilename == nullptr) return -1;
    // What the store shows now, kept until the file has been read whole: its rings, their newest
    // slots and the newest minute (the other ranges' period numbers and the time keys follow
    // from it).
    uint64_t *shown = g.ringblock;
    uint32_t pointers[kRanges];
    memcpy(pointers, g.pointers, sizeof pointers);
    const uint32_t newest = g.timepoint[0];

    if (g.statdefscount > 0) {
        if (g.spareblock == nullptr) g.spareblock = map_rings(CHARTS_MODE_VIEWER);
        use_rings(g.spareblock);
    }
    clear_history();
    g.compsize = 0;
    if (charts_load(CHARTS_MODE_VIEWER) < 0) {
        if (shown != nullptr) use_rings(shown);
        memcpy(g.pointers, pointers, sizeof pointers);
        g.timepoint[0] = newest;
        charts_inittimepointers();
        return -1;
    }
    g.spareblock = shown;
    charts_inittimepointers();
    return 0;
}

extern "C" const char *charts_load_message(void) {
    return g.loadmsg;
}

extern "C" void charts_term(void) {
    close_ring_file();
    free(g.recordpos);
    free(g.statsfilename);
    free(g.calcdefs);
    free(g.calcstartpos);
    for (uint32_t i = 0; i < g.estatdefscount; i++) free(const_cast<char *>(g.estatdefs[i].name));
    free(g.estatdefs);
    for (uint32_t i = 0; i < g.statdefscount; i++) free(const_cast<char *>(g.statdefs[i].name));
    free(g.statdefs);
    unmap_rings(g.ringblock);
    unmap_rings(g.spareblock);
    free(g.series);
    free(g.monotonic);
    free(g.compbuff);
    free(g.rawchart);
    free(g.chart);
    charts_zterm();
    uint32_t (*clock)(void) = g.clock;  // the clock and the file operations outlive one store
    const FileOps *fileops = g.fileops;
    g = State{};
    g.clock = clock;
    g.fileops = fileops;
}
