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

// Endpoints: "/" (the page), "/view" (one chart without script) and "/table".
Response get_page(const Request &req);
Response get_view(const Request &req);
Response get_table(const Request &req);

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
