// SPDX-License-Identifier: Apache-2.0
// The HTML pages: the overview (which server, how fresh its data is, what happened, the 12
// combined charts with titles, units, legends and the figures of the window shown) and the page
// of one field (a large chart and one page of its table). Both work without script: the charts
// are then the PNGs of /chart. With script, statsweb.js draws them again from
// /table?format=json, interactive. The functions here only format what PageData and ViewRows
// hold; they touch no store and need no lock.
#ifndef STATSWEB_PAGE_H
#define STATSWEB_PAGE_H

#include <stdint.h>

#include <string>
#include <vector>

#include "events.h"

namespace statsweb {

// Slots a chart shows: as many as the command-line chart at its default width (one per pixel
// column).
constexpr uint32_t kWindowSlots = 1550;
// Rows of the table on one page of /view.
constexpr uint32_t kViewRows = 240;

// Last, minimum, average and maximum of a field over the complete slots of the newest
// kWindowSlots (the newest slot is still filling and left out), in the table's units; any is
// false when no complete slot of the window has data.
struct WindowStats {
    bool any = false;
    double last = 0, min = 0, avg = 0, max = 0;
    bool last_missing = true;  // the newest complete slot has no data (last: the newest with data)
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
    int64_t first_utc = 0;           // UTC start of the range's oldest slot (when loaded)
    uint32_t step = 0;               // seconds per slot of the range (when loaded)
    std::vector<Event> events;       // what happened, oldest first
};

// One page of /view's table, newest first: per row its local seconds and `columns` values
// (-1 for no data): each stacked series in source order when parts > 0, then the total.
struct ViewRows {
    size_t count = 0;   // rows of the whole table
    uint32_t page = 0;  // the page shown, 0 the newest
    size_t parts = 0;
    std::vector<uint32_t> local;
    std::vector<double> values;
    size_t columns() const { return parts + 1; }
};

// The overview.
std::string page_html(const PageData &p);

// The page of one field: p.fields holds the one type; rows is the page of its table shown.
std::string view_html(const PageData &p, const ViewRows &rows);

// "4 min ago", "2 h ago", "3 days ago", "in 5 min" for a difference of UTC seconds.
std::string age_text(int64_t seconds);
// The warning for data of this age (clock minus newest minute): older than kStaleSeconds, or
// more than kFutureSeconds in the future; "" when the age is normal. The one rule: the page's
// script takes both thresholds from the page and applies them to the browser's clock.
std::string stale_text(int64_t age);
// A number in a field's unit with a base-10 prefix: "48.87 %", "1.23 Mbit/s", "12".
std::string value_text(double v, const char *unit);
// The window's figures of one column (-1 for no data, oldest first; the newest slot is left
// out as still filling).
WindowStats window_stats(const std::vector<double> &values);

}  // namespace statsweb

#endif
