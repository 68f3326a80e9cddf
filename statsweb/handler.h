// SPDX-License-Identifier: Apache-2.0
// statsweb's request handler: one request in, one response out, answered from the charts store
// of one data file. It runs on any of the server's threads: the store is touched by one thread
// at a time, under the store lock (store_lock.h), and nowhere else; answers already made for
// the current load go out without it. Nothing in it knows HTTP connections, authentication or
// TLS (the server layer does).
#ifndef STATSWEB_HANDLER_H
#define STATSWEB_HANDLER_H

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

struct Response {
    unsigned status = 200;
    std::string content_type;
    std::string body;  // filled for HEAD too; the server layer then sends the headers only
    std::vector<std::pair<std::string, std::string>> headers;  // Allow, Cache-Control, CSP, ...
    // A large answer kept for the current load, shared (not copied) by every connection that
    // sends it; when set it is the body, and body stays empty.
    std::shared_ptr<const std::string> shared;
    // Set by an endpoint that needs the store on a thread that may not wait for its lock: the
    // server calls handle() again with the same request on its store worker.
    bool deferred = false;

    const std::string &text() const { return shared ? *shared : body; }
};

// Sets the store up once per process as a viewer of the data file; never fails on a bad file
// (the data endpoints answer 503 until a load succeeds).
void open_store(const std::string &datafile);

// Answers one request: reload check (the file's device, inode, size and modification time;
// charts_reload() when one of them changed), then the endpoint; a text answer of 1 KiB or more
// goes out gzip-compressed to a client that takes it. Never throws; always a valid HTTP status,
// or deferred (see Response) on a thread that may not wait for the store.
Response handle(const Request &req);

}  // namespace statsweb

#endif
