// SPDX-License-Identifier: Apache-2.0
// statsweb's HTTP layer on libmicrohttpd.
#include "server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "handler.h"
#include "store.h"
#include "store_lock.h"
#include "strerr.h"
#include "zellog.h"

namespace statsweb {

namespace {

// Limits of one server (the connection limits and the header deadline are options): the memory
// of one connection, which bounds the request line and headers, the idle time of a connection
// between the bytes of an answer, the query parameters of one request, the expensive requests
// (those that need the store) one client address may have waiting or in work at once, and the
// polling threads.
constexpr unsigned kIdleSeconds = 10;
constexpr size_t kConnectionMemory = 32 * 1024;
constexpr size_t kMaxParameters = 256;
constexpr int kExpensivePerAddress = 8;  // more than the 6 connections of a browser
constexpr unsigned kPollThreads = 4;
constexpr int kStopSeconds = 3;
constexpr auto kRefusalPause = std::chrono::milliseconds(500);
constexpr const char *kRealm = "statsweb";
// TLS 1.2 and 1.3 only, with forward-secret key exchange and AEAD ciphers.
constexpr const char *kTlsPriorities =
    "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2:-CIPHER-ALL:+AES-256-GCM:+AES-128-GCM:"
    "+CHACHA20-POLY1305:-MAC-ALL:+AEAD:-KX-ALL:+ECDHE-RSA:+ECDHE-ECDSA:%SERVER_PRECEDENCE";

using Clock = std::chrono::steady_clock;

// One connection, from its start to its close: when it began waiting for a request's headers
// (its start, then the end of each answer), and whether a request is being answered on it.
struct ConnState {
    MHD_socket fd = MHD_INVALID_SOCKET;
    Clock::time_point since;
    bool in_request = false;
    bool cut = false;
};

// One request, from its request line to the end of its answer.
struct ReqState {
    bool started = false;       // the handler has seen the headers
    unsigned refuse = 0;        // 400, 414 or 431 found in the request line
    const char *why = nullptr;  // the line of such a refusal
    bool queued = false;        // handed to the store worker, the connection suspended
    bool done = false;          // the worker's answer is in resp
    Request req;
    Response resp;
    std::string addr;  // client address, for the expensive-request count
};

struct Job {
    struct MHD_Connection *conn;
    ReqState *rs;
};

struct Server {
    ServerConfig cfg;
    struct MHD_Daemon *daemon = nullptr;
    int fd = -1;
    std::string hostport;  // "127.0.0.1:9740", "[::1]:9740"
    // Requests between their headers and the end of their answer; idle keep-alive
    // connections do not count.
    std::atomic<int> in_flight{0};

    // The header deadline's watch over every open connection.
    std::mutex conns_mu;
    std::set<ConnState *> conns;
    std::thread watch;
    std::condition_variable stop_cv;  // wakes the watch when stopping

