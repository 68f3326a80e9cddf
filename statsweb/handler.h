// statsweb's request handler: one request in, one response out, answered from the charts store
// of one data file. Everything here runs on the server's one thread; nothing in it knows HTTP
// connections, authentication or TLS (the server layer does).
#ifndef STATSWEB_HANDLER_H
#define STATSWEB_HANDLER_H

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
};

// Sets the store up once per process as a viewer of the data file; never fails on a bad file
// (the data endpoints answer 503 until a load succeeds).
void open_store(const std::string &datafile);

// Answers one request: reload check (the file's device, inode, size and modification time;
// charts_reload() when one of them changed), then the endpoint; a text answer of 1 KiB or more
// goes out gzip-compressed to a client that takes it. Never throws; always a valid HTTP status.
Response handle(const Request &req);

}  // namespace statsweb

#endif
