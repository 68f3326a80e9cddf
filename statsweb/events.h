// SPDX-License-Identifier: Apache-2.0
// What happened, read from the data itself: spans without data (the server was down), a disk
// turning damaged or marked for removal, and used space at 90 % of the total or more. Derived
// once per load under the store lock, from the finest range that covers each time (range 0 for
// its 2.8 days, then range 1, 2 and 3 for what lies before), and kept for the load.
#ifndef STATSWEB_EVENTS_H
#define STATSWEB_EVENTS_H

#include <stdint.h>

#include <string>
#include <vector>

namespace statsweb {

struct Event {
    const char *kind;   // "no_data", "disk_damaged", "disk_marked_for_removal", "space_90"
    const char *field;  // the statistic it is read from, null for no_data
    int64_t start;      // UTC seconds: the first slot's start
    int64_t end;        // UTC seconds: the end of the last slot
    uint32_t range;     // the range it was read from
};

// Under the store lock: the events of a load, oldest first.
std::vector<Event> store_events(uint64_t generation);
// Without the lock: the events of a load when they have been derived already.
bool kept_events(uint64_t generation, std::vector<Event> &out);

// [{"kind":..,"field":..,"start":..,"end":..},...]
void events_json(std::string &out, const std::vector<Event> &events);
// In words, for the page: "no data (the server was down?)", "a disk turned damaged", ...
const char *event_text(const Event &e);

}  // namespace statsweb

#endif
