// SPDX-License-Identifier: Apache-2.0
// What a person or a monitoring system reads about each field, indexed like the catalogue: a
// title in words and the unit of the number statsdump prints, and for the Prometheus formats the
// metric's name (its base unit as suffix), the factor from the printed number to that unit and
// the HELP text; for each extended chart the names of its stacked series. One table for every
// format (the page's captions and legends, /metrics, /openmetrics, man statsweb).
#ifndef STATSWEB_FIELDS_H
#define STATSWEB_FIELDS_H

#include <stdint.h>

#include <string>

namespace statsweb {

struct FieldText {
    const char *title;  // in words, lower case: "processor use, user"
    const char *unit;   // of the number statsdump prints: "%", "bit/s", "B/s", "/min", ...
    // Prometheus: one gauge family per statistic.
    const char *metric;       // zelcs_<name>, then _<metric_unit> when there is one
    const char *metric_unit;  // the base unit the name ends with ("" for a plain count)
    double factor;            // metric value = the printed number x factor
    const char *help;         // what it measures; metric_help() adds how a slot holds it
};

struct ChartText {
    const char *title;
    const char *unit;
    const char *series[3];  // the stacked series, bottom first; null past the last
};

// Indexed by base statistic number (0..47) and by extended chart number (chart type - 100), in
// the catalogue's order; each ends with a row whose title is null. The names are the
// catalogue's (statsdump_field_name).
extern const FieldText kFieldTexts[];
extern const ChartText kChartTexts[];

// The texts of a chart type (0..47 or 100 + k), or null for a type the tables lack.
const char *field_title(int32_t type);
const char *field_unit(int32_t type);

// The unit the page shows a chart type in (title, axis, figures, readout, /view's table) and
// the factor from the printed number to it: the printed unit, except that disk time (printed in
// thousandths of the time busy) is shown as a percentage of the time.
struct Shown {
    const char *unit;
    double scale;
};
Shown field_shown(int32_t type);

// The HELP text of a base statistic's metric family (0..47), "" for another number.
std::string metric_help(int32_t stat);

}  // namespace statsweb

#endif
