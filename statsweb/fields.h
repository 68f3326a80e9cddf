// What a person or a monitoring system reads about each field, indexed like the catalogue: a
// title in words and the unit of the number statsdump prints, and for the Prometheus formats the
// metric's name (its base unit as suffix), the factor from the printed number to that unit and
// the HELP text. For each extended chart: the names of its stacked series, and for the charts
// that are sums of rates or counts the recording rule of docs/prometheus that adds them up. One
// table for every format (the page's captions and legends, /metrics, /openmetrics).
#ifndef STATSWEB_FIELDS_H
#define STATSWEB_FIELDS_H

#include <stdint.h>

namespace statsweb {

struct FieldText {
    const char *name;   // the catalogue's field name, for a check that the two agree
    const char *title;  // in words, lower case: "processor use, user"
    const char *unit;   // of the number statsdump prints: "%", "bit/s", "B/s", "/min", ...
    // Prometheus: one gauge family per statistic.
    const char *metric;       // zelcs_<name>, then _<metric_unit> when there is one
    const char *metric_unit;  // the base unit the name ends with ("" for a plain count)
    double factor;            // metric value = the printed number x factor
    const char *help;         // the family's HELP text
};

struct ChartText {
    const char *name;
    const char *title;
    const char *unit;
    const char *series[3];  // the stacked series, bottom first; null past the last
    // The recording rule that sums the chart's series' metrics, null for a chart that is not a
    // plain sum (mem and space stack a difference); its value is the printed number x factor.
    const char *record;
    double factor;
};

// Indexed by base statistic number (0..47) and by extended chart number (chart type - 100).
extern const FieldText kFieldTexts[];
extern const ChartText kChartTexts[];

// The texts of a chart type (0..47 or 100 + k), or null for a type the tables lack.
const char *field_title(int32_t type);
const char *field_unit(int32_t type);

}  // namespace statsweb

#endif
