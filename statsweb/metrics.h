// SPDX-License-Identifier: Apache-2.0
// Prometheus text exposition and OpenMetrics text of the base statistics (one gauge family per
// statistic, named, scaled and described by the field table in fields.h) and of statsweb's own
// health. Every statistic sample carries the label resolution (the slot length: 1m, 6m, 30m,
// 1d) and the UTC start of its slot, so that a scrape of /metrics and a backfill of
// /openmetrics?r=0 give one series with one sample per minute.
#ifndef STATSWEB_METRICS_H
#define STATSWEB_METRICS_H

#include <stdint.h>

#include <string>
#include <string_view>
#include <vector>

namespace statsweb {

// The base statistics of one range as statsdump prints them (the store's charts_getdata): per
// statistic the range's slots, oldest first, -1 where a slot has no data.
struct BaseSeries {
    uint32_t range = 0;
    uint32_t newest = 0;  // local seconds of the newest slot, which is still being filled
    uint32_t step = 60;   // seconds per slot
    uint32_t slots = 0;   // slots per statistic
    uint32_t stats = 0;
    std::vector<double> values;  // statistic s, slot k at s * slots + k
    double at(uint32_t stat, uint32_t slot) const { return values[size_t(stat) * slots + slot]; }
};

// Reads one range of every base statistic from the loaded store.
BaseSeries base_series(uint32_t range);

// /metrics shows the statistics while their minute (the newest complete one) started at most
// this many seconds ago: a server that stopped writing its file shows as a gap, not as frozen
// values, and Prometheus gets no sample too old for its head block.
constexpr int64_t kFreshSeconds = 600;
bool is_fresh(int64_t sample_utc, int64_t now);

// UTC start of the newest complete minute of range 0: the time stamp of the statistics.
int64_t sample_utc(const BaseSeries &range0);

// The statistic families of the newest complete minute of range 0 (the slot before the newest),
// each sample stamped with that minute's start: milliseconds in the text format 0.0.4, seconds
// in OpenMetrics (which also gets UNIT lines).
std::string statistics_text(const BaseSeries &range0, bool openmetrics);

// What statsweb knows of its data file, for the health families (which carry no time stamps).
struct Health {
    bool loaded = false;      // the last load attempt succeeded
    uint64_t failures = 0;    // failed load attempts since the start
    int64_t last_load = -1;   // UTC seconds of the last good load, -1 before the first
    int64_t newest_utc = -1;  // the newest minute of the last good load, -1 before the first
};
// zelcs_build_info, zelcs_data_file_*; openmetrics ends the text with "# EOF".
std::string health_text(const Health &h, bool openmetrics);

// A value for a label of /openmetrics: 1 to 256 bytes of UTF-8 without control characters.
bool label_value_ok(std::string_view value);

// Every complete slot with data of every base statistic in one range, each sample with the UTC
// start of its slot and the labels job, instance and resolution; ends with "# EOF".
std::string openmetrics_history(const BaseSeries &series, std::string_view job,
                                std::string_view instance);

}  // namespace statsweb

#endif
