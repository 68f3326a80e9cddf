// SPDX-License-Identifier: Apache-2.0
// statsweb's page and table endpoints (views.cpp), and what they share with the router in
// handler.cpp: query parameters, plain answers and the answers kept for the current load.
#ifndef STATSWEB_VIEWS_H
#define STATSWEB_VIEWS_H

#include <stdint.h>

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "handler.h"
#include "store.h"

namespace statsweb {

// Endpoints: "/" (the page), "/view" (one chart and its table) and "/table".
Response get_page(const Request &req);
Response get_view(const Request &req);
Response get_table(const Request &req);
// The "events" member of /status: true with out set, or false with later set (deferred).
bool status_events(const StoreState &st, std::string &out, Response &later);

// The slots of one range in one load: local seconds (as the store keys them) and the UTC
// instant each starts at, never decreasing; oldest first.
struct SlotTimes {
    uint32_t step = 0;
    std::vector<uint32_t> local;
    std::vector<int64_t> utc;
};
// The values of one chart in one range as the table prints them (-1 for no data), oldest
// first: its total and, for a combined chart, each stacked series in source order.
struct Column {
    std::vector<double> total;
    std::vector<std::vector<double>> parts;
};
// Under the store lock: the times or the columns of a load, fetched once per load and
// unchanged after (so they may be read without the lock).
std::shared_ptr<const SlotTimes> slot_times(uint64_t generation, uint32_t range);
std::shared_ptr<const Column> column_of(uint64_t generation, int32_t type, uint32_t range);
// The same with the total alone (no stacked series fetched, parts empty) unless the whole column
// was fetched already: what the events and the page's figures need.
std::shared_ptr<const Column> total_of(uint64_t generation, int32_t type, uint32_t range);

// The UTC start of a slot that starts at this local time: local_to_utc(), except for a local
// time the clock skipped, where the slot starts when the clock moved past it.
int64_t slot_utc(int64_t local);
// slot_utc() of each of a rising run of local times, never decreasing: what slot_times() keeps.
// Within a run of one offset it reads the zone once per slot, not five times.
std::vector<int64_t> slot_utcs(const std::vector<uint32_t> &local);
// A value as the table prints it (six decimals, exact rounding) without the zeros that end
// its fraction: what the JSON table carries.
void json_fixed6(std::string &out, double v);

// From handler.cpp.
// Query parameters: the first value of a name, or null.
const std::string *arg(const Request &req, std::string_view name);
Response text_response(unsigned status, std::string body);
// 400: one line naming the parameter and why.
Response bad(std::string_view param, std::string_view why);
// 503 with the load's message.
Response unavailable(const StoreState &st);
Response ok(const char *content_type, std::string body);
Response ok_shared(std::string content_type, std::shared_ptr<const std::string> body);
// An answer for a thread that may not wait for the store lock (see Response::deferred).
Response deferred();
// Range parameter "r": absent is 0, else one digit 0..3.
bool get_range(const Request &req, uint32_t &range, Response &err);
// On/off parameters of the table: absent or "0" off, "1" on.
bool get_switch(const Request &req, const char *name, bool &on, Response &err);
// Field lists as statsdump's -f takes them, ended by -1.
bool parse_fields(const Request &req, std::vector<int32_t> &list, Response &err);
Response deferred(Work work);
// What a cached endpoint makes: a body of a content type, or an error answer (status not 200).
struct Made {
    Response error;
    std::string content_type;
    std::string body;
    // Makes the gzip form of body (empty when it cannot), called without the store lock, maybe
    // on another thread; null: body is compressed as it is.
    std::function<std::string(const std::string &)> gzip;
};
// The one way a cached endpoint (chart, table, metrics, history) answers: its answer of the
// current load when kept, found without the store lock while the file has not changed; else,
// under the store lock after a reload check, made by make() once and kept, its gzip form made
// once off the polling threads. An answer that may not fit in the memory budget is not made:
// 503 with Retry-After. key_of(state) names the answer; needs_data: 503 while nothing is
// loaded (else make() is called for that state too).
Response cached(const Request &req, const std::function<std::string(const StoreState &)> &key_of,
                bool needs_data, const std::function<Made(const StoreState &)> &make);

}  // namespace statsweb

#endif
