// SPDX-License-Identifier: Apache-2.0
// statsweb's HTTP layer: libmicrohttpd with a small pool of polling threads (epoll) that call
// handle() for every request and never wait for the store nor compress a large answer: a
// request that needs either is handed, with its connection suspended, to the store worker or
// the gzip worker (store_lock.h); identical requests waiting for the same work wait for one
// making of it. Also authentication, TLS, connection limits, the header deadline, strict
// request checks, trusted proxies, the share of expensive work per client address, and the
// access log.
#ifndef STATSWEB_SERVER_H
#define STATSWEB_SERVER_H

#include <string>
#include <vector>

#include "text.h"

namespace statsweb {

struct ServerConfig {
    ListenAddress listen;
    std::string listen_text;     // as given, for messages
    std::string user, password;  // basic authentication when user is not empty
    bool auth = false;
    std::string cert_pem, key_pem;  // HTTPS when both are not empty
    bool verbose = false;
    unsigned connection_limit = 256;   // -C: connections in total
    unsigned per_address_limit = 128;  // -P: connections (or, behind a proxy, requests) per client
    unsigned header_seconds = 5;       // -T: a request's headers must be in within this time, and
                                       // an idle keep-alive connection is closed after it
    // -F: peers whose X-Forwarded-For (its last address) names the client, in the text form
    // inet_ntop gives (IPv4 also as mapped IPv6 when listening on every interface).
    std::vector<std::string> trusted_proxies;
};

// Binds the listening socket. Returns 0, or 1 after one line on standard error naming the
// address and the error.
int server_bind(const ServerConfig &cfg);
// Starts the threads on the bound socket and prints the "listening" line on standard output.
// Returns 0, or 1 after a message on standard error.
int server_start();
// Stops listening at once, lets what is in flight finish (a few seconds at most), stops the
// threads.
void server_stop();
// SIGHUP: reads the data file again, under the store lock.
void server_reload();

}  // namespace statsweb

#endif
