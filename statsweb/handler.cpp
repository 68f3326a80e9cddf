// SPDX-License-Identifier: Apache-2.0
// statsweb's router: one small function per endpoint, each answering from the charts store
// through the same writers and queries that statsdump uses.
#include "handler.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>

#include "assets.h"
#include "charts.h"
#include "encoding.h"
#include "legend.h"
#include "metrics.h"
#include "settings.h"
#include "statsdump.h"
#include "store.h"
#include "store_lock.h"
#include "text.h"
#include "views.h"

namespace statsweb {

namespace {

constexpr const char *kTextPlain = "text/plain; charset=utf-8";
constexpr const char *kPrometheusText = "text/plain; version=0.0.4; charset=utf-8";
constexpr const char *kOpenMetrics = "application/openmetrics-text; version=1.0.0; charset=utf-8";

// Text answers from this size on go out compressed to clients that take gzip: the ones kept for
// a load at zlib's default level, made once; the others at its fastest, for every request. A
// kept answer larger than kGzipInline is compressed on the gzip worker only (the largest take
// seconds), a smaller one wherever it is asked for.
constexpr size_t kGzipLeast = 1024;
constexpr size_t kGzipInline = 256 << 10;
constexpr int kKeptLevel = 6;
constexpr int kLiveLevel = 1;

// The answer cache of one load: at most kCacheCount answers, and of the memory budget at most
// a half for kept answers, a quarter for one of them.
constexpr size_t kCacheCount = 128;

std::atomic<size_t> used_bytes{0};

}  // namespace

Shared counted(std::string bytes) {
    const size_t n = bytes.size();
    used_bytes.fetch_add(n);
    return Shared(new std::string(std::move(bytes)), [n](const std::string *p) {
        used_bytes.fetch_sub(n);
        delete p;
    });
}

size_t budget_used() {
    return used_bytes.load();
}

bool budget_fits(size_t more) {
    return used_bytes.load() + more <= settings().budget_bytes;
}

void common_headers(Response &r) {
    r.headers.emplace_back("Cache-Control", "no-cache");
    r.headers.emplace_back("X-Content-Type-Options", "nosniff");
}

namespace {

// One answer kept for a load, by a key of what was asked (endpoint and parameters), with its
// gzip form once a client has taken it.
struct Kept {
    std::string key;
    std::string content_type;
    Shared plain, gz;
    std::function<std::string(const std::string &)> make_gz;  // see Made::gzip
};

// What one load of the data file gives, kept until the next load; under cache_mu (held
// briefly, never while the store works or an answer is compressed), so that kept answers go
// out without the store lock. Newest first.
struct AnswerCache {
    uint64_t generation = 0;
    std::list<Kept> answers;
    size_t bytes = 0;
    // The largest answer made by endpoint: what the next one is expected to need.
    std::map<std::string, size_t> largest;
};

std::mutex cache_mu;
AnswerCache cache;

size_t kept_size(const Kept &k) {
    return k.plain->size() + (k.gz ? k.gz->size() : 0);
}

// With cache_mu held: forgets what an older load gave; false when generation is not the newest
// load (a request that saw the file before a reload by another thread).
bool sync_cache(uint64_t generation) {
    if (generation > cache.generation) {
        cache.answers.clear();
        cache.bytes = 0;
        cache.generation = generation;
    }
    return cache.generation == generation;
}

// With cache_mu held: the kept answer of a key of this load, moved to the front, or null.
Kept *find_kept(uint64_t generation, const std::string &key) {
    if (!sync_cache(generation)) return nullptr;
    for (auto it = cache.answers.begin(); it != cache.answers.end(); ++it) {
        if (it->key == key) {
            cache.answers.splice(cache.answers.begin(), cache.answers, it);
            return &cache.answers.front();
        }
    }
    return nullptr;
}

// With cache_mu held: drops the oldest answers until the cache is within its bounds and
// `more` bytes fit in the budget, or until nothing is left to drop.
void trim_cache(size_t more) {
    const size_t budget = settings().budget_bytes;
    while (!cache.answers.empty() &&
           (cache.answers.size() > kCacheCount || cache.bytes > budget / 2 ||
            used_bytes.load() + more > budget)) {
        cache.bytes -= kept_size(cache.answers.back());
        cache.answers.pop_back();
    }
}

void keep(uint64_t generation, const Kept &k) {
    if (k.plain->size() > settings().budget_bytes / 4) return;
    std::lock_guard<std::mutex> g(cache_mu);
    if (!sync_cache(generation) || find_kept(generation, k.key) != nullptr) return;
    cache.answers.push_front(k);
    cache.bytes += k.plain->size();
    trim_cache(0);
}

// 503 for an answer that would take the memory of answers beyond the budget.
Response over_budget() {
    Response r = text_response(503, "busy: too many large answers in flight, try again\n");
    r.headers.emplace_back("Retry-After", "1");
    return r;
}

bool compressible(std::string_view content_type) {
    return content_type.starts_with("text/") || content_type.starts_with("application/json") ||
           content_type.starts_with("application/openmetrics-text");
}

// A kept answer as it goes out: its gzip form for a client that takes it, made once, here when
// it is small or this thread may compress a large one (else the request is deferred to the
// gzip worker), and kept beside the answer.
Response send_kept(const Request &req, uint64_t generation, Kept k) {
    if (k.plain->size() < kGzipLeast || !compressible(k.content_type) ||
        !accepts_gzip(req.accept_encoding)) {
        return ok_shared(k.content_type, k.plain);
    }
    if (!k.gz) {
        if (k.plain->size() > kGzipInline && !may_compress_large()) return deferred(Work::gzip);
        std::string gz = k.make_gz ? k.make_gz(*k.plain) : std::string();
        k.gz = counted(gz.empty() ? gzip(*k.plain, kKeptLevel) : std::move(gz));
        std::lock_guard<std::mutex> g(cache_mu);
        if (Kept *in = find_kept(generation, k.key); in != nullptr && in->plain == k.plain) {
            if (!in->gz) {
                in->gz = k.gz;
                cache.bytes += k.gz->size();
                trim_cache(0);
            } else {
                k.gz = in->gz;
            }
        }
    }
    if (k.gz->empty()) return ok_shared(k.content_type, k.plain);
    Response r = ok_shared(k.content_type, k.gz);
    r.headers.emplace_back("Content-Encoding", "gzip");
    return r;
}

// A kept answer of a key of this generation, copied out of the cache; false when there is none.
bool find_copy(uint64_t generation, const std::string &key, Kept &out) {
    std::lock_guard<std::mutex> g(cache_mu);
    const Kept *k = find_kept(generation, key);
    if (k == nullptr) return false;
    out = *k;
    return true;
}

// Compresses a text answer of kGzipLeast bytes or more that is not compressed yet, when the
// client takes gzip. Every text answer names Accept-Encoding in Vary, compressed or not.
void encode(const Request &req, Response &r) {
    if (!compressible(r.content_type)) return;
    r.headers.emplace_back("Vary", "Accept-Encoding");
    for (const auto &h : r.headers) {
        if (h.first == "Content-Encoding") return;
    }
    if (r.text().size() < kGzipLeast || !accepts_gzip(req.accept_encoding)) return;
    std::string gz = gzip(r.text(), kLiveLevel);
    if (gz.empty() || gz.size() >= r.text().size()) return;
    r.body = std::move(gz);
    r.shared.reset();
    r.headers.emplace_back("Content-Encoding", "gzip");
}

}  // namespace

Response deferred(Work work) {
    Response r;
    r.deferred = work;
    return r;
}

Response deferred() {
    return deferred(Work::store);
}

// Query parameters: the first value of a name, or null.
const std::string *arg(const Request &req, std::string_view name) {
    for (const auto &a : req.args) {
        if (a.first == name) return &a.second;
    }
    return nullptr;
}

Response text_response(unsigned status, std::string body) {
    Response r;
    r.status = status;
    r.content_type = kTextPlain;
    r.body = std::move(body);
    return r;
}

// 400: one line naming the parameter and why.
Response bad(std::string_view param, std::string_view why) {
    std::string line = "parameter ";
    line += param;
    line += ": ";
    line += why;
    line += '\n';
    return text_response(400, std::move(line));
}

Response unavailable(const StoreState &st) {
    return text_response(503,
                         (st.message.empty() ? std::string("no data loaded") : st.message) + "\n");
}

Response ok(const char *content_type, std::string body) {
    Response r;
    r.content_type = content_type;
    r.body = std::move(body);
    return r;
}

Response ok_shared(std::string content_type, Shared body) {
    Response r;
    r.content_type = std::move(content_type);
    r.shared = std::move(body);
    return r;
}

Response cached(const Request &req, const std::function<std::string(const StoreState &)> &key_of,
                bool needs_data, const std::function<Made(const StoreState &)> &make) {
    StoreState st;
    Kept k;
    if (store_current(st) && (st.loaded || !needs_data) &&
        find_copy(st.generation, key_of(st), k)) {
        return send_kept(req, st.generation, std::move(k));
    }
    std::unique_lock<std::mutex> lock;
    if (!store_lock(lock)) return deferred(Work::store);
    st = store_refresh();
    if (needs_data && !st.loaded) return unavailable(st);
    const std::string key = key_of(st);
    if (find_copy(st.generation, key, k)) {
        lock.unlock();
        return send_kept(req, st.generation, std::move(k));
    }
    // What the endpoint needed the last time it made an answer must fit, after the oldest kept
    // answers make room; an answer larger than half the budget counts as half, so that it is
    // made while the answers held take at most the other half (else it could never be made
    // again once it had been made once).
    {
        std::lock_guard<std::mutex> g(cache_mu);
        const size_t expect = std::min(cache.largest[req.path], settings().budget_bytes / 2);
        trim_cache(expect);
        if (!budget_fits(expect)) return over_budget();
    }
    Made m = make(st);
    if (m.error.status != 200) return m.error;
    k.key = key;
    k.content_type = std::move(m.content_type);
    k.plain = counted(std::move(m.body));
    k.make_gz = std::move(m.gzip);
    {
        std::lock_guard<std::mutex> g(cache_mu);
        size_t &largest = cache.largest[req.path];
        largest = std::max(largest, k.plain->size());
    }
    keep(st.generation, k);
    lock.unlock();
    {
        std::lock_guard<std::mutex> g(cache_mu);
        if (find_kept(st.generation, key) == nullptr) {
            // Not kept (larger than the cache takes): compressed for this request alone, as
            // answers made per request are.
            return ok_shared(k.content_type, k.plain);
        }
    }
    return send_kept(req, st.generation, std::move(k));
}

// Range parameter "r": absent is 0, else exactly one digit 0..3 as statsdump's -r.
bool get_range(const Request &req, uint32_t &range, Response &err) {
    range = 0;
    const std::string *v = arg(req, "r");
    if (v == nullptr) return true;
    if (v->size() != 1 || (*v)[0] < '0' || (*v)[0] > '3') {
        err = bad("r", "range must be 0, 1, 2 or 3");
        return false;
    }
    range = uint32_t((*v)[0] - '0');
    return true;
}

// On/off parameters of the table: absent or "0" off, "1" on.
bool get_switch(const Request &req, const char *name, bool &on, Response &err) {
    on = false;
    const std::string *v = arg(req, name);
    if (v == nullptr || *v == "0") return true;
    if (*v == "1") {
        on = true;
        return true;
    }
    err = bad(name, "must be 0 or 1");
    return false;
}

// Field lists as statsdump's -f takes them (names separated by " ,;", "*" for all; every "f"
// parameter adds to the list, as repeated -f options do; a field named twice is shown once),
// read by the library's parser.
bool parse_fields(const Request &req, std::vector<int32_t> &list, Response &err) {
    list.clear();
    int32_t *parsed = nullptr;
    bool any_param = false;
    int unknown = 0;
    for (const auto &a : req.args) {
        if (a.first != "f") continue;
        any_param = true;
        const int n = statsdump_parse_fields(&parsed, a.second.c_str(), nullptr, nullptr);
        if (n < 0) {
            err = text_response(500, "internal error\n");
            return false;
        }
        unknown += n;
    }
    for (size_t i = 0; parsed != nullptr && parsed[i] >= 0; i++) list.push_back(parsed[i]);
    free(parsed);
    if (unknown > 0) {
        err = bad("f", "unknown field name");
        return false;
    }
    if (!any_param || list.empty()) {
        err = bad("f", any_param ? "empty field list" : "missing");
        return false;
    }
    list.push_back(-1);
    return true;
}

namespace {

Response get_chart(const Request &req) {
    const std::string *f = arg(req, "f");
    if (f == nullptr || f->empty()) return bad("f", "missing");
    const int32_t type = statsdump_field_type(f->c_str());
    if (type < 0) return bad("f", "unknown field name");
    Response err;
    uint32_t range;
    if (!get_range(req, range, err)) return err;
    // Width and height as statsdump's -x and -y read them (then clamped by the imager).
    uint32_t size[2] = {1600, 320};
    const char *names[2] = {"x", "y"};
    for (int i = 0; i < 2; i++) {
        const std::string *v = arg(req, names[i]);
        if (v == nullptr) continue;
        bool digits = !v->empty();
        for (char c : *v) digits = digits && c >= '0' && c <= '9';
        if (!digits) return bad(names[i], "not a number");
        size[i] = uint32_t(strtoul(v->c_str(), nullptr, 10));
    }
    const uint32_t number = uint32_t(type) * 10 + range;
    const std::string key = "chart " + std::to_string(number) + " " + std::to_string(size[0]) +
                            " " + std::to_string(size[1]);
    auto key_of = [&](const StoreState &) { return key; };
    return cached(req, key_of, true, [&](const StoreState &) {
        Made m;
        m.content_type = "image/png";
        m.body.resize(charts_make_png(number, size[0], size[1]));
        charts_get_png(reinterpret_cast<uint8_t *>(m.body.data()));
        return m;
    });
}

// Chart number of /data: decimal, or four statid characters with their case bits.
bool get_number(const std::string &v, uint32_t &number) {
    if (parse_u32(v, number)) return true;
    if (v.size() != 4) return false;
    bool digits = true;
    for (char c : v) digits = digits && c >= '0' && c <= '9';
    if (digits) return false;
    number = (uint32_t(uint8_t(v[0])) << 24) | (uint32_t(uint8_t(v[1])) << 16) |
             (uint32_t(uint8_t(v[2])) << 8) | uint32_t(uint8_t(v[3]));
    return true;
}

Response get_data(const Request &req) {
    const std::string *n = arg(req, "n");
    if (n == nullptr) return bad("n", "missing");
    uint32_t number;
    if (!get_number(*n, number)) return bad("n", "not a chart number");
    uint32_t maxentries = 4096;
    if (const std::string *m = arg(req, "m")) {
        if (!parse_u32(*m, maxentries)) return bad("m", "not a number");
    }
    uint8_t multi = 0;
    if (const std::string *v = arg(req, "multi")) {
        if (*v != "0" && *v != "1") return bad("multi", "must be 0 or 1");
        multi = *v == "1" ? 1 : 0;
    }
    std::unique_lock<std::mutex> lock;
    if (!store_lock(lock)) return deferred();
    const StoreState &st = store_refresh();
    if (!st.loaded) return unavailable(st);
    const uint32_t size = charts_makedata(nullptr, number, maxentries, multi);
    if (size == 0) return text_response(404, "no such chart\n");
    std::string out(size, '\0');
    charts_makedata(reinterpret_cast<uint8_t *>(out.data()), number, maxentries, multi);
    return ok("application/octet-stream", std::move(out));
}

// /metrics: the statistics of the newest complete minute while it is fresh, and the health of
// the data file; one answer per format and state of the load.
Response get_metrics(const Request &req) {
    const bool om = wants_openmetrics(req.accept);
    auto shown = [](const StoreState &st) {
        return st.loaded && is_fresh(local_to_utc(int64_t(st.newest) - 60), time(nullptr));
    };
    auto key_of = [&](const StoreState &st) {
        return "metrics " + std::to_string(om) + std::to_string(shown(st)) +
               std::to_string(st.loaded) + std::to_string(st.message.empty()) + " " +
               std::to_string(st.failures);
    };
    return cached(req, key_of, false, [&](const StoreState &st) {
        Made m;
        m.content_type = om ? kOpenMetrics : kPrometheusText;
        Health h;
        h.loaded = st.loaded && st.message.empty();
        h.failures = st.failures;
        if (st.loaded) {
            const BaseSeries series = base_series(0);
            if (shown(st)) m.body = statistics_text(series, om);
            h.last_load = int64_t(st.last_load);
            h.newest_utc = local_to_utc(series.newest);
        }
        m.body += health_text(h, om);
        return m;
    });
}

// The labels of /openmetrics: job and instance as the scrape configuration gives them.
bool get_label(const Request &req, const char *name, const std::string &fallback,
               std::string &value, Response &err) {
    const std::string *v = arg(req, name);
    value = v != nullptr ? *v : fallback;
    if (label_value_ok(value)) return true;
    err = bad(name, "must be 1 to 256 bytes of UTF-8 text without control characters");
    return false;
}

// /openmetrics: one answer kept per range and label set, within the cache's bounds.
Response get_openmetrics(const Request &req) {
    Response err;
    uint32_t range;
    std::string job, instance;
    if (!get_range(req, range, err) || !get_label(req, "job", "zelstats", job, err) ||
        !get_label(req, "instance", settings().name, instance, err)) {
        return err;
    }
    const std::string key = "history " + std::to_string(range) + '\n' + job + '\n' + instance;
    auto key_of = [&](const StoreState &) { return key; };
    return cached(req, key_of, true, [&](const StoreState &) {
        Made m;
        m.content_type = kOpenMetrics;
        m.body = openmetrics_history(base_series(range), job, instance);
        return m;
    });
}

// The state of the current load: without the lock when the file has not changed since, else
// after a reload check under it; false (with r deferred) on a thread that may not wait.
bool current_state(StoreState &st, Response &r) {
    if (store_current(st)) return true;
    std::unique_lock<std::mutex> lock;
    if (!store_lock(lock)) {
        r = deferred(Work::store);
        return false;
    }
    st = store_refresh();
    return true;
}

// A JSON string, or null for an empty text.
void json_string_or_null(std::string &out, std::string_view text) {
    if (text.empty()) {
        out += "null";
    } else {
        json_string(out, text);
    }
}

Response get_status(const Request &) {
    StoreState st;
    Response later;
    if (!current_state(st, later)) return later;
    const Settings &set = settings();
    std::string out = "{\"name\":";
    json_string(out, set.name);
    out += ",\"zone\":";
    json_string_or_null(out, set.zone);
    out += ",\"file\":";
    json_string(out, st.path);
    out += ",\"loaded\":";
    out += st.loaded ? "true" : "false";
    out += ",\"newest_minute\":";
    if (st.loaded) {
        const uint32_t newest = st.newest;
        const int64_t newest_utc = local_to_utc(newest);
        out += std::to_string(newest);
        out += ",\"newest_minute_date\":";
        json_string(out, local_date(newest));
        out += ",\"newest_minute_utc\":";
        out += std::to_string(newest_utc);
        out += ",\"metrics_current\":";
        out += is_fresh(local_to_utc(int64_t(newest) - 60), time(nullptr)) ? "true" : "false";
        out += ",\"last_load\":";
        out += std::to_string(int64_t(st.last_load));
    } else {
        out +=
            "null,\"newest_minute_date\":null,\"newest_minute_utc\":null,"
            "\"metrics_current\":false,\"last_load\":null";
    }
    out += ",\"generation\":";
    out += std::to_string(st.generation);
    out += ",\"load_failures\":";
    out += std::to_string(st.failures);
    out += ",\"warning\":";
    json_string_or_null(out, clock_warning(st));
    out += ",\"load_error\":";
    json_string_or_null(out, st.message);
    out += ",\"settling\":";
    out += st.settling ? "true" : "false";
    size_t kept = 0, kept_bytes = 0;
    {
        std::lock_guard<std::mutex> g(cache_mu);
        if (cache.generation == st.generation)
            kept = cache.answers.size(), kept_bytes = cache.bytes;
    }
    out += ",\"answers_kept\":" + std::to_string(kept);
    out += ",\"answer_bytes_kept\":" + std::to_string(kept_bytes);
    // The page's rule for old data and data from the future, and what happened.
    out += ",\"stale_after\":" + std::to_string(kStaleSeconds) +
           ",\"future_after\":" + std::to_string(kFutureSeconds) + ",\"events\":";
    if (!status_events(st, out, later)) return later;
    out += "}\n";
    return ok("application/json", std::move(out));
}

// The page's script and style sheet, built into the program; the legend swatches take the
// renderer's palette.
Response get_asset(const Request &req) {
    const Asset *a = find_asset(req.path);
    if (a == nullptr) return text_response(404, "not found\n");
    // Made once, with their gzip forms; the legend swatches read the renderer's palette, so the
    // first request makes them under the store lock.
    struct Made {
        Shared plain, gz;
    };
    auto make = [](const char *path, std::string extra) {
        const Asset *asset = find_asset(path);
        Made m;
        m.plain = std::make_shared<const std::string>(
            std::string(reinterpret_cast<const char *>(asset->data), asset->size) + extra);
        m.gz = std::make_shared<const std::string>(gzip(*m.plain, kKeptLevel));
        return m;
    };
    static Made script, style;
    static std::once_flag once;
    static std::atomic<bool> made{false};
    if (!made.load(std::memory_order_acquire)) {
        std::unique_lock<std::mutex> lock;
        if (!store_lock(lock)) return deferred();
        std::call_once(once, [&] {
            script = make("/statsweb.js", "");
            style = make("/statsweb.css", legend_css());
            made.store(true, std::memory_order_release);
        });
    }
    const Made &m = req.path == "/statsweb.css" ? style : script;
    if (accepts_gzip(req.accept_encoding) && !m.gz->empty()) {
        Response r = ok_shared(a->content_type, m.gz);
        r.headers.emplace_back("Content-Encoding", "gzip");
        return r;
    }
    return ok_shared(a->content_type, m.plain);
}

// Browsers ask for an icon; there is none, and saying so needs no error.
Response get_icon(const Request &) {
    Response r;
    r.status = 204;
    return r;
}

struct Route {
    const char *path;
    Response (*fn)(const Request &);
};

constexpr Route kRoutes[] = {
    {"/", get_page},
    {"/chart", get_chart},
    {"/table", get_table},
    {"/data", get_data},
    {"/metrics", get_metrics},
    {"/openmetrics", get_openmetrics},
    {"/status", get_status},
    {"/view", get_view},
    {"/statsweb.js", get_asset},
    {"/statsweb.css", get_asset},
    {"/favicon.ico", get_icon},
};

Response route(const Request &req) {
    const Route *found = nullptr;
    for (const Route &r : kRoutes) {
        if (req.path == r.path) found = &r;
    }
    if (found == nullptr) return text_response(404, "not found\n");
    if (req.method != "GET" && req.method != "HEAD") {
        Response r = text_response(405, "method not allowed\n");
        r.headers.emplace_back("Allow", "GET, HEAD");
        return r;
    }
    return found->fn(req);
}

}  // namespace

Response handle(const Request &req) {
    Response r;
    try {
        r = route(req);
        if (r.deferred != Work::none) return r;
        encode(req, r);
    } catch (...) {
        r = Response();
        r.status = 500;
        r.content_type = kTextPlain;
        r.body = "internal error\n";
    }
    common_headers(r);
    return r;
}

}  // namespace statsweb
