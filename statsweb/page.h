// SPDX-License-Identifier: Apache-2.0
// The HTML pages: the overview (which server, how fresh its data is, the 12 combined charts
// with titles, units, legends and the figures of the window shown) and the page of one field
// (a large chart and its table). Both work without script: the charts are the PNGs of /chart.
// With script, statsweb.js draws them again from /table?format=json, interactive.
#ifndef STATSWEB_PAGE_H
#define STATSWEB_PAGE_H

#include <stdint.h>

#include <string>
#include <vector>

namespace statsweb {

// Slots a chart shows: as many as the command-line chart at its default width (one per pixel
// column).
constexpr uint32_t kWindowSlots = 1550;
// Rows of the table on one page of /view.
constexpr uint32_t kViewRows = 240;

// Last, minimum, average and maximum of a field over the newest kWindowSlots slots, in the
// table's units; any is false when no slot of the window has data.
struct WindowStats {
    bool any = false;
    double last = 0, min = 0, avg = 0, max = 0;
    bool last_missing = true;  // the newest slot has no data (last is then the newest with data)
};

struct PageData {
    std::string name;  // the server's name
    std::string path;  // the data file
    bool loaded = false;
    std::string message;  // the last load's message, "" after a good load
    uint32_t newest = 0;  // local seconds of the newest minute
    int64_t newest_utc = 0;
    std::string zone;             // the newest minute's zone as text: "CET, UTC+01:00"
    int64_t now = 0;              // the clock, UTC seconds
    std::vector<int32_t> fields;  // chart types, ending with -1
    uint32_t range = 0;
    std::vector<WindowStats> stats;  // one per field
};

// The overview.
std::string page_html(const PageData &p);

// The page of one field: p.fields holds the one type; table is the text statsdump -f NAME -r R
// -d -H prints; page counts from the newest rows (0 = the newest kViewRows).
std::string view_html(const PageData &p, const std::string &table, uint32_t page);

// "4 min ago", "2 h ago", "3 days ago", "in 5 min" for a difference of UTC seconds.
std::string age_text(int64_t seconds);
// The warning for data of this age (clock minus newest minute): older than 5 minutes, or more
// than two minutes (kFutureSeconds) in the future; "" when the age is normal.
std::string stale_text(int64_t age);
// A number in the table's unit with a base-10 prefix: "48.87 %", "1.23 Mbit/s", "12".
std::string value_text(double v, const char *unit);
// The window's figures of one column of a plain table (cells as PlainTable holds them).
WindowStats window_stats(const std::vector<double> &values);  // -1 for no data, oldest first

}  // namespace statsweb

#endif
