// statsweb's HTTP layer on libmicrohttpd.
#include "server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <memory>

#include "handler.h"
#include "strerr.h"
#include "zellog.h"

namespace statsweb {

namespace {

// Limits of one server: connections in total and per client address, seconds a connection may
// stay idle, and the memory of one connection, which bounds the request line and headers.
constexpr unsigned kConnectionLimit = 256;
constexpr unsigned kPerAddressLimit = 128;
constexpr unsigned kConnectionTimeout = 10;
constexpr size_t kConnectionMemory = 32 * 1024;
constexpr int kStopSeconds = 3;
constexpr const char *kRealm = "statsweb";

struct Server {
    ServerConfig cfg;
    struct MHD_Daemon *daemon = nullptr;
    int fd = -1;
    std::string hostport;  // "127.0.0.1:9740", "[::1]:9740"
    // Requests between their headers and the end of their answer; idle keep-alive
    // connections do not count.
    std::atomic<int> in_flight{0};
};

Server srv;

enum MHD_Result collect_arg(void *cls, enum MHD_ValueKind, const char *key, const char *value) {
    auto *args = static_cast<std::vector<std::pair<std::string, std::string>> *>(cls);
    args->emplace_back(key != nullptr ? key : "", value != nullptr ? value : "");
    return MHD_YES;
}

void free_body(void *cls) {
    delete static_cast<std::string *>(cls);
}

struct MHD_Response *make_response(Response &r) {
    auto *body = new std::string(std::move(r.body));
    struct MHD_Response *resp = MHD_create_response_from_buffer_with_free_callback_cls(
        body->size(), body->data(), free_body, body);
    if (resp == nullptr) {
        delete body;
        return nullptr;
    }
    if (!r.content_type.empty()) {
        MHD_add_response_header(resp, MHD_HTTP_HEADER_CONTENT_TYPE, r.content_type.c_str());
    }
    for (const auto &h : r.headers) {
        MHD_add_response_header(resp, h.first.c_str(), h.second.c_str());
    }
    return resp;
}

const char *client_address(struct MHD_Connection *conn, char *buf, size_t size) {
    const union MHD_ConnectionInfo *ci =
        MHD_get_connection_info(conn, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    buf[0] = '\0';
    if (ci == nullptr || ci->client_addr == nullptr) return "-";
    const struct sockaddr *sa = ci->client_addr;
    if (sa->sa_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(sa)->sin_addr, buf,
                  socklen_t(size));
    } else if (sa->sa_family == AF_INET6) {
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 *>(sa)->sin6_addr, buf,
                  socklen_t(size));
    }
    return buf[0] != '\0' ? buf : "-";
}

void access_log(struct MHD_Connection *conn, const char *method, const char *url, unsigned status,
                size_t bytes) {
    if (!srv.cfg.verbose) return;
    char addr[INET6_ADDRSTRLEN + 1];
    // Method and path come from the client: control characters are not written to the log.
    std::string line = method;
    line += ' ';
    line.append(url, strnlen(url, 512));
    for (char &c : line) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F || c == '"') c = '?';
    }
    zel_log(0, ZEL_LOG_INFO, "%s \"%s\" %u %zu", client_address(conn, addr, sizeof addr),
            line.c_str(), status, bytes);
}

bool authorised(struct MHD_Connection *conn) {
    if (!srv.cfg.auth) return true;
    char *pass = nullptr;
    char *user = MHD_basic_auth_get_username_password(conn, &pass);
    // Both parts are compared whatever the first gives, so the time tells nothing about it.
    const bool user_ok = user != nullptr && same_secret(user, srv.cfg.user);
    const bool pass_ok = pass != nullptr && same_secret(pass, srv.cfg.password);
    const bool ok = int(user_ok) + int(pass_ok) == 2;
    if (user != nullptr) MHD_free(user);
    if (pass != nullptr) MHD_free(pass);
    return ok;
}

enum MHD_Result queue_plain(struct MHD_Connection *conn, unsigned status, const char *text,
                            bool auth_fail, const char *method, const char *url) {
    Response r;
    r.status = status;
    r.content_type = "text/plain; charset=utf-8";
    r.body = text;
    r.headers.emplace_back("Cache-Control", "no-cache");
    r.headers.emplace_back("X-Content-Type-Options", "nosniff");
    const size_t bytes = r.body.size();
    struct MHD_Response *resp = make_response(r);
    if (resp == nullptr) return MHD_NO;
    const enum MHD_Result ret = auth_fail ? MHD_queue_basic_auth_fail_response(conn, kRealm, resp)
                                          : MHD_queue_response(conn, status, resp);
    MHD_destroy_response(resp);
    access_log(conn, method, url, status, bytes);
    return ret;
}

