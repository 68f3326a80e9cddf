// SPDX-License-Identifier: Apache-2.0
// statsweb's view of the charts store: the one data file, its reload when it changed and has
// settled, and what is derived from one load (its generation) and kept until the next.
// open_store() runs once, before any other thread; store_refresh, store_reload, store_newest and
// plain_table run under the store lock (store_lock.h); store_current and store_snapshot take
// the state's own lock and need no other.
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
    uint64_t failures = 0;    // failed load attempts since the start (torn reads included)
    uint32_t newest = 0;      // local seconds of the newest minute of the load (when loaded)
    bool settling = false;    // the file changed and is read once it has settled
};

// Sets the store up as a viewer of the data file: before the server's threads start (it
// asserts that no other thread has taken the store lock), it waits until the file has settled
// (see store_refresh) and loads it. Never fails on a bad file: the data endpoints answer 503
// until a load succeeds.
void open_store(const std::string &datafile);

// Under the store lock: checks the data file and loads it again when it changed; returns the
// state after that. A load is whole by construction: the file is read only once its identity
// (device, inode, size, modification and change times with nanoseconds) has not changed for
// the settle interval (settings().settle_ms), and the read is taken only when that identity is
// the same after it; otherwise the store waits for the file to settle again and reads it again
// (three reads at most), then counts a failed load and says so in the message. Until a changed
// file has settled the last load is served as it is (`settling`). Anything but a regular file
// is not read at all.
const StoreState &store_refresh();
// Under the store lock: reads the file again whether or not it changed (SIGHUP), once settled.
const StoreState &store_reload();

// A copy of the state, and whether the file is still the one the state was made from (same
// identity), so that answers kept for this load may go out as they are.
bool store_current(StoreState &out);
StoreState store_snapshot();

// Tests only: called between reading the file and checking its identity again.
void store_set_read_hook(void (*hook)());

// Local seconds of the newest slot of a range (valid when loaded).
uint32_t store_newest(uint32_t range);

// How far ahead of the clock the newest minute may lie before the log, /status and the page warn,
// and how old it may be before the page does (the page's script gets both from the page).
constexpr int64_t kFutureSeconds = 120;
constexpr int64_t kStaleSeconds = 300;

// A warning when the newest minute of a load lies more than kFutureSeconds ahead of the clock
// (the file is likely read in the wrong time zone, see -z), "" otherwise or when nothing is
// loaded. The log gets it at each load; /status and the page show it.
std::string clock_warning(const StoreState &st);

// The table of all base statistics of one range in plain form (what statsdump -f <names> -r R
// prints without -d, -H, -h), split into cells; built once per generation. Neither copied nor
// moved: the cells point into text.
struct PlainTable {
    PlainTable() = default;
    PlainTable(const PlainTable &) = delete;
    PlainTable &operator=(const PlainTable &) = delete;

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
// splits its text into out (filled afresh); false when the text does not have the expected
// shape.
bool plain_table(const int32_t *stats, uint32_t range, PlainTable &out);

// The table writer's output callback: appends to the std::string at ctx.
void append_text(void *ctx, const char *text, size_t length);

}  // namespace statsweb

#endif
