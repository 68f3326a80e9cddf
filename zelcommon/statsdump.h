// SPDX-License-Identifier: Apache-2.0
// The statsdump library part: the chunk server's statistics catalogue, field names and field
// lists, and the two writers the command uses (text table, one PNG chart file per field). The
// command line itself is the statsdump program's (statsdump/).
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
// The field name of a chart type, or null for a type the catalogue lacks.
ZELCOMMON_API const char *statsdump_field_name(int32_t type);

// Field lists: names separated by any of " ,;", "*" for every field of the catalogue (base
// statistics first, then extended charts, each in catalogue order). A field list is a
// malloc'ed array of chart types ending with -1; null is an empty list.
//
// Appends the fields named in text (null: none) to the list *stats, enlarging it; a field the
// list already holds is not added again. Each name the catalogue lacks is skipped and handed to
// unknown(ctx, name, length) when unknown is not null (the name is not terminated). Keeps no
// state between calls and prints nothing, so any number of callers may use it at once on
// their own lists. Returns the number of unknown names, or -1 when the list cannot be enlarged
// (then the list is freed and *stats is null).
typedef void (*statsdump_unknown_field)(void *ctx, const char *name, size_t length);
ZELCOMMON_API int statsdump_parse_fields(int32_t **stats, const char *text,
                                         statsdump_unknown_field unknown, void *ctx);
// The command's -f: as statsdump_parse_fields, but a field taken by an earlier call of the
// same run is not added again either (the command's run starts a new selection), and each
// unknown name is reported on standard error ("statistic 'NAME' not found"), as is a failed
// enlargement ("memory allocation error"). Returns 0, or -1 when the list cannot be enlarged.
// Not reentrant: use statsdump_parse_fields from more than one thread.
ZELCOMMON_API int statsdump_parse(int32_t **stats, const char *opt);

// Bits of the table writers' flags (the command's -d, -H and -h).
#define STATSDUMP_TABLE_DATE 1  // a "date" column as YYYY-MM-DD HH:MM instead of "timestamp"
#define STATSDUMP_TABLE_SI 2    // numbers with base-10 prefixes (wins over STATSDUMP_TABLE_IEC)
#define STATSDUMP_TABLE_IEC 4   // numbers with base-2 prefixes

// Text table of the fields of a field list in one range, on standard output: a heading line
// (the time column's name, then the field names), then one line per slot, oldest first: the
// slot's time and each field's value, "-" for no data, a "%" after a percentage. Columns are
// separated by sep, lines end with "\n". The store must be set up (charts_init).
ZELCOMMON_API void statsdump_gencsv(const int32_t *stats, uint32_t range, char sep, uint8_t flags);
// The same table handed to sink(ctx, text, length) in consecutive pieces, for a caller that
// keeps or sends it elsewhere.
typedef void (*statsdump_sink)(void *ctx, const char *text, size_t length);
ZELCOMMON_API void statsdump_gencsv_to(const int32_t *stats, uint32_t range, char sep,
                                       uint8_t flags, statsdump_sink sink, void *ctx);
// One value or time as the table writes it, on standard output.
ZELCOMMON_API void statsdump_print_date(uint32_t ts);
ZELCOMMON_API void statsdump_print_humanize_si(double number);
ZELCOMMON_API void statsdump_print_humanize_iec(double number);

// One PNG chart file per field of the list, of width x height pixels (as charts_make_png sizes
// them): fname with "_" and the field's name inserted before the extension of its last path
// component (".png" added when it has none). A file that cannot be written is reported on
// standard error and skipped.
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
