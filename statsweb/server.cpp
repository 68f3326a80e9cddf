// SPDX-License-Identifier: Apache-2.0
// statsweb's HTTP layer on libmicrohttpd.
#include "server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <pthread.h>
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
// between the bytes of an answer, the query parameters of one request, the expensive work
// (requests that need the store or the compression of a large answer) one client address may
// have waiting or in work at once, and the polling threads.
constexpr unsigned kIdleSeconds = 10;
constexpr size_t kConnectionMemory = 32 * 1024;
constexpr size_t kMaxParameters = 256;
constexpr int kExpensivePerAddress = 8;  // more than the 6 connections of a browser
constexpr unsigned kPollThreads = 4;
constexpr int kStopSeconds = 3;
constexpr int kMaxHops = 4;  // hand-overs between the workers before a request gets 503
constexpr auto kRefusalPause = std::chrono::milliseconds(500);
constexpr auto kResumeAfter = std::chrono::milliseconds(1);
constexpr const char *kRealm = "statsweb";
// TLS 1.2 and 1.3 only, with forward-secret key exchange and AEAD ciphers.
constexpr const char *kTlsPriorities =
    "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2:-CIPHER-ALL:+AES-256-GCM:+AES-128-GCM:"
    "+CHACHA20-POLY1305:-MAC-ALL:+AEAD:-KX-ALL:+ECDHE-RSA:+ECDHE-ECDSA:%SERVER_PRECEDENCE";

using Clock = std::chrono::steady_clock;

// One connection, from its start to its close: its peer, when it began waiting for a request's
// headers (its start, then the end of each answer), and whether a request is being answered
// on it.
struct ConnState {
    MHD_socket fd = MHD_INVALID_SOCKET;
    std::string peer;
    Clock::time_point since;
    bool in_request = false;
    bool cut = false;
    // Between a request line and the handler's first call for it: the connection, and the
    // polling thread reading that request (see refuse_length).
    struct MHD_Connection *conn = nullptr;
    bool awaiting = false;
    pthread_t reader{};
};

// One request, from its request line to the end of its answer.
struct ReqState {
    bool started = false;       // the handler has seen the headers
    unsigned refuse = 0;        // 400, 431 found in the request line or headers
    const char *why = nullptr;  // the line of such a refusal
    const char *uri = nullptr;  // the request target in the connection's buffer, and its length
    size_t uri_length = 0;      // as sent (a NUL inside ends the C string earlier)
    bool queued = false;        // handed to a worker, the connection suspended
    bool done = false;          // the worker's answer is in resp
    bool forwarded = false;     // counted in the requests of a client behind a proxy
    // The polling thread is in the callback of this request, and when it suspended the
    // connection: a resume must come after the callback has returned to libmicrohttpd.
    std::atomic<bool> in_callback{false};
    Clock::time_point suspended_at;
    Request req;
    Response resp;
    std::string addr;  // client address: the peer, or the one a trusted proxy names
};

struct Job {
    struct MHD_Connection *conn;
    ReqState *rs;
};

// Requests that wait for one piece of work: the same answer (endpoint, parameters, format and
// coding), made once for all of them and counted once in the share of the address that asked
// first.
struct Group {
    std::string key;
    std::string addr;
    Work work = Work::store;
    int hops = 0;
    std::vector<Job> members;
};

struct Server {
    ServerConfig cfg;
    struct MHD_Daemon *daemon = nullptr;
    int fd = -1;
    std::string hostport;  // "127.0.0.1:9740", "[::1]:9740"
    // Requests between their headers and the end of their answer; idle keep-alive
    // connections do not count.
    std::atomic<int> in_flight{0};

    // The header deadline's watch over every open connection, and the connections per peer.
    std::mutex conns_mu;
    std::set<ConnState *> conns;
    std::map<std::string, unsigned> per_peer;
    std::thread watch;
    std::condition_variable stop_cv;  // wakes the watch when stopping

    // The workers: groups waiting for the store and for compression, in arrival order; every
    // group queued or in work by its key; how many groups each client address has started;
    // requests of clients behind proxies in flight by client address.
    std::mutex jobs_mu;
    std::condition_variable store_cv, gzip_cv;
    std::deque<Group *> store_jobs, gzip_jobs;
    std::map<std::string, Group *> groups;
    std::map<std::string, int> expensive;
    std::map<std::string, unsigned> forwarded;
    // Requests beyond their address's share: their 503 is sent after a pause (the watch
    // resumes them), so that a client retrying at once costs the server little.
    std::vector<std::pair<Clock::time_point, Job>> delayed;
    // Answers made before the callback that suspended their connection surely returned: the
    // watch resumes them a moment later (libmicrohttpd loses a connection resumed too early).
    std::vector<Job> resume_later;
    std::thread store_worker, gzip_worker;
    bool stopping = false;  // under jobs_mu; also ends the watch
};