    // The store worker: requests that need the store, in arrival order, and how many of them
    // each client address has waiting or in work.
    std::mutex jobs_mu;
    std::condition_variable jobs_cv;
    std::deque<Job> jobs;
    std::map<std::string, int> expensive;
    // Requests beyond their address's share: their 503 is sent after a pause (the watch
    // resumes them), so that a client retrying at once costs the server little.
    std::vector<std::pair<Clock::time_point, Job>> delayed;
    std::thread worker;
    bool stopping = false;  // under jobs_mu; also ends the watch
};

Server srv;
std::mutex log_mu;  // the log is reopened on SIGHUP while the polling threads write to it

// A NUL byte within a name or value that libmicrohttpd passes with its length.
bool has_nul(const char *key, size_t key_size, const char *value, size_t value_size) {
    return (key != nullptr && memchr(key, 0, key_size) != nullptr) ||
           (value != nullptr && memchr(value, 0, value_size) != nullptr);
}

struct ArgList {
    std::vector<std::pair<std::string, std::string>> *args;
    bool nul = false;
};

enum MHD_Result collect_arg(void *cls, enum MHD_ValueKind, const char *key, size_t key_size,
                            const char *value, size_t value_size) {
    auto *list = static_cast<ArgList *>(cls);
    // A NUL decoded from %00 would cut the name or the value short: the request is refused.
    if (has_nul(key, key_size, value, value_size)) {
        list->nul = true;
        return MHD_NO;
    }
    list->args->emplace_back(key != nullptr ? std::string(key, key_size) : std::string(),
                             value != nullptr ? std::string(value, value_size) : std::string());
    return MHD_YES;
}

struct HeaderCheck {
    int lengths = 0;
    bool chunked = false;
    bool nul = false;
};

enum MHD_Result check_header(void *cls, enum MHD_ValueKind, const char *key, size_t key_size,
                             const char *value, size_t value_size) {
    auto *hc = static_cast<HeaderCheck *>(cls);
    if (has_nul(key, key_size, value, value_size)) hc->nul = true;
    if (key != nullptr && strcasecmp(key, MHD_HTTP_HEADER_CONTENT_LENGTH) == 0) hc->lengths++;
    if (key != nullptr && strcasecmp(key, MHD_HTTP_HEADER_TRANSFER_ENCODING) == 0) {
        hc->chunked = true;
    }
    return MHD_YES;
}

void free_body(void *cls) {
    delete static_cast<std::string *>(cls);
}

void free_shared(void *cls) {
    delete static_cast<std::shared_ptr<const std::string> *>(cls);
}

struct MHD_Response *make_response(Response &r) {
    struct MHD_Response *resp;
    if (r.shared) {
        // The kept buffer is sent as it is; this connection holds a reference until it is done.
        auto *ref = new std::shared_ptr<const std::string>(std::move(r.shared));
        resp = MHD_create_response_from_buffer_with_free_callback_cls(
            (*ref)->size(), const_cast<char *>((*ref)->data()), free_shared, ref);
        if (resp == nullptr) {
            delete ref;
            return nullptr;
        }
    } else {
        auto *body = new std::string(std::move(r.body));
        resp = MHD_create_response_from_buffer_with_free_callback_cls(body->size(), body->data(),
                                                                      free_body, body);
        if (resp == nullptr) {
            delete body;
            return nullptr;
        }
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
    std::lock_guard<std::mutex> g(log_mu);
    zel_log(0, ZEL_LOG_INFO, "%s \"%s\" %u %zu", client_address(conn, addr, sizeof addr),
            line.c_str(), status, bytes);
}

bool authorised(struct MHD_Connection *conn) {
    if (!srv.cfg.auth) return true;
    char *pass = nullptr;
    char *user = MHD_basic_auth_get_username_password(conn, &pass);
    // Both parts are compared whatever the first gives, so the time tells nothing about it. The
    // decoded credentials are C strings: one with a NUL inside is shorter than what was sent,
    // and the decoder's own length check (below) refuses it.
    const bool user_ok = user != nullptr && same_secret(user, srv.cfg.user);
    const bool pass_ok = pass != nullptr && same_secret(pass, srv.cfg.password);
    bool whole = false;
    if (user_ok && pass_ok) {
        // The Authorization value must decode to exactly "user:password".
        const char *h =
            MHD_lookup_connection_value(conn, MHD_HEADER_KIND, MHD_HTTP_HEADER_AUTHORIZATION);
        if (h != nullptr && strncasecmp(h, "Basic ", 6) == 0) {
            size_t n = 0;
            for (const char *p = h + 6; *p != '\0' && *p != ' '; p++) n++;
            const size_t pad = (n >= 1 && h[6 + n - 1] == '=') + (n >= 2 && h[6 + n - 2] == '=');
            const size_t decoded = n / 4 * 3 - pad;
            whole = n % 4 == 0 && decoded == srv.cfg.user.size() + 1 + srv.cfg.password.size();
        }
    }
    const bool ok = int(user_ok) + int(pass_ok) + int(whole) == 3;
    if (user != nullptr) MHD_free(user);
    if (pass != nullptr) MHD_free(pass);
    return ok;
}

enum MHD_Result queue_response(struct MHD_Connection *conn, Response &r, bool auth_fail,
                               const char *method, const char *url) {
    const unsigned status = r.status;
    const size_t bytes = r.text().size();
    struct MHD_Response *resp = make_response(r);
    if (resp == nullptr) return MHD_NO;
    const enum MHD_Result ret = auth_fail ? MHD_queue_basic_auth_fail_response(conn, kRealm, resp)
                                          : MHD_queue_response(conn, status, resp);
    MHD_destroy_response(resp);
    access_log(conn, method, url, status, bytes);
    return ret;
}

enum MHD_Result queue_plain(struct MHD_Connection *conn, unsigned status, const char *text,
                            bool auth_fail, const char *method, const char *url,
                            const char *retry_after = nullptr) {
    Response r;
    r.status = status;
    r.content_type = "text/plain; charset=utf-8";
    r.body = text;
    r.headers.emplace_back("Cache-Control", "no-cache");
    r.headers.emplace_back("X-Content-Type-Options", "nosniff");
    if (retry_after != nullptr) r.headers.emplace_back("Retry-After", retry_after);
    return queue_response(conn, r, auth_fail, method, url);
}

// What the request line alone shows: a NUL written as %00 anywhere, too many parameters.
void *on_uri(void *, const char *uri, struct MHD_Connection *) {
    auto *rs = new ReqState();
    if (uri == nullptr) return rs;
    const size_t n = strlen(uri);
    size_t count = 0;
    for (size_t i = 0; i < n; i++) count += uri[i] == '&';
    if (count >= kMaxParameters) {
        // The request line lies in the connection's own buffer and its query is split into
        // parameters after this call, each taking room in the connection's memory: that many
        // would leave none for the 431. The query is ended at its start, so none is kept.
        if (char *q = const_cast<char *>(strchr(uri, '?')); q != nullptr) q[1] = '\0';
        rs->refuse = 431;
        rs->why = "too many parameters\n";
        return rs;
    }
    size_t params = 0;
    for (size_t i = 0; i < n; i++) {
        if (uri[i] == '%' && i + 2 < n && uri[i + 1] == '0' && uri[i + 2] == '0') {
            rs->refuse = 400;
            rs->why = "NUL in the request\n";
        }
        if (uri[i] == '&' || uri[i] == '?') params++;
    }
    if (rs->refuse == 0 && params > kMaxParameters) {
        rs->refuse = 431;
        rs->why = "too many parameters\n";
    }
    return rs;
}

void set_in_request(struct MHD_Connection *conn, bool in) {
    const union MHD_ConnectionInfo *ci =
        MHD_get_connection_info(conn, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    if (ci == nullptr || ci->socket_context == nullptr) return;
    auto *cs = static_cast<ConnState *>(ci->socket_context);
    std::lock_guard<std::mutex> g(srv.conns_mu);
    cs->in_request = in;
    cs->since = Clock::now();
}

Response refusal(const char *text) {
    Response r;
    r.status = 503;
    r.content_type = "text/plain; charset=utf-8";
    r.body = text;
    r.headers.emplace_back("Cache-Control", "no-cache");
    r.headers.emplace_back("X-Content-Type-Options", "nosniff");
    r.headers.emplace_back("Retry-After", "1");
    return r;
}

// Hands a request that needs the store to the worker, or, beyond its address's share, holds
// its 503 back for a pause; false when stopping.
bool defer(struct MHD_Connection *conn, ReqState *rs) {
    std::lock_guard<std::mutex> g(srv.jobs_mu);
    if (srv.stopping) return false;
    int &mine = srv.expensive[rs->addr];
    if (mine >= kExpensivePerAddress) {
        rs->resp = refusal("too many requests from this address at once\n");
        rs->queued = rs->done = true;
        MHD_suspend_connection(conn);
        srv.delayed.push_back({Clock::now() + kRefusalPause, {conn, rs}});
        return true;
    }
    mine++;
    rs->queued = true;
    MHD_suspend_connection(conn);
    srv.jobs.push_back({conn, rs});
    srv.jobs_cv.notify_one();
    return true;
}

enum MHD_Result answer(struct MHD_Connection *conn, ReqState *rs, const char *url,
                       const char *method, size_t *upload_data_size) {
    if (rs->done) {
        // The worker's answer, on the polling thread again after the resume.
        return queue_response(conn, rs->resp, false, method, url);
    }
    HeaderCheck hc;
    MHD_get_connection_values_n(conn, MHD_HEADER_KIND, check_header, &hc);
    if (rs->refuse != 0) return queue_plain(conn, rs->refuse, rs->why, false, method, url);
    // Two lengths, or a length and chunks, would let the body be read two ways.
    if (hc.nul || hc.lengths > 1 || (hc.lengths > 0 && hc.chunked)) {
        return queue_plain(conn, 400, "malformed request headers\n", false, method, url);
    }
    // Requests carry no body: one announced (or arriving) is refused before it is read.
    const char *length =
        MHD_lookup_connection_value(conn, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
    if ((length != nullptr && strcmp(length, "0") != 0) || hc.chunked || *upload_data_size != 0) {
        return queue_plain(conn, 413, "request bodies are not accepted\n", false, method, url);
    }
    if (!authorised(conn)) {
        return queue_plain(conn, 401, "authentication required\n", true, method, url);
    }

    Request &req = rs->req;
    req.method = method;
    req.path = url;
    const size_t q = req.path.find('?');
    if (q != std::string::npos) req.path.resize(q);
    ArgList list{&req.args};
    MHD_get_connection_values_n(conn, MHD_GET_ARGUMENT_KIND, collect_arg, &list);
    if (list.nul) return queue_plain(conn, 400, "NUL in the request\n", false, method, url);
    const char *accept = MHD_lookup_connection_value(conn, MHD_HEADER_KIND, MHD_HTTP_HEADER_ACCEPT);
    if (accept != nullptr) req.accept = accept;
    const char *coding =
        MHD_lookup_connection_value(conn, MHD_HEADER_KIND, MHD_HTTP_HEADER_ACCEPT_ENCODING);
    if (coding != nullptr) req.accept_encoding = coding;

    Response r = handle(req);
    if (r.deferred) {
        char addr[INET6_ADDRSTRLEN + 1];
        rs->addr = client_address(conn, addr, sizeof addr);
        if (defer(conn, rs)) return MHD_YES;
        return queue_plain(conn, 503, "stopping\n", false, method, url, "1");
    }
    return queue_response(conn, r, false, method, url);
}

enum MHD_Result on_request(void *, struct MHD_Connection *conn, const char *url, const char *method,
                           const char *, const char *, size_t *upload_data_size, void **req_cls) {
    store_may_wait() = false;  // a polling thread: what needs the store goes to the worker
    auto *rs = static_cast<ReqState *>(*req_cls);
    if (rs == nullptr) *req_cls = rs = new ReqState();
    // The first call only announces the request; answering then would close the connection
    // instead of keeping it for the next request.
    if (!rs->started) {
        rs->started = true;
        srv.in_flight.fetch_add(1);
        set_in_request(conn, true);
        const char *length =
            MHD_lookup_connection_value(conn, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
        const char *chunked =
            MHD_lookup_connection_value(conn, MHD_HEADER_KIND, MHD_HTTP_HEADER_TRANSFER_ENCODING);
        if ((length == nullptr || strcmp(length, "0") == 0) && chunked == nullptr &&
            rs->refuse == 0) {
            return MHD_YES;
        }
    }
    if (rs->queued && !rs->done) return MHD_YES;  // not called while suspended; to be safe
    try {
        return answer(conn, rs, url != nullptr ? url : "", method != nullptr ? method : "",
                      upload_data_size);
    } catch (...) {
        return MHD_NO;  // the connection is closed
    }
}

void on_completed(void *, struct MHD_Connection *conn, void **req_cls,
                  enum MHD_RequestTerminationCode) {
    auto *rs = static_cast<ReqState *>(*req_cls);
    if (rs != nullptr && rs->started) {
        srv.in_flight.fetch_sub(1);
        set_in_request(conn, false);
    }
    delete rs;
    *req_cls = nullptr;
}

void on_connection(void *, struct MHD_Connection *conn, void **socket_context,
                   enum MHD_ConnectionNotificationCode code) {
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
        auto *cs = new ConnState();
        const union MHD_ConnectionInfo *ci =
            MHD_get_connection_info(conn, MHD_CONNECTION_INFO_CONNECTION_FD);
        if (ci != nullptr) cs->fd = ci->connect_fd;
        cs->since = Clock::now();
        *socket_context = cs;
        std::lock_guard<std::mutex> g(srv.conns_mu);
        srv.conns.insert(cs);
    } else if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
        auto *cs = static_cast<ConnState *>(*socket_context);
        if (cs == nullptr) return;
        {
            std::lock_guard<std::mutex> g(srv.conns_mu);
            srv.conns.erase(cs);
        }
        delete cs;
        *socket_context = nullptr;
    }
}

// The header deadline (and the pause of refusals): a connection that has not sent a whole request's
// headers within the deadline from its start (or from the end of its last answer) is cut, however
// slowly it trickles bytes. Shutting the socket down makes its polling thread see the end and close
// it.
void watch_headers() {
    const auto deadline = std::chrono::seconds(srv.cfg.header_seconds);
    for (;;) {
        // Refusals whose pause is over (all of them once stopping) go out.
        std::vector<struct MHD_Connection *> due;
        bool stopping;
        {
            std::unique_lock<std::mutex> lock(srv.jobs_mu);
            stopping = srv.stop_cv.wait_for(lock, std::chrono::milliseconds(100),
                                            [] { return srv.stopping; });
            const auto now = Clock::now();
            auto &d = srv.delayed;
            for (auto it = d.begin(); it != d.end();) {
                if (stopping || it->first <= now) {
                    due.push_back(it->second.conn);
                    it = d.erase(it);
                } else {
                    ++it;
                }
            }
        }
        for (struct MHD_Connection *c : due) MHD_resume_connection(c);
        if (stopping) return;
        const auto now = Clock::now();
        std::lock_guard<std::mutex> g(srv.conns_mu);
        for (ConnState *cs : srv.conns) {
            if (cs->in_request || cs->cut || now - cs->since < deadline) continue;
            if (cs->fd != MHD_INVALID_SOCKET) shutdown(cs->fd, SHUT_RDWR);
            cs->cut = true;
        }
    }
}

// The store worker: the one thread that waits for the store lock on behalf of the polling
// threads. Once stopping, what is still waiting gets 503.
void work() {
    for (;;) {
        Job job;
        bool stopping;
        {
            std::unique_lock<std::mutex> lock(srv.jobs_mu);
            srv.jobs_cv.wait(lock, [] { return srv.stopping || !srv.jobs.empty(); });
            if (srv.jobs.empty()) return;
            job = srv.jobs.front();
            srv.jobs.pop_front();
            stopping = srv.stopping;
        }
        ReqState *rs = job.rs;
        if (stopping) {
            rs->resp = refusal("stopping\n");
        } else {
            rs->resp = handle(rs->req);
        }
        {
            std::lock_guard<std::mutex> g(srv.jobs_mu);
            rs->done = true;
            if (--srv.expensive[rs->addr] <= 0) srv.expensive.erase(rs->addr);
        }
        MHD_resume_connection(job.conn);
    }
}

void on_mhd_error(void *, const char *fmt, va_list ap) {
    char buf[512];
    vsnprintf(buf, sizeof buf, fmt, ap);
    size_t n = strlen(buf);
    while (n > 0 && buf[n - 1] == '\n') buf[--n] = '\0';
    std::lock_guard<std::mutex> g(log_mu);
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

void stop_threads() {
    {
        std::lock_guard<std::mutex> g(srv.jobs_mu);
        srv.stopping = true;
    }
    srv.jobs_cv.notify_all();
    srv.stop_cv.notify_all();
    if (srv.worker.joinable()) srv.worker.join();
    if (srv.watch.joinable()) srv.watch.join();
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
    // A pool of polling threads that never wait for the store: what needs it goes to the store
    // worker, with the connection suspended meanwhile.
    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME |
                     MHD_USE_ERROR_LOG;
    if (tls) flags |= MHD_USE_TLS;
    if (cfg.listen.family != AF_INET) flags |= MHD_USE_IPv6;
    const unsigned threads = std::max(1u, std::min(kPollThreads, cfg.connection_limit));
    struct MHD_OptionItem opts[20];
    size_t n = 0;
    // In an option array the logger is the value and its context the pointer.
    opts[n++] = {MHD_OPTION_EXTERNAL_LOGGER, reinterpret_cast<intptr_t>(&on_mhd_error), nullptr};
    opts[n++] = {MHD_OPTION_LISTEN_SOCKET, srv.fd, nullptr};
    opts[n++] = {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&on_completed), nullptr};
    opts[n++] = {MHD_OPTION_NOTIFY_CONNECTION, reinterpret_cast<intptr_t>(&on_connection), nullptr};
    opts[n++] = {MHD_OPTION_URI_LOG_CALLBACK, reinterpret_cast<intptr_t>(&on_uri), nullptr};
    opts[n++] = {MHD_OPTION_THREAD_POOL_SIZE, threads, nullptr};
    opts[n++] = {MHD_OPTION_CONNECTION_LIMIT, cfg.connection_limit, nullptr};
    opts[n++] = {MHD_OPTION_PER_IP_CONNECTION_LIMIT, cfg.per_address_limit, nullptr};
    opts[n++] = {MHD_OPTION_CONNECTION_TIMEOUT, kIdleSeconds, nullptr};
    opts[n++] = {MHD_OPTION_CONNECTION_MEMORY_LIMIT, intptr_t(kConnectionMemory), nullptr};
    // HTTP/1.1 requests need a Host header; no space in the URL.
    opts[n++] = {MHD_OPTION_STRICT_FOR_CLIENT, 1, nullptr};
    if (tls) {
        opts[n++] = {MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char *>(srv.cfg.cert_pem.c_str())};
        opts[n++] = {MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char *>(srv.cfg.key_pem.c_str())};
        opts[n++] = {MHD_OPTION_HTTPS_PRIORITIES, 0, const_cast<char *>(kTlsPriorities)};
    }
    opts[n++] = {MHD_OPTION_END, 0, nullptr};
    srv.stopping = false;
    srv.worker = std::thread(work);
    srv.watch = std::thread(watch_headers);
    srv.daemon = MHD_start_daemon(flags, 0, nullptr, nullptr, &on_request, nullptr,
                                  MHD_OPTION_ARRAY, opts, MHD_OPTION_END);
    if (srv.daemon == nullptr) {
        stop_threads();
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
    // The polling threads take the listening socket out of their epoll sets on their own time:
    // it is closed once they have stopped.
    const MHD_socket fd = MHD_quiesce_daemon(srv.daemon);
    // Requests in flight get a few seconds to finish; idle connections are then closed.
    for (int i = 0; i < kStopSeconds * 100 && srv.in_flight.load() > 0; i++) {
        struct timespec ts = {0, 10 * 1000 * 1000};
        nanosleep(&ts, nullptr);
    }
    // What still waits for the store is answered 503 and resumed before the daemon stops.
    stop_threads();
    MHD_stop_daemon(srv.daemon);
    if (fd != MHD_INVALID_SOCKET) close(fd);
    srv.daemon = nullptr;
    srv.fd = -1;
}

void server_reload() {
    std::lock_guard<std::mutex> store(store_mutex());
    {
        std::lock_guard<std::mutex> g(log_mu);
        zel_log_term();
        zel_log_init(nullptr, 0);
        zel_log(0, ZEL_LOG_INFO, "SIGHUP: log reopened, reading the data file again");
    }
    store_reload();
}

}  // namespace statsweb
