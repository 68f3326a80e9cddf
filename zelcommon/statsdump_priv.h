// SPDX-License-Identifier: Apache-2.0
// Private face of the statsdump modules (catalogue.cpp, table.cpp, chartfiles.cpp,
// statsdump_fmt.cpp): the number and date formatters behind the text table (statsdump_fmt.h),
// the reset of the field selection for a fresh in-process run, and the helpers the modules share.
#ifndef ZELCOMMON_STATSDUMP_PRIV_H
#define ZELCOMMON_STATSDUMP_PRIV_H

#include <stddef.h>
#include <stdint.h>

#include "statsdump_fmt.h"

// Source path named by the out-of-memory message.
#define STATSDUMP_SRCPATH "../zelcommon/statsdump"

namespace statsdump {

// Forgets which fields the selection has already taken, so that the next statsdump_parse
// starts a new field list.
void reset_selection();
// How many names of the selection since the last reset the catalogue lacked.
uint32_t unknown_fields();

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

// malloc (at least one byte), or the out-of-memory message and the end of the process.
void *checked_malloc(size_t size, const char *objname);

}  // namespace statsdump

#endif
