// What a person reads about each field: a title in words and the unit of the table's numbers,
// and for each extended chart the names of its stacked series. One table for every format
// (the page's captions and legends, the metrics' HELP), indexed like the catalogue.
#ifndef STATSWEB_FIELDS_H
#define STATSWEB_FIELDS_H

#include <stdint.h>

namespace statsweb {

struct FieldText {
    const char *name;   // the catalogue's field name, for a check that the two agree
    const char *title;  // in words, lower case: "processor use, user"
    const char *unit;   // of the number statsdump prints: "%", "bit/s", "B/s", "/min", ...
};

struct ChartText {
    const char *name;
    const char *title;
    const char *unit;
    const char *series[3];  // the stacked series, bottom first; null past the last
};

// Indexed by base statistic number (0..47) and by extended chart number (chart type - 100).
extern const FieldText kFieldTexts[];
extern const ChartText kChartTexts[];

// The texts of a chart type (0..47 or 100 + k), or null for a type the tables lack.
const char *field_title(int32_t type);
const char *field_unit(int32_t type);

}  // namespace statsweb

#endif
