// SPDX-License-Identifier: Apache-2.0
// statsweb's request handler: one request in, one response out, answered from the charts store
// of one data file. It runs on any of the server's threads under the rules of store_lock.h:
// the store is touched under the store lock only; answers kept for the current load go out
// without it; a thread that may not do what an answer needs gets a deferral naming the work.
// Every answer's bytes are counted in one memory budget (settings().budget_bytes) while any
// connection or the cache holds them. Nothing in it knows HTTP connections, authentication or
// TLS (the server layer does).
#ifndef STATSWEB_HANDLER_H
#define STATSWEB_HANDLER_H

#include <stddef.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace statsweb {

struct Request {
    std::string method;  // "GET", "HEAD", anything else
    std::string path;    // "/chart", already split from the query
    std::vector<std::pair<std::string, std::string>> args;  // decoded query parameters, in order
    std::string accept;                                     // the Accept header, "" when absent
    std::string accept_encoding;  // the Accept-Encoding header, "" when absent
};

// An answer's bytes, shared (not copied) by the cache and every connection sending them.
using Shared = std::shared_ptr<const std::string>;

// What a deferred request needs: the store (on the store worker) or the compression of a large
// kept answer (on the gzip worker).
enum class Work { none, store, gzip };

struct Response {
    unsigned status = 200;
    std::string content_type;
    std::string body;  // filled for HEAD too; the server layer then sends the headers only
    std::vector<std::pair<std::string, std::string>> headers;  // Allow, Cache-Control, CSP, ...
    // A large answer kept for the current load, or any answer made counted (see counted());
    // when set it is the body, and body stays empty.
    Shared shared;
    // Set when the calling thread may not do what the answer needs: the server calls handle()
    // again with the same request on the thread for that work.
    Work deferred = Work::none;

    const std::string &text() const { return shared ? *shared : body; }
};

// The bytes as an answer buffer counted in the memory budget until its last reference goes.
Shared counted(std::string bytes);
// Bytes of answers held now (kept, in flight, or in making), and whether `more` would still fit
// in the budget.
size_t budget_used();
bool budget_fits(size_t more);

// The headers every answer carries (no-cache, nosniff), added to r.
void common_headers(Response &r);

// Answers one request: reload check (see store_refresh), then the endpoint; a text answer of
// 1 KiB or more goes out gzip-compressed to a client that takes it. Never throws; always a
// valid HTTP status, or deferred (see Response).
Response handle(const Request &req);

}  // namespace statsweb

#endif
