// SPDX-License-Identifier: Apache-2.0
// Private face of the charts module: its one state struct, the data file layout shared by the
// reader and the writer, and the imaging steps that only the module and its tests call.
#ifndef ZELCOMMON_CHARTS_PRIV_H
#define ZELCOMMON_CHARTS_PRIV_H

#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <zlib.h>

#include "charts.h"
#include "zellog.h"

// Source path named by the store's out-of-memory message.
#define CHARTS_SRCPATH "../zelcommon/charts"
#define charts_passert(ptr, objname) zel_passert((ptr), CHARTS_SRCPATH, (objname))

namespace charts {

// Rings and ranges.
constexpr uint32_t kRanges = CHARTS_RANGES;
constexpr uint32_t kRingLength = CHARTS_SLOTS;  // slots per ring, the length of every series
constexpr uint32_t kRingMask = kRingLength - 1;
constexpr uint32_t kRangeSeconds[kRanges] = {60, 360, 1800, 86400};
// One-minute samples that one slot of the range sums for an additive (mode 0) statistic.
constexpr uint32_t kRangeMinutes[kRanges] = {1, 6, 30, 1440};

// Calc token language.
constexpr uint32_t kCalcConst = 1000;
constexpr uint32_t kCalcAdd = 1001;
constexpr uint32_t kCalcSub = 1002;
constexpr uint32_t kCalcMin = 1003;
constexpr uint32_t kCalcMax = 1004;
constexpr uint32_t kCalcMul = 1005;
constexpr uint32_t kCalcDiv = 1006;
constexpr uint32_t kCalcNeg = 1007;
constexpr uint32_t kCalcEnd = 1999;          // ends one program
constexpr uint32_t kCalcListEnd = 2000;      // ends the list handed to charts_init
constexpr uint32_t kCalcSourceBase = 1000;   // source number of calc program 0
constexpr uint32_t kExtendedTypeBase = 100;  // chart type of extended chart 0

// Charts data file: a 16-byte header (tag, ring length, chart count, newest minute), then one
// record per base statistic: a 100-byte zero-padded name and four rings of 8-byte entries,
// range 0 first, each oldest first. Everything big-endian.
constexpr uint32_t kFileTag = 0x00010000;
constexpr size_t kFileHeaderSize = 16;
constexpr size_t kFileNameSize = 100;
constexpr size_t kRingBytes = kRingLength * 8;

// Chart bitmap and PNG buffers, sized for the largest picture.
constexpr uint32_t kChartStride = 4146;                     // bitmap row length = widest picture
constexpr uint32_t kChartRows = 1020;                       // tallest picture
constexpr uint32_t kChartSize = kChartStride * kChartRows;  // 4,228,920
constexpr uint32_t kRawChartSize = (kChartStride + 1) * kChartRows;            // 4,229,940
constexpr uint32_t kCompBuffSize = kRawChartSize + kRawChartSize / 1000 + 16;  // 4,234,185
constexpr uint32_t kPngHeaderSize = 847;
constexpr uint32_t kPngTailSize = 16;
constexpr uint32_t kPng1x1Size = 68;

// System calls of the data file, replaceable so tests can make any one of them fail.
struct FileOps {
    int (*open)(const char *path, int flags, mode_t mode);
    ssize_t (*read)(int fd, void *buf, size_t count);
    ssize_t (*write)(int fd, const void *buf, size_t count);
    off_t (*lseek)(int fd, off_t offset, int whence);
    int (*fsync)(int fd);
    int (*close)(int fd);
    int (*rename)(const char *from, const char *to);
    int (*unlink)(const char *path);
    ssize_t (*readlink)(const char *path, char *buf, size_t size);
    int (*stat)(const char *path, struct stat *st);
    int (*fchmod)(int fd, mode_t mode);
    int (*fstat)(int fd, struct stat *st);
    ssize_t (*pread)(int fd, void *buf, size_t count, off_t offset);
};
extern const FileOps kSystemFileOps;

typedef uint64_t *stat_record[kRanges];  // the four rings of one base statistic

// The ring block: every ring followed by a pad of one cache line.
constexpr size_t kRingPad = 8;  // slots between two rings of the block
constexpr size_t kRingStride = kRingLength + kRingPad;
constexpr uint64_t kNoRecord = UINT64_MAX;  // recordpos of a statistic the file does not have

struct State {
    char *statsfilename = nullptr;
    uint8_t mode = 0;  // CHARTS_MODE_SERVER, _TOOL or _VIEWER