enum MHD_Result answer(struct MHD_Connection *conn, const char *url, const char *method,
                       size_t *upload_data_size) {
    // Requests carry no body: one announced (or arriving) is refused before it is read.
    const char *length =
        MHD_lookup_connection_value(conn, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
    const char *chunked =
        MHD_lookup_connection_value(conn, MHD_HEADER_KIND, MHD_HTTP_HEADER_TRANSFER_ENCODING);
    if ((length != nullptr && strcmp(length, "0") != 0) || chunked != nullptr ||
        *upload_data_size != 0) {
        return queue_plain(conn, 413, "request bodies are not accepted\n", false, method, url);
    }
    if (!authorised(conn)) {
        return queue_plain(conn, 401, "authentication required\n", true, method, url);
    }

    Request req;
    req.method = method;
    req.path = url;
    const size_t q = req.path.find('?');
    if (q != std::string::npos) req.path.resize(q);
    MHD_get_connection_values(conn, MHD_GET_ARGUMENT_KIND, collect_arg, &req.args);
    const char *accept = MHD_lookup_connection_value(conn, MHD_HEADER_KIND, MHD_HTTP_HEADER_ACCEPT);
    if (accept != nullptr) req.accept = accept;
    const char *coding =
        MHD_lookup_connection_value(conn, MHD_HEADER_KIND, MHD_HTTP_HEADER_ACCEPT_ENCODING);
    if (coding != nullptr) req.accept_encoding = coding;

    Response r = handle(req);
    const unsigned status = r.status;
    const size_t bytes = r.body.size();
    struct MHD_Response *resp = make_response(r);
    if (resp == nullptr) return MHD_NO;
    const enum MHD_Result ret = MHD_queue_response(conn, status, resp);
    MHD_destroy_response(resp);
    access_log(conn, method, url, status, bytes);
    return ret;
}

enum MHD_Result on_request(void *, struct MHD_Connection *conn, const char *url, const char *method,
                           const char *, const char *, size_t *upload_data_size, void **req_cls) {
    // The first call only announces the request; answering then would close the connection
    // instead of keeping it for the next request.
    static int started;
    if (*req_cls == nullptr) {
        *req_cls = &started;
        srv.in_flight.fetch_add(1);
        const char *length =
            MHD_lookup_connection_value(conn, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
        const char *chunked =
            MHD_lookup_connection_value(conn, MHD_HEADER_KIND, MHD_HTTP_HEADER_TRANSFER_ENCODING);
        if ((length == nullptr || strcmp(length, "0") == 0) && chunked == nullptr) return MHD_YES;
    }
    try {
        return answer(conn, url != nullptr ? url : "", method != nullptr ? method : "",
                      upload_data_size);
    } catch (...) {
        return MHD_NO;  // the connection is closed
    }
}

void on_completed(void *, struct MHD_Connection *, void **req_cls,
                  enum MHD_RequestTerminationCode) {
    if (*req_cls != nullptr) srv.in_flight.fetch_sub(1);
    *req_cls = nullptr;
}

void on_mhd_error(void *, const char *fmt, va_list ap) {
    char buf[512];
    vsnprintf(buf, sizeof buf, fmt, ap);
    size_t n = strlen(buf);
    while (n > 0 && buf[n - 1] == '\n') buf[--n] = '\0';
    zel_log(0, ZEL_LOG_NOTICE, "http: %s", buf);
}

// The listening socket, bound here so that a failure is reported with the address and the
// real error, and the port the kernel chose is known.
int bind_socket(const ServerConfig &cfg, std::string &url_host) {
    union {
        struct sockaddr_in v4;
        struct sockaddr_in6 v6;
    } sa;
    memset(&sa, 0, sizeof sa);
    socklen_t salen;
    int family = cfg.listen.family;
    if (family == AF_INET) {
        sa.v4.sin_family = AF_INET;
        sa.v4.sin_port = htons(cfg.listen.port);
        inet_pton(AF_INET, cfg.listen.host.c_str(), &sa.v4.sin_addr);
        salen = sizeof sa.v4;
    } else {
        // Every interface: IPv6 with IPv4 mapped in, or IPv4 alone on a host without IPv6.
        sa.v6.sin6_family = AF_INET6;
        sa.v6.sin6_port = htons(cfg.listen.port);
        if (family == AF_INET6) {
            inet_pton(AF_INET6, cfg.listen.host.c_str(), &sa.v6.sin6_addr);
        } else {
            sa.v6.sin6_addr = in6addr_any;
        }
        salen = sizeof sa.v6;
    }
    int fd = socket(family == AF_INET ? AF_INET : AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 && family == 0) {
        family = AF_INET;
        sa.v4 = sockaddr_in();
        sa.v4.sin_family = AF_INET;
        sa.v4.sin_port = htons(cfg.listen.port);
        sa.v4.sin_addr.s_addr = htonl(INADDR_ANY);
        salen = sizeof sa.v4;
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    }
    if (fd < 0) return -1;
    const int one = 1, zero = 0;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (family == 0) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
    if (family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&sa), salen) < 0 || listen(fd, 128) < 0) {
        const int e = errno;
        close(fd);
        errno = e;
        return -1;
    }
    salen = sizeof sa;
    getsockname(fd, reinterpret_cast<struct sockaddr *>(&sa), &salen);
    char host[INET6_ADDRSTRLEN + 1] = "";
    char text[INET6_ADDRSTRLEN + 16];
    if (sa.v4.sin_family == AF_INET) {
        inet_ntop(AF_INET, &sa.v4.sin_addr, host, sizeof host);
        snprintf(text, sizeof text, "%s:%u", host, unsigned(ntohs(sa.v4.sin_port)));
    } else {
        inet_ntop(AF_INET6, &sa.v6.sin6_addr, host, sizeof host);
        snprintf(text, sizeof text, "[%s]:%u", host, unsigned(ntohs(sa.v6.sin6_port)));
    }
    url_host.assign(text);
    return fd;
}

}  // namespace

