// statsweb's HTTP layer: libmicrohttpd with one internal polling thread (epoll) that calls
// handle() for every request; authentication, TLS, limits, timeouts and the access log.
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
};

// Binds the listening socket. Returns 0, or 1 after one line on standard error naming the
// address and the error.
int server_bind(const ServerConfig &cfg);
// Starts the server thread on the bound socket and prints the "listening" line on standard
// output. Returns 0, or 1 after a message on standard error.
int server_start();
// Stops accepting, lets what is in flight finish (a few seconds at most), stops the thread.
void server_stop();

}  // namespace statsweb

#endif