    statdef *statdefs = nullptr;
    uint32_t statdefscount = 0;
    estatdef *estatdefs = nullptr;
    uint32_t estatdefscount = 0;

    uint32_t *calcdefs = nullptr;       // every token before the list end
    uint32_t calcdefsleng = 0;          // number of tokens in calcdefs
    uint32_t **calcstartpos = nullptr;  // first token of each program
    uint32_t calcdefscount = 0;

    // series[i][r]: ring of statistic i in range r. In tool mode a ring is read from the data
    // file when it is first asked for (see ring()); until then its pointer is null.
    stat_record *series = nullptr;
    uint64_t *ringblock = nullptr;  // one mapping that holds every ring, range by range
    size_t ringblocksize = 0;
    size_t rangerun = 0;  // slots from the first ring of one range to the first of the next
    // A viewer's second set of rings: a reload reads into it and the two change places only
    // when the load succeeded, so a bad file never costs the history already shown.
    uint64_t *spareblock = nullptr;
    uint32_t pointers[kRanges] = {0, 0, 0, 0};   // ring index of the newest slot
    uint32_t timepoint[kRanges] = {0, 0, 0, 0};  // period number of the newest slot
    uint64_t *monotonic = nullptr;               // running total per statistic since init

    // Wall-clock keys of the newest slots, for the time axis.
    uint32_t shmin = 0, shhour = 0;
    uint32_t medmin = 0, medhour = 0;
    uint32_t lnghalfhour = 0, lngmday = 0, lngmonth = 0, lngyear = 0;

    uint8_t *chart = nullptr;  // bitmap, kChartRows rows of kChartStride palette indexes
    // The bitmap holds only zeros outside its top-left chartusedw x chartusedh pixels; drawing
    // widens that area (see charts_chart_used), so a new chart clears no more than it.
    uint32_t chartusedw = kChartStride, chartusedh = kChartRows;
    uint8_t *rawchart = nullptr;  // the picture as PNG scanlines
    uint8_t *compbuff = nullptr;  // deflate output
    uint32_t rawchartsize = 0;
    uint32_t compbuffsize = 0;
    uint32_t compsize = 0;  // length of the last compressed picture; 0: none to deliver
    z_stream zstr{};
    bool zstr_ready = false;

    uint8_t png_header[kPngHeaderSize] = {};  // template with the palette; CRCs as placeholders

    // Rings on demand (tool mode): the data file stays open as ringfd, recordpos[i] is the
    // file offset of the record that statistic i reads (kNoRecord: none), every record having
    // the file's ring length ringleng. ondemand false: the tool reads the whole file at once.
    bool ondemand = true;
    bool detached = false;  // some series pointer is null
    int ringfd = -1;
    uint64_t *recordpos = nullptr;
    uint32_t ringleng = 0;

    char loadmsg[256] = {};  // why the last tool or viewer load failed; empty after a good one