int server_bind(const ServerConfig &cfg) {
    srv.cfg = cfg;
    srv.fd = bind_socket(cfg, srv.hostport);
    if (srv.fd < 0) {
        fprintf(stderr, "can't listen on %s: %s\n", cfg.listen_text.c_str(), strerr(errno));
        return 1;
    }
    return 0;
}

int server_start() {
    const ServerConfig &cfg = srv.cfg;
    const std::string &hostport = srv.hostport;
    const bool tls = !cfg.cert_pem.empty() && !cfg.key_pem.empty();
    unsigned flags =
        MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_USE_ITC | MHD_USE_ERROR_LOG;
    if (tls) flags |= MHD_USE_TLS;
    if (cfg.listen.family != AF_INET) flags |= MHD_USE_IPv6;
    struct MHD_OptionItem opts[12];
    size_t n = 0;
    // In an option array the logger is the value and its context the pointer.
    opts[n++] = {MHD_OPTION_EXTERNAL_LOGGER, reinterpret_cast<intptr_t>(&on_mhd_error), nullptr};
    opts[n++] = {MHD_OPTION_LISTEN_SOCKET, srv.fd, nullptr};
    opts[n++] = {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&on_completed), nullptr};
    opts[n++] = {MHD_OPTION_CONNECTION_LIMIT, kConnectionLimit, nullptr};
    opts[n++] = {MHD_OPTION_PER_IP_CONNECTION_LIMIT, kPerAddressLimit, nullptr};
    opts[n++] = {MHD_OPTION_CONNECTION_TIMEOUT, kConnectionTimeout, nullptr};
    opts[n++] = {MHD_OPTION_CONNECTION_MEMORY_LIMIT, intptr_t(kConnectionMemory), nullptr};
    if (tls) {
        opts[n++] = {MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char *>(srv.cfg.cert_pem.c_str())};
        opts[n++] = {MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char *>(srv.cfg.key_pem.c_str())};
    }
    opts[n++] = {MHD_OPTION_END, 0, nullptr};
    srv.daemon = MHD_start_daemon(flags, 0, nullptr, nullptr, &on_request, nullptr,
                                  MHD_OPTION_ARRAY, opts, MHD_OPTION_END);
    if (srv.daemon == nullptr) {
        fprintf(stderr, "can't start the server on %s%s\n", cfg.listen_text.c_str(),
                tls ? " (check the certificate and key)" : "");
        close(srv.fd);
        srv.fd = -1;
        return 1;
    }
    printf("statsweb listening on %s://%s/\n", tls ? "https" : "http", hostport.c_str());
    fflush(stdout);
    zel_log(0, ZEL_LOG_INFO, "listening on %s://%s/", tls ? "https" : "http", hostport.c_str());
    return 0;
}

void server_stop() {
    if (srv.daemon == nullptr) return;
    const MHD_socket fd = MHD_quiesce_daemon(srv.daemon);
    if (fd != MHD_INVALID_SOCKET) close(fd);
    // Requests in flight get a few seconds to finish; idle connections are then closed.
    for (int i = 0; i < kStopSeconds * 100 && srv.in_flight.load() > 0; i++) {
        struct timespec ts = {0, 10 * 1000 * 1000};
        nanosleep(&ts, nullptr);
    }
    MHD_stop_daemon(srv.daemon);
    srv.daemon = nullptr;
    srv.fd = -1;
}

}  // namespace statsweb
