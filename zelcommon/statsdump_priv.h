// SPDX-License-Identifier: Apache-2.0
// Private face of the statsdump modules (catalogue.cpp, table.cpp, chartfiles.cpp,
// statsdump_fmt.cpp): the number and date formatters behind the text table, the reset of the
// field selection for a fresh in-process run, and the helpers the modules share.
#ifndef ZELCOMMON_STATSDUMP_PRIV_H
#define ZELCOMMON_STATSDUMP_PRIV_H

#include <stddef.h>
#include <stdint.h>

// Source path named by the out-of-memory message.
#define STATSDUMP_SRCPATH "../zelcommon/statsdump"

namespace statsdump {

// Room one formatter call may need: the longest "%lf" text of a double (309 integer digits,
// sign, point, six decimals) and a suffix, with some margin.
constexpr size_t kNumberMax = 400;

// Each writes its text at out (at most kNumberMax bytes, no terminating zero) and returns the
// end of what it wrote. The texts are exactly those of the printf formats named.
char *put_fixed6(char *out, double v);   // "%lf"
char *put_fixed2(char *out, double v);   // "%.2lf"
char *put_si(char *out, double v);       // base-10 prefixes: "%.2lfu" .. "%.2lfP"
char *put_iec(char *out, double v);      // base-2 prefixes: "%.2lf", "%.2lfKi" .. "%.2lfEi"
char *put_u32(char *out, uint32_t v);    // "%u"
char *put_date(char *out, uint32_t ts);  // "%04u-%02u-%02u %02u:%02u", calendar without centuries

// Forgets which fields the selection has already taken, so that the next statsdump_parse
// starts a new field list.
void reset_selection();
// How many names of the selection since the last reset the catalogue lacked.
uint32_t unknown_fields();

// Bits of the table writer's flags: -d, -H, -h.
constexpr uint8_t kFlagDate = 1;
constexpr uint8_t kFlagSi = 2;
constexpr uint8_t kFlagIec = 4;

// statsdump_genpng, telling whether every chart file was created and written.
bool genpng(const int32_t *stats, uint32_t range, const char *fname, uint32_t width,
            uint32_t height);

// Name and percent flag of a chart type of the field list; null name for a type that the
// catalogue does not have.
struct FieldInfo {
    const char *name;
    bool percent;
};
FieldInfo field_info(int32_t type);

// malloc (at least one byte) and strdup, or the out-of-memory message and the end of the process.
void *checked_malloc(size_t size, const char *objname);
char *checked_strdup(const char *s, const char *objname);

}  // namespace statsdump

#endif
