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

// Binds, starts the server thread and prints the "listening" line. Returns 0, or 1 after a
// message on standard error when the address cannot be bound or the server cannot start.
int server_start(const ServerConfig &cfg);
// Stops accepting, lets what is in flight finish (a few seconds at most), stops the thread.
void server_stop();

}  // namespace statsweb

#endif
