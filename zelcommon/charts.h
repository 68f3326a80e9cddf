// SPDX-License-Identifier: Apache-2.0
// The charts store: a rolling history of 64-bit samples for every base statistic at four time
// resolutions (ranges 0..3: one slot per minute, 6 minutes, 30 minutes, day; 4096 slots each),
// the charts data file that keeps it, the data queries and binary exports that read it, and the
// chart imager that draws it as a PNG. One store per process, used from one thread.
//
// Lifecycle: charts_init() copies the caller's catalogue and loads the data file (mode 1: the
// read-only tool, a bad file is an error; mode 0: a server, a bad file gives an empty store that
// then catches up to now). The tool checks the whole file at once but reads each ring from it
// only when a query first needs it, so the file stays open until charts_term(). A server calls
// charts_add() per sample vector, charts_store() to save and charts_term() at the end. A slot
// without a sample holds CHARTS_NODATA.
//
// Chart numbers name a chart and a range: type * 10 + range for numbers up to 0xFFFFFF (type
// 0..statdefscount-1 is a base statistic, 100 + k extended chart k), or a four-letter statid
// whose letter-case bits carry the range.
//
// Exports and pictures follow a two-call convention: ask for the size first, then have a buffer
// of that size filled.
#ifndef ZELCOMMON_CHARTS_H
#define ZELCOMMON_CHARTS_H

#include <stdint.h>

#include "zelcommon_export.h"

#ifdef __cplusplus
extern "C" {
#endif

#define CHARTS_NODATA UINT64_C(0xFFFFFFFFFFFFFFFF)
#define CHARTS_RANGES 4    // ranges 0..3
#define CHARTS_SLOTS 4096  // slots of every ring: the length of every series and data query

// One base statistic. Tables end with an entry whose divisor is 0.
typedef struct statdef {
    const char *name;  // key in the data file, field name of the command
    uint32_t statid;   // four characters, the first in the most significant byte
    uint8_t mode;      // 0: samples in one slot are summed; otherwise the slot keeps the largest
    uint8_t percent;   // non-zero: values are percentages
    uint8_t scale;     // power-of-1000 unit of the shown value: 0 micro .. 2 plain .. 5 giga
    uint16_t multiplier;
    uint16_t divisor;  // shown value = stored value * multiplier / divisor
} statdef;

// One extended chart: up to three stacked series. A source is 0 (none), 1..statdefscount (base
// statistic number plus one) or 1000 + k (calc program k). Tables end with divisor 0.
typedef struct estatdef {
    const char *name;  // may be null
    uint32_t statid;
    uint32_t c1src;
    uint32_t c2src;
    uint32_t c3src;
    uint8_t mode;
    uint8_t percent;
    uint8_t scale;
    uint16_t multiplier;
    uint16_t divisor;
} estatdef;

// Modes of charts_init and charts_load.
#define CHARTS_MODE_SERVER 0  // a bad file gives an empty store that catches up to now
#define CHARTS_MODE_TOOL 1    // the file's history as saved; a bad file is an error
// The tool's reading, for a long-running viewer: a bad file gives an empty store (no error),
// nothing is printed, and the load's message is kept for charts_load_message().
#define CHARTS_MODE_VIEWER 2

// Lifecycle. calcs: calc program tokens, each program ending with 1999, the list with 2000.
// Returns 0, or -1 when the data file cannot be loaded in tool mode or the deflate stream cannot
// be set up (then the only valid action is to end the process).
ZELCOMMON_API int charts_init(const uint32_t *calcs, const statdef *stats, const estatdef *estats,
                              const char *filename, uint8_t mode);
ZELCOMMON_API void charts_term(void);

// Viewer mode only. charts_reload() reads the data file again: on success the store shows the
// file's history; on failure it keeps the history it showed before (an empty one if none) and
// the reason is in charts_load_message(). Returns 0 or -1 (also when the store is not a viewer).
ZELCOMMON_API int charts_reload(void);
// Message of the last load when it failed, as the tool prints it without the line end (for
// example "file loading error: ENOENT (No such file or directory)"); "" after a successful load.
ZELCOMMON_API const char *charts_load_message(void);

// The clock the store reads when it needs "now" (server catch-up, an empty store's time keys).
// Null restores the system clock. For simulators and tests.
ZELCOMMON_API void charts_set_clock(uint32_t (*now)(void));

// Charts data file.
ZELCOMMON_API void charts_store(void);
ZELCOMMON_API int charts_load(uint8_t mode);

// Sampling and time keeping. data: statdefscount values in catalogue order, or null to only
// advance the ranges; datats: seconds since 1970 UTC.
ZELCOMMON_API void charts_inittimepointers(void);
ZELCOMMON_API void charts_add(const uint64_t *data, uint32_t datats);

// Series assembly. The work buffer (4096 entries) is allocated into *datatab_ptr on first use and
// released by the caller with free().
ZELCOMMON_API uint8_t charts_seriescnt(uint32_t type);
ZELCOMMON_API uint64_t *charts_prepare_buff(uint64_t **datatab_ptr);
ZELCOMMON_API uint8_t charts_filltab(uint64_t **datatab_ptr, uint32_t range, uint32_t type,
                                     uint32_t cno, uint32_t width);

// Data queries.
ZELCOMMON_API void charts_statid_converter(uint32_t number, uint32_t *chtype, uint32_t *chrange);
ZELCOMMON_API uint32_t charts_getmaxleng(void);
// Seconds one slot of the range covers: 60, 360, 1800 and 86400 for ranges 0..3; 0 for another
// range. Needs no store.
ZELCOMMON_API uint32_t charts_range_seconds(uint32_t range);
ZELCOMMON_API double charts_data_multiplier(uint32_t type, uint32_t range);
// Fills data[4096] (oldest first, -1.0 for no data), *timestamp (newest slot) and *rsec
// (seconds per slot). Writes nothing for an invalid chart number or absent data/timestamp.
ZELCOMMON_API void charts_getdata(double *data, uint32_t *timestamp, uint32_t *rsec,
                                  uint32_t number);

// Binary export (big-endian records). With buff null the size is returned (0: invalid request).
ZELCOMMON_API uint32_t charts_makedata(uint8_t *buff, uint32_t number, uint32_t maxentries,
                                       uint8_t multimode);
ZELCOMMON_API uint32_t charts_monotonic_data(uint8_t *buff);
ZELCOMMON_API uint64_t charts_get(uint32_t type, uint32_t numb);

// Pictures: charts_make_png() draws and compresses and returns the PNG file size; the next
// charts_get_png() writes the file into a buffer of that size.
ZELCOMMON_API uint32_t charts_make_png(uint32_t number, uint32_t chartwidth, uint32_t chartheight);
ZELCOMMON_API void charts_get_png(uint8_t *buff);
// Colours of series `series` (0-based, in source order c1src, c2src, c3src) of a chart drawn with
// `count` series (1..3; charts_seriescnt() gives a chart's count), as 0xRRGGBB: the colour of
// its bars in the data area's bottom row and in its top row (the shade follows the row, not the
// bar). The series are stacked in reverse source order: the last series stands on the time axis,
// series 0 on top of the others. Returns 0, or -1 (nothing written) for a count or series out of
// range; either pointer may be null. Needs no store; safe from any thread.
ZELCOMMON_API int charts_series_colours(uint32_t count, uint32_t series, uint32_t *bottom_rgb,
                                        uint32_t *top_rgb);

#ifdef __cplusplus
}
#endif

#endif
