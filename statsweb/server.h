// SPDX-License-Identifier: Apache-2.0
// statsweb's HTTP layer: libmicrohttpd with a small pool of polling threads (epoll) that call
// handle() for every request and never wait for the store: a request that needs it is handed,
// with its connection suspended, to the one store worker thread (store_lock.h). Also
// authentication, TLS, connection limits, the header deadline, strict request checks, the share
// of expensive requests per client address, and the access log.
#ifndef STATSWEB_SERVER_H
#define STATSWEB_SERVER_H

#include <string>

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
    unsigned per_address_limit = 128;  // -P: connections from one client address
    unsigned header_seconds = 5;       // -T: a request's headers must be in within this time
};

// Binds the listening socket. Returns 0, or 1 after one line on standard error naming the
// address and the error.
int server_bind(const ServerConfig &cfg);
// Starts the server thread on the bound socket and prints the "listening" line on standard
// output. Returns 0, or 1 after a message on standard error.
int server_start();
// Stops accepting, lets what is in flight finish (a few seconds at most), stops the thread.
void server_stop();
// SIGHUP: reopens the log and reads the data file again, under the store lock.
void server_reload();

}  // namespace statsweb

#endif
