// statsweb's view of the charts store: the one data file, its reload when it changes, and what
// is derived from one load (its generation) and kept until the next.
#ifndef STATSWEB_STORE_H
#define STATSWEB_STORE_H

#include <stdint.h>
#include <time.h>

#include <string>
#include <string_view>
#include <vector>

namespace statsweb {

struct StoreState {
    std::string path;
    bool loaded = false;      // a load has succeeded: the store shows a file's history
    uint64_t generation = 0;  // counts the successful loads
    time_t last_load = 0;     // when the last successful load was made (UTC seconds)
    std::string message;      // the store's message of the last failed load, "" after a good one
    uint64_t failures = 0;    // failed load attempts since the start
};

// Checks the data file and loads it again when it changed; returns the state after that.
const StoreState &store_refresh();
const StoreState &store_state();

// Local seconds of the newest slot of a range (valid when loaded).
uint32_t store_newest(uint32_t range);

// How far ahead of the clock the newest minute may lie before the log, /status and the page warn
// (the page's script uses the same number).
constexpr int64_t kFutureSeconds = 120;

// A warning when the newest minute of the load lies more than kFutureSeconds ahead of the clock
// (the file is likely read in the wrong time zone, see -z), "" otherwise or when nothing is
// loaded. The log gets it at each load; /status and the page show it.
std::string store_clock_warning();

// The table of all base statistics of one range in plain form (what statsdump -f <names> -r R
// prints without -d, -H, -h), split into cells; built once per generation.
struct PlainTable {
    PlainTable() = default;
    PlainTable(const PlainTable &) = delete;  // the cells point into text
    PlainTable &operator=(const PlainTable &) = delete;
    PlainTable(PlainTable &&) = default;
    PlainTable &operator=(PlainTable &&) = default;

    std::string text;
    uint32_t fields = 0;
    uint32_t rows = 0;
    std::vector<uint32_t> timestamps;     // local seconds per row, oldest first
    std::vector<std::string_view> cells;  // rows x fields; "" where the table prints "-"
    std::string_view cell(uint32_t row, uint32_t field) const {
        return cells[size_t(row) * fields + field];
    }
};

// Runs the table writer with plain flags over the field list (chart types ending with -1) and
// splits its text; false when the text does not have the expected shape.
bool plain_table(const int32_t *stats, uint32_t range, PlainTable &out);

}  // namespace statsweb

#endif
