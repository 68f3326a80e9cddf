// SPDX-License-Identifier: Apache-2.0
// The statsdump command: the chunk server's statistics catalogue, the command line, and the two
// writers (text table on standard output, one PNG chart file per field).
#ifndef ZELCOMMON_STATSDUMP_H
#define ZELCOMMON_STATSDUMP_H

#include <stddef.h>
#include <stdint.h>

#include "charts.h"

#ifdef __cplusplus
extern "C" {
#endif

#define STATSDUMP_DEFAULT_DIR "/var/zel"
#define STATSDUMP_DEFAULT_FILE "csstats.zel"

// The catalogue: 48 base statistics, 12 extended charts and 2 calc programs, each table closed
// by an all-zero entry (the calc list by 2000). Handed to charts_init() unchanged.
ZELCOMMON_API extern const statdef statsdump_statdefs[];
ZELCOMMON_API extern const estatdef statsdump_estatdefs[];
ZELCOMMON_API extern const uint32_t statsdump_calcdefs[];

// Chart type of one field name (0..47 a base statistic, 100 + k extended chart k), or -1 for a
// name the catalogue lacks. Prints nothing.
ZELCOMMON_API int32_t statsdump_field_type(const char *name);

// Appends the fields named in opt (separated by " ,;", "*" for all) to the field list *stats,
// a list of chart types ending with -1. Returns 0, or -1 when the list cannot be enlarged.
ZELCOMMON_API int statsdump_parse(int32_t **stats, const char *opt);

// Text table of the fields in one range on standard output. flags: 1 date column, 2 base-10
// numbers, 4 base-2.
ZELCOMMON_API void statsdump_gencsv(const int32_t *stats, uint32_t range, char sep, uint8_t flags);
// The same table handed to sink(ctx, text, length) in consecutive pieces, for a caller that
// keeps or sends it elsewhere.
typedef void (*statsdump_sink)(void *ctx, const char *text, size_t length);
ZELCOMMON_API void statsdump_gencsv_to(const int32_t *stats, uint32_t range, char sep,
                                       uint8_t flags, statsdump_sink sink, void *ctx);
ZELCOMMON_API void statsdump_print_date(uint32_t ts);
ZELCOMMON_API void statsdump_print_humanize_si(double number);
ZELCOMMON_API void statsdump_print_humanize_iec(double number);

// One PNG file per field, named from fname and the field's name.
ZELCOMMON_API void statsdump_genpng(const int32_t *stats, uint32_t range, const char *fname,
                                    uint32_t width, uint32_t height);
// The same files, returning 0 when every one was created and written, -1 when one was not.
ZELCOMMON_API int statsdump_genpng_checked(const int32_t *stats, uint32_t range, const char *fname,
                                           uint32_t width, uint32_t height);
// For a program that runs statsdump_parse over the -f options of several runs: starts a new field
// selection (the names already taken may be taken again), and tells how many names of the
// selection since its start the catalogue lacked.
ZELCOMMON_API void statsdump_parse_reset(void);
ZELCOMMON_API uint32_t statsdump_parse_unknown(void);

#ifdef __cplusplus
}
#endif

#endif