    uint32_t (*clock)(void) = nullptr;  // null: the system clock
    const FileOps *fileops = &kSystemFileOps;
};

extern State g;

// Ring of statistic i in range r within a ring block: the rings of one range lie together.
inline uint64_t *ring_in(uint64_t *block, uint32_t i, uint32_t r) {
    return block + r * g.rangerun + size_t(i) * kRingStride;
}

// In tool mode: the caller is about to read most rings of range r (a table of many fields), so
// they are taken in large pages where the system offers them.
void expect_range(uint32_t r);

// Seconds since 1970 UTC by the store's clock.
uint32_t now();

// Palette, font and text (the chart bitmap's primitives).
extern const uint8_t kFont[25][9];
extern const uint8_t kJtab[11];
void png_reset_template();  // copies the constant template (fixed palette 0..6) into g
void png_make_palette();    // palette entries 50..199

// The data colours: palette entries 50..199, three ramps of 50. The series of a chart share
// them: one series spans all 150, two 75 each, three one ramp each (see charts_series_colours).
constexpr uint32_t kPaletteOffset = 41;  // first palette byte of the PNG header template
constexpr uint32_t kFirstDataEntry = 50;
constexpr uint32_t kDataEntries = 150;
constexpr uint32_t kMaxSeries = 3;
// Entries one series of a chart of count series spans (count 1..3).
constexpr uint32_t series_span(uint32_t count) {
    return count >= 3 ? kDataEntries / 3 : count == 2 ? kDataEntries / 2 : kDataEntries;
}
// Palette entry of the bottom row of series s (0-based) in a chart of count series.
constexpr uint32_t series_first_entry(uint32_t count, uint32_t s) {
    return kFirstDataEntry + series_span(count) * s;
}
void charts_puttext(int32_t posx, int32_t posy, uint8_t color, const uint8_t *data, uint32_t leng,
                    int32_t minx, int32_t maxx, int32_t miny, int32_t maxy);
// Widens the bitmap's drawn area to at least its top-left w x h pixels.
void charts_chart_used(uint32_t w, uint32_t h);

// Value axis and time axis.
double charts_fixmax(uint64_t max, uint32_t ypts, uint8_t *scale, uint8_t *mode, uint16_t *base);
uint32_t getmonleng(uint32_t year, uint32_t month);
void charts_timeaxis(uint32_t range, uint32_t width, uint32_t height);

// Rendering and PNG assembly.
void charts_makechart(uint32_t type, uint32_t range, uint32_t width, uint32_t height);
void charts_chart_to_rawchart(uint32_t chartwidth, uint32_t chartheight);
void charts_fill_crc(uint8_t *buff, uint32_t leng);
extern const uint8_t kPng1x1[kPng1x1Size];
extern const uint8_t kPngTailer[kPngTailSize];

// The ring of statistic i in range r, read from the data file first if it is not in memory
// yet (tool mode). Every reader of the rings goes through it.
uint64_t *load_ring(uint32_t i, uint32_t r);
inline uint64_t *ring(uint32_t i, uint32_t r) {
    uint64_t *p = g.series[i][r];
    return p != nullptr ? p : load_ring(i, r);
}
// Every ring in memory, as before sampling or saving.
void load_all_rings();
// Every ring in memory and empty, for a load that reads the whole file.
void attach_empty_rings();
// Every ring out of memory, to be filled by its first reader.
void detach_rings();
// Closes the data file kept open for rings on demand; every ring not read yet stays empty.
void close_ring_file();

// Calc program k evaluated at ring index s of range r: a raw value or CHARTS_NODATA.
uint64_t charts_calc(uint32_t k, uint32_t range, uint32_t s);
// The same at the n ring indices from s on (wrapping around the ring), into out.
void charts_calc_window(uint32_t k, uint32_t range, uint32_t s, uint32_t n, uint64_t *out);

// The newest `width` slots (at most a ring) of source slot cno of chart `type` in range r,
// oldest first, in two runs: a view into the ring for a statistic (the second run is the part
// after the ring wraps), or for a calc program its values in scratch (room for `width`), all in
// the first run. False, and w untouched, when the chart has no such source.
struct SeriesWindow {
    const uint64_t *run1;
    uint32_t len1;
    const uint64_t *run2;
    uint32_t len2;
};
bool series_window(uint32_t type, uint32_t cno, uint32_t r, uint32_t width, uint64_t *scratch,
                   SeriesWindow *w);

// The second half of charts_init: every slot empty, running totals zero, then the data file
// loaded in the given mode (see charts_load) and the time keys set. A store that is already set
// up starts over on its data file this way without allocating anything again.
int start_history(uint8_t mode);

// Set-up of the deflate stream (charts_init) and its end (charts_term).
int charts_zinit();
void charts_zterm();
// A deflate stream as the pictures use it (a zlib result code).
int charts_deflate_init(z_stream &z);
// Scanlines compressed into a zlib stream (header, deflate data of level 1, Adler-32) by z; the
// stream's length, 0 when it does not fit compcap or deflate fails.
constexpr uint32_t kZlibFrame = 6;  // header and check around the deflate data
uint32_t charts_compress(z_stream &z, uint8_t *raw, uint32_t rawsize, uint8_t *comp,
                         uint32_t compcap);
uint32_t charts_adler32(const uint8_t *data, size_t leng);

}  // namespace charts

#endif
