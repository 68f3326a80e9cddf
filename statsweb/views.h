// SPDX-License-Identifier: Apache-2.0
// statsweb's page and table endpoints (views.cpp), and what they share with the router in
// handler.cpp: query parameters, plain answers and the answers kept for the current load.
#ifndef STATSWEB_VIEWS_H
#define STATSWEB_VIEWS_H

#include <stdint.h>

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
// Answers kept for one load (generation) by a key of what was asked: keep one, send a kept one
// (false when there is none), or the same found without the store lock for the current load.
void keep_answer(uint64_t generation, std::string key, const std::string &content_type,
                 const std::shared_ptr<const std::string> &body);
bool kept_answer(const Request &req, uint64_t generation, const std::string &key, Response &out);
bool kept_now(const Request &req, const std::string &key, Response &out);

}  // namespace statsweb

#endif
