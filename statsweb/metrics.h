// Prometheus text exposition and OpenMetrics text of the base statistics: one gauge family per
// statistic, named, scaled and described by the field table (fields.h), every sample labelled
// with the server's name.
#ifndef STATSWEB_METRICS_H
#define STATSWEB_METRICS_H

#include <stdint.h>

#include <string>
#include <vector>

namespace statsweb {

// The base statistics of one range as statsdump prints them (the store's charts_getdata): per
// statistic the range's slots, oldest first, -1 where a slot has no data.
struct BaseSeries {
    uint32_t newest = 0;  // local seconds of the newest slot
    uint32_t step = 60;   // seconds per slot
    uint32_t slots = 0;   // slots per statistic
    uint32_t stats = 0;
    std::vector<double> values;  // statistic s, slot k at s * slots + k
    double at(uint32_t stat, uint32_t slot) const { return values[size_t(stat) * slots + slot]; }
};

// Reads one range of every base statistic from the loaded store.
BaseSeries base_series(uint32_t range);

// /metrics shows the statistics while the data file's newest minute lies within this many
// seconds of the clock; otherwise the server behind the file is not writing it (or the zone is
// wrong), and old numbers would be stored as new ones.
constexpr int64_t kFreshSeconds = 600;
bool is_fresh(int64_t newest_utc, int64_t now);

// The newest complete minute (the slot before the newest of range 0) of every base statistic,
// when `statistics`, and always the two time stamp gauges. openmetrics selects OpenMetrics 1.0
// (UNIT lines, ending with "# EOF") over the text format 0.0.4.
std::string metrics_text(const BaseSeries &range0, bool openmetrics, bool statistics,
                         const std::string &server);

// Every slot with data of every base statistic in one range, each sample with its UTC time
// stamp, ending with "# EOF".
std::string openmetrics_history(const BaseSeries &series, const std::string &server);

}  // namespace statsweb

#endif
