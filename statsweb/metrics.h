// Prometheus text exposition and OpenMetrics text of the base statistics.
#ifndef STATSWEB_METRICS_H
#define STATSWEB_METRICS_H

#include <stdint.h>

#include <string>

#include "store.h"

namespace statsweb {

// The newest complete minute of every base statistic (row rows - 2 of the range-0 plain table
// of all base statistics), with the sample's and the newest minute's time stamps. openmetrics
// selects OpenMetrics 1.0 (ending with "# EOF") over the text format 0.0.4.
std::string metrics_text(const PlainTable &range0, bool openmetrics);

// Every slot with data of every base statistic in one range, each sample with its UTC time
// stamp, ending with "# EOF".
std::string openmetrics_history(const PlainTable &table);

}  // namespace statsweb

#endif