Server srv;

// ---- request checks --------------------------------------------------------------------------

// A character of a header name (a token).
bool token_char(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

// What the header block shows, from libmicrohttpd's view of it (names and values with their
// place in the connection's buffer) and the raw bytes around them.
struct HeaderScan {
    const char *lo = nullptr, *hi = nullptr;  // the request line and headers in the buffer
    std::vector<std::pair<const char *, size_t>> spans;  // what libmicrohttpd handed on
    int headers = 0, lengths = 0, hosts = 0, forwarded_for = 0;
    bool chunked = false;
    bool length_ok = true;
    const char *bad = nullptr;
    std::string last_forwarded_for;
};

bool inside(const HeaderScan &hs, const char *p, size_t n) {
    return p >= hs.lo && p + n <= hs.hi;
}

enum MHD_Result scan_header(void *cls, enum MHD_ValueKind, const char *key, size_t key_size,
                            const char *value, size_t value_size) {
    auto *hs = static_cast<HeaderScan *>(cls);
    hs->headers++;
    if (key == nullptr || key_size == 0) {
        hs->bad = "a header without a name";
        return MHD_NO;
    }
    for (size_t i = 0; i < key_size; i++) {
        if (!token_char(static_cast<unsigned char>(key[i]))) {
            hs->bad = "a header name that is not a token";
            return MHD_NO;
        }
    }
    if (value == nullptr) value = "", value_size = 0;
    for (size_t i = 0; i < value_size; i++) {
        const unsigned char c = static_cast<unsigned char>(value[i]);
        if ((c < 0x20 && c != '\t') || c == 0x7F) {
            hs->bad = "a control character in a header";
            return MHD_NO;
        }
    }
    // A name or value built outside the buffer was joined from folded lines.
    if (!inside(*hs, key, key_size) || (value_size > 0 && !inside(*hs, value, value_size))) {
        hs->bad = "a folded header line";
        return MHD_NO;
    }
    hs->spans.emplace_back(key, key_size);
    hs->spans.emplace_back(value, value_size);
    const std::string_view name(key, key_size);
    auto is = [&](const char *n) {
        return name.size() == strlen(n) && strncasecmp(key, n, name.size()) == 0;
    };
    if (is(MHD_HTTP_HEADER_CONTENT_LENGTH)) {
        hs->lengths++;
        hs->length_ok = hs->length_ok && value_size > 0 &&
                        strspn(value, "0123456789") == value_size && value_size <= 18;
    } else if (is(MHD_HTTP_HEADER_TRANSFER_ENCODING)) {
        hs->chunked = true;
    } else if (is(MHD_HTTP_HEADER_HOST)) {
        hs->hosts++;
    } else if (is("X-Forwarded-For")) {
        hs->forwarded_for++;
        hs->last_forwarded_for.assign(value, value_size);
    }
    return MHD_YES;
}

// Every byte of the request line and headers is either part of what libmicrohttpd handed on,
// or one it wrote over (a NUL for a line end, a colon, a space of the request line), or
// white space: else libmicrohttpd cut a name or value at a NUL, or ended the block at a line
// it could not read.
const char *hidden_bytes(const HeaderScan &hs) {
    size_t nuls = 0;
    std::vector<bool> covered(size_t(hs.hi - hs.lo), false);
    for (const auto &[p, n] : hs.spans) {
        for (size_t i = 0; i < n; i++) covered[size_t(p - hs.lo) + i] = true;
    }
    for (size_t i = 0; i < covered.size(); i++) {
        if (covered[i]) continue;
        const char c = hs.lo[i];
        if (c == '\0') {
            nuls++;
        } else if (c != ' ' && c != '\t' && c != '\r' && c != '\n') {
            return "bytes hidden behind a NUL, or a line that is not a header";
        }
    }
    // Two spaces and the end of the request line, a colon and a line end per header, the
    // empty line: each at most two bytes.
    if (nuls > 2 + 2 + size_t(hs.headers) * 3 + 2) return "a NUL in the request";
    return nullptr;
}

// The request line and headers as the handler needs them; the reason for a 400 otherwise.
const char *check_headers(struct MHD_Connection *conn, ReqState *rs, const char *method,
                          const char *url, const char *version, HeaderScan &hs) {
    if (rs->uri == nullptr || url != rs->uri || version == nullptr) return "malformed request";
    // The target as sent ends where the version starts: a raw NUL made the C string shorter.
    if (version != rs->uri + rs->uri_length + 1) return "a NUL in the request";
    const union MHD_ConnectionInfo *ci =
        MHD_get_connection_info(conn, MHD_CONNECTION_INFO_REQUEST_HEADER_SIZE);
    if (ci == nullptr || method == nullptr || version < method) return "malformed request";
    hs.lo = method;
    hs.hi = method + ci->header_size;
    if (!inside(hs, version, strlen(version))) return "malformed request";
    hs.spans.emplace_back(method, strlen(method));
    hs.spans.emplace_back(rs->uri, size_t(version - rs->uri));  // the query is decoded in place
    hs.spans.emplace_back(version, strlen(version));
    MHD_get_connection_values_n(conn, MHD_HEADER_KIND, scan_header, &hs);
    if (hs.bad != nullptr) return hs.bad;
    if (const char *hidden = hidden_bytes(hs)) return hidden;
    // Two lengths, or a length and chunks, would let the body be read two ways.
    if (hs.lengths > 1 || (hs.lengths > 0 && hs.chunked) || !hs.length_ok) {
        return "malformed request headers";
    }
    if (hs.hosts > 1) return "more than one Host header";
    if (hs.hosts == 0 && strcmp(version, MHD_HTTP_VERSION_1_1) == 0) {
        return "an HTTP/1.1 request without Host";
    }
    return nullptr;
}

ConnState *conn_state(struct MHD_Connection *conn) {
    const union MHD_ConnectionInfo *ci =
        MHD_get_connection_info(conn, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return ci != nullptr ? static_cast<ConnState *>(ci->socket_context) : nullptr;
}

// Marks the request of a connection as read by this thread and not yet handed to the handler
// (from its request line to the handler's first call or its end).
void set_awaiting(struct MHD_Connection *conn, bool awaiting) {
    ConnState *cs = conn != nullptr ? conn_state(conn) : nullptr;
    if (cs == nullptr) return;
    std::lock_guard<std::mutex> g(srv.conns_mu);
    cs->conn = conn;
    cs->awaiting = awaiting;
    cs->reader = pthread_self();
}

// What the request line alone shows, before libmicrohttpd splits the query: a control
// character, a NUL written as %00, too many parameters. Empty parameters ("&&") are dropped in
// place, so that only real ones count and take room.
void *on_uri(void *, const char *uri, struct MHD_Connection *conn) {
    set_awaiting(conn, true);
    auto *rs = new ReqState();
    if (uri == nullptr) return rs;
    const size_t n = strlen(uri);
    rs->uri = uri;
    rs->uri_length = n;
    for (size_t i = 0; i < n; i++) {
        const unsigned char c = static_cast<unsigned char>(uri[i]);
        if (c <= 0x20 || c == 0x7F ||
            (c == '%' && i + 2 < n && uri[i + 1] == '0' && uri[i + 2] == '0')) {
            rs->refuse = 400;
            rs->why = c == '%' ? "NUL in the request\n" : "a control character in the request\n";
            return rs;
        }
    }
    char *q = const_cast<char *>(strchr(uri, '?'));
    if (q == nullptr) return rs;
    char *out = q + 1;
    size_t params = 0;
    bool fresh = true;  // at the start of a parameter
    for (const char *p = q + 1; *p != '\0'; p++) {
        if (*p == '&') {
            if (!fresh) *out++ = '&';
            fresh = true;
            continue;
        }
        if (fresh) params++;
        fresh = false;
        *out++ = *p;
    }
    if (out > q + 1 && out[-1] == '&') out--;
    *out = '\0';
    if (params >= kMaxParameters) {
        // Each parameter would take room in the connection's memory, leaving none for the 431:
        // the query is ended at its start, so none is kept.
        q[1] = '\0';
        rs->refuse = 431;
        rs->why = "too many parameters\n";
    }
    return rs;
}

// ---- answers ---------------------------------------------------------------------------------

void free_shared(void *cls) {
    delete static_cast<Shared *>(cls);
}

struct MHD_Response *make_response(Response &r) {
    // Every body goes out from a counted buffer; this connection holds a reference until it is
    // done.
    if (!r.shared) r.shared = counted(std::move(r.body));
    auto *ref = new Shared(std::move(r.shared));
    struct MHD_Response *resp = MHD_create_response_from_buffer_with_free_callback_cls(
        (*ref)->size(), const_cast<char *>((*ref)->data()), free_shared, ref);
    if (resp == nullptr) {
        delete ref;
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

std::string address_text(const struct sockaddr *sa) {
    char buf[INET6_ADDRSTRLEN + 1] = "";
    if (sa == nullptr) return "-";
    if (sa->sa_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(sa)->sin_addr, buf, sizeof buf);
    } else if (sa->sa_family == AF_INET6) {
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 *>(sa)->sin6_addr, buf,
                  sizeof buf);
    }
    return buf[0] != '\0' ? buf : "-";
}

std::string peer_address(struct MHD_Connection *conn) {
    const union MHD_ConnectionInfo *ci =
        MHD_get_connection_info(conn, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    return address_text(ci != nullptr ? ci->client_addr : nullptr);
}

// The client named by the last address of X-Forwarded-For, as the proxy that sent it
// appended it; "" when it is not an address.
std::string last_hop(std::string_view header) {
    const size_t comma = header.rfind(',');
    if (comma != header.npos) header.remove_prefix(comma + 1);
    while (!header.empty() && (header.front() == ' ' || header.front() == '\t')) {
        header.remove_prefix(1);
    }
    while (!header.empty() && (header.back() == ' ' || header.back() == '\t')) {
        header.remove_suffix(1);
    }
    const std::string text(header);
    unsigned char a[16];
    if (inet_pton(AF_INET, text.c_str(), a) == 1 || inet_pton(AF_INET6, text.c_str(), a) == 1) {
        return text;
    }
    return "";
}

bool trusted(const std::string &peer) {
    for (const std::string &p : srv.cfg.trusted_proxies) {
        if (p == peer) return true;
    }
    return false;
}

void access_log(const ReqState *rs, const char *method, const char *url, unsigned status,
                size_t bytes) {
    if (!srv.cfg.verbose) return;
    // Method and path come from the client: control characters are not written to the log.
    std::string line = method;
    line += ' ';
    line.append(url, strnlen(url, 512));
    for (char &c : line) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F || c == '"') c = '?';
    }
    web_log(ZEL_LOG_INFO, "%s \"%s\" %u %zu", rs != nullptr ? rs->addr.c_str() : "-", line.c_str(),
            status, bytes);
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

enum MHD_Result queue_response(struct MHD_Connection *conn, const ReqState *rs, Response &r,
                               bool auth_fail, const char *method, const char *url) {
    if (!r.shared && r.body.size() > kConnectionMemory && !budget_fits(r.body.size())) {
        r = Response();
        r.status = 503;
        r.content_type = "text/plain; charset=utf-8";
        r.body = "busy: too many large answers in flight, try again\n";
        r.headers.emplace_back("Retry-After", "1");
        common_headers(r);
    }
    const unsigned status = r.status;
    const size_t bytes = r.text().size();
    struct MHD_Response *resp = make_response(r);
    if (resp == nullptr) return MHD_NO;
    const enum MHD_Result ret = auth_fail ? MHD_queue_basic_auth_fail_response(conn, kRealm, resp)
                                          : MHD_queue_response(conn, status, resp);
    MHD_destroy_response(resp);
    access_log(rs, method, url, status, bytes);
    return ret;
}

// A short plain answer of the server layer; close: the connection is closed after it (what
// follows on it cannot be trusted to start a request).
enum MHD_Result queue_plain(struct MHD_Connection *conn, const ReqState *rs, unsigned status,
                            const char *text, bool auth_fail, const char *method, const char *url,
                            bool close = false, const char *retry_after = nullptr) {
    Response r;
    r.status = status;
    r.content_type = "text/plain; charset=utf-8";
    r.body = text;
    common_headers(r);
    if (retry_after != nullptr) r.headers.emplace_back("Retry-After", retry_after);
    if (close) r.headers.emplace_back(MHD_HTTP_HEADER_CONNECTION, "close");
    return queue_response(conn, rs, r, auth_fail, method, url);
}

void set_in_request(struct MHD_Connection *conn, bool in) {
    ConnState *cs = conn_state(conn);
    if (cs == nullptr) return;
    std::lock_guard<std::mutex> g(srv.conns_mu);
    cs->in_request = in;
    cs->since = Clock::now();
}

Response refusal(const char *text) {
    Response r;
    r.status = 503;
    r.content_type = "text/plain; charset=utf-8";
    r.body = text;
    common_headers(r);
    r.headers.emplace_back("Retry-After", "1");
    return r;
}

// What makes two requests the same piece of work: everything the handler reads.
std::string work_key(const Request &req) {
    std::string key = req.path;
    for (const auto &a : req.args) {
        key += '\n';
        key += a.first;
        key += '=';
        key += a.second;
    }
    key += "\n\n";
    key += req.accept;
    key += '\n';
    key += req.accept_encoding;
    return key;
}

std::deque<Group *> &queue_of(Work w) {
    return w == Work::gzip ? srv.gzip_jobs : srv.store_jobs;
}

// Hands a request to the worker of its work: beside an identical one already waiting or in
// work, or as a new group within its address's share; beyond the share its 503 is held back
// for a pause. False when stopping. With the connection suspended meanwhile.
bool defer(struct MHD_Connection *conn, ReqState *rs, Work work) {
    std::lock_guard<std::mutex> g(srv.jobs_mu);
    if (srv.stopping) return false;
    std::string key = work_key(rs->req);
    rs->queued = true;
    rs->suspended_at = Clock::now();
    if (auto it = srv.groups.find(key); it != srv.groups.end()) {
        MHD_suspend_connection(conn);
        it->second->members.push_back({conn, rs});
        return true;
    }
    int &mine = srv.expensive[rs->addr];
    if (mine >= kExpensivePerAddress) {
        rs->resp = refusal("too many expensive requests from this address\n");
        rs->done = true;
        MHD_suspend_connection(conn);
        srv.delayed.push_back({Clock::now() + kRefusalPause, {conn, rs}});
        return true;
    }
    mine++;
    auto *group = new Group{key, rs->addr, work, 0, {{conn, rs}}};
    srv.groups.emplace(std::move(key), group);
    MHD_suspend_connection(conn);
    queue_of(work).push_back(group);
    (work == Work::gzip ? srv.gzip_cv : srv.store_cv).notify_one();
    return true;
}

// A client behind a trusted proxy: the per-address limit counts its requests in flight.
bool count_forwarded(ReqState *rs) {
    std::lock_guard<std::mutex> g(srv.jobs_mu);
    unsigned &n = srv.forwarded[rs->addr];
    if (n >= srv.cfg.per_address_limit) {
        if (n == 0) srv.forwarded.erase(rs->addr);
        return false;
    }
    n++;
    rs->forwarded = true;
    return true;
}

void uncount_forwarded(ReqState *rs) {
    if (!rs->forwarded) return;
    std::lock_guard<std::mutex> g(srv.jobs_mu);
    if (--srv.forwarded[rs->addr] == 0) srv.forwarded.erase(rs->addr);
    rs->forwarded = false;
}

enum MHD_Result answer(struct MHD_Connection *conn, ReqState *rs, const char *url,
                       const char *method, size_t *upload_data_size) {
    if (rs->done) {
        // The worker's answer, on the polling thread again after the resume.
        return queue_response(conn, rs, rs->resp, false, method, url);
    }
    if (rs->refuse != 0) {
        const std::string why = std::string(rs->why) + (strchr(rs->why, '\n') ? "" : "\n");
        return queue_plain(conn, rs, rs->refuse, why.c_str(), false, method, url, true);
    }
    // Requests carry no body: one announced (or arriving) is refused before it is read.
    const char *length =
        MHD_lookup_connection_value(conn, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
    const char *chunked =
        MHD_lookup_connection_value(conn, MHD_HEADER_KIND, MHD_HTTP_HEADER_TRANSFER_ENCODING);
    if ((length != nullptr && strcmp(length, "0") != 0) || chunked != nullptr ||
        *upload_data_size != 0) {
        return queue_plain(conn, rs, 413, "request bodies are not accepted\n", false, method, url,
                           true);
    }
    if (!authorised(conn)) {
        return queue_plain(conn, rs, 401, "authentication required\n", true, method, url);
    }

    Request &req = rs->req;
    req.method = method;
    req.path = url;
    const size_t q = req.path.find('?');
    if (q != std::string::npos) req.path.resize(q);
    MHD_get_connection_values_n(
        conn, MHD_GET_ARGUMENT_KIND,
        [](void *cls, enum MHD_ValueKind, const char *key, size_t key_size, const char *value,
           size_t value_size) {
            static_cast<Request *>(cls)->args.emplace_back(
                key != nullptr ? std::string(key, key_size) : std::string(),
                value != nullptr ? std::string(value, value_size) : std::string());
            return MHD_YES;
        },
        &req);
    const char *accept = MHD_lookup_connection_value(conn, MHD_HEADER_KIND, MHD_HTTP_HEADER_ACCEPT);
    if (accept != nullptr) req.accept = accept;
    const char *coding =
        MHD_lookup_connection_value(conn, MHD_HEADER_KIND, MHD_HTTP_HEADER_ACCEPT_ENCODING);
    if (coding != nullptr) req.accept_encoding = coding;

    Response r = handle(req);
    if (r.deferred != Work::none) {
        if (defer(conn, rs, r.deferred)) return MHD_YES;
        return queue_plain(conn, rs, 503, "stopping\n", false, method, url, true, "1");
    }
    return queue_response(conn, rs, r, false, method, url);
}

// The first call of a request: its checks, its client address. Returns the reason to refuse
// it, or null.
void start_request(struct MHD_Connection *conn, ReqState *rs, const char *url, const char *method,
                   const char *version) {
    rs->started = true;
    srv.in_flight.fetch_add(1);
    set_in_request(conn, true);
    const std::string peer = peer_address(conn);
    rs->addr = peer;
    if (rs->refuse != 0) return;
    HeaderScan hs;
    if (const char *why = check_headers(conn, rs, method, url, version, hs)) {
        rs->refuse = 400;
        rs->why = why;
        return;
    }
    if (hs.forwarded_for > 0 && trusted(peer)) {
        const std::string client = last_hop(hs.last_forwarded_for);
        if (client.empty()) {
            rs->refuse = 400;
            rs->why = "X-Forwarded-For does not end with an address";
            return;
        }
        rs->addr = client;
        if (!count_forwarded(rs)) {
            rs->refuse = 503;
            rs->why = "too many connections from this address\n";
        }
    }
}

enum MHD_Result on_request(void *, struct MHD_Connection *conn, const char *url, const char *method,
                           const char *version, const char *, size_t *upload_data_size,
                           void **req_cls) {
    set_thread_role(ThreadRole::polling);
    auto *rs = static_cast<ReqState *>(*req_cls);
    if (rs == nullptr) *req_cls = rs = new ReqState();
    struct InCallback {
        ReqState *rs;
        ~InCallback() { rs->in_callback.store(false); }
    } in_callback{rs};
    rs->in_callback.store(true);
    // The first call only announces the request; answering then would close the connection
    // instead of keeping it for the next request, which a request with a body or a refusal
    // needs.
    if (!rs->started) {
        set_awaiting(conn, false);
        start_request(conn, rs, url, method, version);
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
    set_awaiting(conn, false);
    auto *rs = static_cast<ReqState *>(*req_cls);
    if (rs != nullptr && rs->started) {
        srv.in_flight.fetch_sub(1);
        set_in_request(conn, false);
        uncount_forwarded(rs);
    }
    delete rs;
    *req_cls = nullptr;
}

// Connections from one peer beyond -P are cut at once (trusted proxies count against -C only:
// their clients are limited by their requests).
void on_connection(void *, struct MHD_Connection *conn, void **socket_context,
                   enum MHD_ConnectionNotificationCode code) {
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
        auto *cs = new ConnState();
        const union MHD_ConnectionInfo *ci =
            MHD_get_connection_info(conn, MHD_CONNECTION_INFO_CONNECTION_FD);
        if (ci != nullptr) cs->fd = ci->connect_fd;
        cs->peer = peer_address(conn);
        cs->since = Clock::now();
        *socket_context = cs;
        std::lock_guard<std::mutex> g(srv.conns_mu);
        srv.conns.insert(cs);
        if (++srv.per_peer[cs->peer] > srv.cfg.per_address_limit && !trusted(cs->peer)) {
            if (cs->fd != MHD_INVALID_SOCKET) shutdown(cs->fd, SHUT_RDWR);
            cs->cut = true;
        }
    } else if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
        auto *cs = static_cast<ConnState *>(*socket_context);
        if (cs == nullptr) return;
        {
            std::lock_guard<std::mutex> g(srv.conns_mu);
            srv.conns.erase(cs);
            if (--srv.per_peer[cs->peer] == 0) srv.per_peer.erase(cs->peer);
        }
        delete cs;
        *socket_context = nullptr;
    }
}

// The header deadline (and the pause of refusals): a connection that has not sent a whole
// request's headers within the deadline from its start (or from the end of its last answer) is
// cut, however slowly it trickles bytes. Shutting the socket down makes its polling thread see
// the end and close it.
void watch_headers() {
    const auto deadline = std::chrono::seconds(srv.cfg.header_seconds);
    for (;;) {
        // Refusals whose pause is over (all of them once stopping) go out.
        std::vector<struct MHD_Connection *> due;
        bool stopping;
        {
            std::unique_lock<std::mutex> lock(srv.jobs_mu);
            if (!srv.stopping) {
                srv.stop_cv.wait_for(
                    lock, srv.resume_later.empty() ? std::chrono::milliseconds(100) : kResumeAfter);
            }
            stopping = srv.stopping;
            const auto now = Clock::now();
            for (auto it = srv.resume_later.begin(); it != srv.resume_later.end();) {
                if (stopping ||
                    (!it->rs->in_callback.load() && now - it->rs->suspended_at >= kResumeAfter)) {
                    due.push_back(it->conn);
                    it = srv.resume_later.erase(it);
                } else {
                    ++it;
                }
            }
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

// Resumes a suspended connection whose answer is ready, now or (too soon after its suspension)
// from the watch.
void resume(const Job &j) {
    if (!j.rs->in_callback.load() && Clock::now() - j.rs->suspended_at >= kResumeAfter) {
        MHD_resume_connection(j.conn);
        return;
    }
    {
        std::lock_guard<std::mutex> g(srv.jobs_mu);
        srv.resume_later.push_back(j);
    }
    srv.stop_cv.notify_all();
}

// One worker: the store worker waits for the store lock on behalf of the polling threads, the
// gzip worker compresses large kept answers. A group's answer is made once and given to every
// request of the group; work of another kind goes on to the other worker. Once stopping, what
// is still waiting gets 503.
void work(Work kind) {
    set_thread_role(kind == Work::gzip ? ThreadRole::gzip_worker : ThreadRole::store_worker);
    std::condition_variable &cv = kind == Work::gzip ? srv.gzip_cv : srv.store_cv;
    std::deque<Group *> &jobs = queue_of(kind);
    for (;;) {
        Group *group;
        const ReqState *first;  // suspended, so alive; members grows under jobs_mu meanwhile
        bool stopping;
        {
            std::unique_lock<std::mutex> lock(srv.jobs_mu);
            cv.wait(lock, [&] { return srv.stopping || !jobs.empty(); });
            if (jobs.empty()) return;
            group = jobs.front();
            jobs.pop_front();
            first = group->members.front().rs;
            stopping = srv.stopping;
        }
        Response r = stopping ? refusal("stopping\n") : handle(first->req);
        if (r.deferred != Work::none) {
            std::lock_guard<std::mutex> g(srv.jobs_mu);
            if (++group->hops <= kMaxHops && !srv.stopping) {
                group->work = r.deferred;
                queue_of(r.deferred).push_back(group);
                (r.deferred == Work::gzip ? srv.gzip_cv : srv.store_cv).notify_one();
                continue;
            }
            r = refusal("busy, try again\n");
        }
        // One buffer for every request of the group.
        if (!r.shared) r.shared = counted(std::move(r.body));
        std::vector<Job> members;
        {
            std::lock_guard<std::mutex> g(srv.jobs_mu);
            srv.groups.erase(group->key);
            if (--srv.expensive[group->addr] <= 0) srv.expensive.erase(group->addr);
            members.swap(group->members);
            for (const Job &j : members) {
                j.rs->resp = r;
                j.rs->done = true;
            }
        }
        delete group;
        for (const Job &j : members) resume(j);
    }
}

// libmicrohttpd 0.9.75 checks Content-Length itself, before any callback sees the headers, and
// answers a value that is not a number (400) or too large (413) with its status line and
// headers written twice, so that a client reads the second block as the body. It logs the
// refusal first, on the polling thread that reads the request, while that request is the only
// one of the thread between its headers and the handler. Found so, the connection gets the
// server's one answer and its sending side is shut: the library's own answer then fails to go
// out and it closes the connection. Anything less certain (no such connection, more than one,
// TLS, a short write) leaves the library's answer as it is.
void refuse_length(unsigned status) {
    if (!srv.cfg.cert_pem.empty()) return;
    ConnState *found = nullptr;
    std::lock_guard<std::mutex> g(srv.conns_mu);
    const pthread_t self = pthread_self();
    for (ConnState *cs : srv.conns) {
        if (!cs->awaiting || cs->conn == nullptr || !pthread_equal(cs->reader, self)) continue;
        if (MHD_get_connection_info(cs->conn, MHD_CONNECTION_INFO_REQUEST_HEADER_SIZE) == nullptr) {
            continue;  // its headers are still coming
        }
        if (found != nullptr) return;
        found = cs;
    }
    if (found == nullptr || found->fd == MHD_INVALID_SOCKET || found->cut) return;
    const std::string body =
        status == 413 ? "request bodies are not accepted\n" : "malformed request headers\n";
    char date[64] = "";
    const time_t now = time(nullptr);
    struct tm tm;
    if (gmtime_r(&now, &tm) != nullptr)
        strftime(date, sizeof date, "%a, %d %b %Y %H:%M:%S GMT", &tm);
    std::string answer =
        std::string(status == 413 ? "HTTP/1.1 413 Content Too Large" : "HTTP/1.1 400 Bad Request") +
        "\r\nDate: " + date + "\r\nConnection: close\r\nContent-Type: text/plain; charset=utf-8";
    Response common;
    common_headers(common);
    for (const auto &[name, value] : common.headers) answer += "\r\n" + name + ": " + value;
    answer += "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    const ssize_t sent = send(found->fd, answer.data(), answer.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent != ssize_t(answer.size())) {
        if (sent > 0) {  // cut short: nothing more may follow it
            shutdown(found->fd, SHUT_RDWR);
            found->cut = true;
        }
        return;
    }
    shutdown(found->fd, SHUT_WR);
    found->awaiting = false;
    found->cut = true;
}

void on_mhd_error(void *, const char *fmt, va_list ap) {
    // The library's format strings of its Content-Length refusals (they take no arguments).
    if (strcmp(fmt, "Too large value of 'Content-Length' header. Closing connection.\n") == 0) {
        refuse_length(413);
    } else if (strcmp(fmt, "Failed to parse `Content-Length' header. Closing connection.\n") == 0) {
        refuse_length(400);
    }
    char buf[512];
    vsnprintf(buf, sizeof buf, fmt, ap);
    size_t n = strlen(buf);
    while (n > 0 && buf[n - 1] == '\n') buf[--n] = '\0';
    web_log(ZEL_LOG_NOTICE, "http: %s", buf);
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
    srv.store_cv.notify_all();
    srv.gzip_cv.notify_all();
    srv.stop_cv.notify_all();
    if (srv.store_worker.joinable()) srv.store_worker.join();
    if (srv.gzip_worker.joinable()) srv.gzip_worker.join();
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
    opts[n++] = {MHD_OPTION_THREAD_POOL_SIZE, intptr_t(threads), nullptr};
    opts[n++] = {MHD_OPTION_CONNECTION_LIMIT, intptr_t(cfg.connection_limit), nullptr};
    // Idle keep-alive connections wait for their next request up to the header deadline (the
    // watch cuts them then); one silent while answered is closed after kIdleSeconds, or the
    // deadline when it is longer. (Changing a connection's timeout from the callbacks could
    // take a lock of libmicrohttpd that it holds while calling them.)
    opts[n++] = {MHD_OPTION_CONNECTION_TIMEOUT,
                 intptr_t(std::max(kIdleSeconds, cfg.header_seconds + 1)), nullptr};
    opts[n++] = {MHD_OPTION_CONNECTION_MEMORY_LIMIT, intptr_t(kConnectionMemory), nullptr};
    // The Host header, spaces and control bytes in the request line, lengths and the rest are
    // checked by check_headers(), which answers 400 and closes the connection; libmicrohttpd's
    // own strict mode answers some of them itself, with its status line twice.
    opts[n++] = {MHD_OPTION_STRICT_FOR_CLIENT, 0, nullptr};
    if (tls) {
        opts[n++] = {MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char *>(srv.cfg.cert_pem.c_str())};
        opts[n++] = {MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char *>(srv.cfg.key_pem.c_str())};
        opts[n++] = {MHD_OPTION_HTTPS_PRIORITIES, 0, const_cast<char *>(kTlsPriorities)};
    }
    opts[n++] = {MHD_OPTION_END, 0, nullptr};
    srv.stopping = false;
    srv.store_worker = std::thread(work, Work::store);
    srv.gzip_worker = std::thread(work, Work::gzip);
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
    web_log(ZEL_LOG_INFO, "listening on %s://%s/", tls ? "https" : "http", hostport.c_str());
    return 0;
}

void server_stop() {
    if (srv.daemon == nullptr) return;
    // The polling threads take the listening socket out of their epoll sets on their own time;
    // shut down it stops listening at once (new connections are refused, not reset later), and
    // it is closed once they have stopped.
    const MHD_socket fd = MHD_quiesce_daemon(srv.daemon);
    if (fd != MHD_INVALID_SOCKET) shutdown(fd, SHUT_RDWR);
    // Requests in flight get a few seconds to finish; idle connections are then closed.
    for (int i = 0; i < kStopSeconds * 100 && srv.in_flight.load() > 0; i++) {
        struct timespec ts = {0, 10 * 1000 * 1000};
        nanosleep(&ts, nullptr);
    }
    // What still waits for a worker is answered 503 and resumed before the daemon stops.
    stop_threads();
    MHD_stop_daemon(srv.daemon);
    if (fd != MHD_INVALID_SOCKET) close(fd);
    srv.daemon = nullptr;
    srv.fd = -1;
}

void server_reload() {
    std::lock_guard<std::mutex> store(store_mutex());
    web_log(ZEL_LOG_INFO, "SIGHUP: reading the data file again");
    store_reload();
}

}  // namespace statsweb
