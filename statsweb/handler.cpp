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
#include <list>
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
// a load at zlib's default level, made once; the others at its fastest, for every request.
constexpr size_t kGzipLeast = 1024;
constexpr int kKeptLevel = 6;
constexpr int kLiveLevel = 1;

using Shared = std::shared_ptr<const std::string>;

// An answer kept for one load, and its gzip form once a client has taken it. Shared, not
// copied, by every connection that sends it.
struct Kept {
    Shared plain, gz;
};

// What one load of the data file gives, kept until the next load; under answers_mu (held
// briefly, never while the store works), so that kept answers go out without the store lock.
struct Derived {
    uint64_t generation = 0;
    // /metrics: the statistic families of this load by format (text 0.0.4, OpenMetrics) with
    // the UTC start of their minute and of the file's newest minute; and whole answers by format
    // and whether the statistics are in, made for the count of failed loads in their health.
    bool have_statistics = false;
    std::string statistics[2];
    int64_t sample_utc = 0;
    int64_t newest_utc = 0;
    uint64_t metrics_failures = 0;
    Kept metrics[2][2];
    // /openmetrics of the range and labels asked for last (megabytes each, so one at a time).
    std::string history_key;
    Kept history;
    // Recently made charts and tables, newest first, by a key of what was asked (field list,
    // range, size, flags). Bounded in count and bytes, whatever clients ask for.
    struct Answer {
        std::string key;
        std::string content_type;
        Kept body;
    };
    std::list<Answer> answers;
    size_t answer_bytes = 0;
};
constexpr size_t kAnswerCount = 64;
constexpr size_t kAnswerBytes = 8 << 20;
constexpr size_t kAnswerLargest = 4 << 20;

std::mutex answers_mu;
Derived d;

// With answers_mu held: forgets what an older load gave; false when generation is not the
// newest load (a request that saw the file before a reload by another thread).
bool sync_derived(uint64_t generation) {
    if (generation > d.generation) {
        d = Derived();
        d.generation = generation;
    }
    return d.generation == generation;
}

// A kept chart or table of this load, or null; a found one moves to the front. With answers_mu
// held.
Derived::Answer *find_answer(uint64_t generation, const std::string &key) {
    if (!sync_derived(generation)) return nullptr;
    for (auto it = d.answers.begin(); it != d.answers.end(); ++it) {
        if (it->key == key) {
            d.answers.splice(d.answers.begin(), d.answers, it);
            return &d.answers.front();
        }
    }
    return nullptr;
}

}  // namespace

void keep_answer(uint64_t generation, std::string key, const std::string &content_type,
                 const Shared &body) {
    if (body->size() > kAnswerLargest) return;
    std::lock_guard<std::mutex> g(answers_mu);
    if (!sync_derived(generation)) return;
    d.answers.push_front({std::move(key), content_type, Kept{body, nullptr}});
    d.answer_bytes += body->size();
    while (d.answers.size() > kAnswerCount || d.answer_bytes > kAnswerBytes) {
        d.answer_bytes -= d.answers.back().body.plain->size();
        d.answers.pop_back();
    }
}

Response deferred() {
    Response r;
    r.deferred = true;
    return r;
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

namespace {

bool compressible(std::string_view content_type) {
    return content_type.starts_with("text/") || content_type.starts_with("application/json") ||
           content_type.starts_with("application/openmetrics-text");
}

// A kept answer k of one load as it goes out: its gzip form for a client that takes it, made
// once (outside answers_mu) and kept beside it in slot(), which names the Kept within d.
template <typename Slot>
Response ok_kept(const Request &req, const std::string &content_type, uint64_t generation, Kept k,
                 Slot slot) {
    if (k.plain->size() >= kGzipLeast && compressible(content_type) &&
        accepts_gzip(req.accept_encoding)) {
        if (!k.gz) {
            k.gz = std::make_shared<const std::string>(gzip(*k.plain, kKeptLevel));
            std::lock_guard<std::mutex> g(answers_mu);
            if (Kept *in = sync_derived(generation) ? slot() : nullptr) {
                if (in->plain == k.plain) in->gz = k.gz;
            }
        }
        if (!k.gz->empty()) {
            Response r = ok_shared(content_type, k.gz);
            r.headers.emplace_back("Content-Encoding", "gzip");
            return r;
        }
    }
    return ok_shared(content_type, k.plain);
}

}  // namespace

// A kept chart or table of this load as it goes out; false when there is none.
bool kept_answer(const Request &req, uint64_t generation, const std::string &key, Response &out) {
    std::string type;
    Kept k;
    {
        std::lock_guard<std::mutex> g(answers_mu);
        Derived::Answer *a = find_answer(generation, key);
        if (a == nullptr) return false;
        type = a->content_type;
        k = a->body;
    }
    out = ok_kept(req, type, generation, std::move(k), [&]() -> Kept * {
        for (Derived::Answer &a : d.answers) {
            if (a.key == key) return &a.body;
        }
        return nullptr;
    });
    return true;
}

// The same, found without the store lock while the file is the one of the current load.
bool kept_now(const Request &req, const std::string &key, Response &out) {
    StoreState st;
    return store_current(st) && st.loaded && kept_answer(req, st.generation, key, out);
}

namespace {

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
// parameter adds to the list, as repeated -f options do; a field named twice is shown once).
bool parse_fields(const Request &req, std::vector<int32_t> &list, Response &err) {
    std::vector<bool> used(200, false);
    list.clear();
    bool any_param = false;
    for (const auto &a : req.args) {
        if (a.first != "f") continue;
        any_param = true;
        std::string_view rest = a.second;
        while (!rest.empty()) {
            const size_t start = rest.find_first_not_of(" ,;");
            if (start == rest.npos) break;
            rest.remove_prefix(start);
            const size_t end = rest.find_first_of(" ,;");
            const std::string word(rest.substr(0, end));
            rest.remove_prefix(end == rest.npos ? rest.size() : end);
            if (word == "*") {
                for (int32_t i = 0; statsdump_statdefs[i].name != nullptr; i++) {
                    if (!used[i]) list.push_back(i), used[i] = true;
                }
                for (int32_t j = 0; statsdump_estatdefs[j].name != nullptr; j++) {
                    if (!used[100 + j]) list.push_back(100 + j), used[100 + j] = true;
                }
                continue;
            }
            const int32_t type = statsdump_field_type(word.c_str());
            if (type < 0 || type >= 200) {
                err = bad("f", "unknown field name");
                return false;
            }
            if (!used[type]) list.push_back(type), used[type] = true;
        }
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
    std::string key = "chart " + std::to_string(number) + " " + std::to_string(size[0]) + " " +
                      std::to_string(size[1]);
    Response r;
    if (kept_now(req, key, r)) return r;
    std::unique_lock<std::mutex> lock;
    if (!store_lock(lock)) return deferred();
    const StoreState &st = store_refresh();
    if (!st.loaded) return unavailable(st);
    if (kept_answer(req, st.generation, key, r)) return r;
    const uint32_t pngsize = charts_make_png(number, size[0], size[1]);
    auto png = std::make_shared<std::string>(pngsize, '\0');
    charts_get_png(reinterpret_cast<uint8_t *>(png->data()));
    keep_answer(st.generation, std::move(key), "image/png", png);
    return ok_shared("image/png", std::move(png));
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

// With answers_mu held: the /metrics answer of a state, made from what its load gave (false
// while the statistic families of a load are still to be derived, which needs the store).
bool metrics_kept(const StoreState &st, bool om, Kept &out, bool &shown) {
    if (!sync_derived(st.generation) || (st.loaded && !d.have_statistics)) return false;
    if (d.metrics_failures != st.failures) {
        for (auto &format : d.metrics) {
            for (Kept &k : format) k = Kept();
        }
        d.metrics_failures = st.failures;
    }
    shown = st.loaded && is_fresh(d.sample_utc, time(nullptr));
    Kept &k = d.metrics[om][shown];
    if (!k.plain) {
        Health h;
        h.loaded = st.loaded && st.message.empty();
        h.failures = st.failures;
        if (st.loaded) {
            h.last_load = int64_t(st.last_load);
            h.newest_utc = d.newest_utc;
        }
        k.plain = std::make_shared<const std::string>((shown ? d.statistics[om] : std::string()) +
                                                      health_text(h, om));
    }
    out = k;
    return true;
}

// Under the store lock: the statistic families of a load, derived from the store once.
void derive_statistics(const StoreState &st) {
    {
        std::lock_guard<std::mutex> g(answers_mu);
        if (!sync_derived(st.generation) || !st.loaded || d.have_statistics) return;
    }
    const BaseSeries series = base_series(0);
    std::string texts[2] = {statistics_text(series, false), statistics_text(series, true)};
    std::lock_guard<std::mutex> g(answers_mu);
    if (!sync_derived(st.generation)) return;
    for (int om = 0; om < 2; om++) d.statistics[om] = std::move(texts[om]);
    d.sample_utc = sample_utc(series);
    d.newest_utc = local_to_utc(series.newest);
    d.have_statistics = true;
}

Response get_metrics(const Request &req) {
    const bool om = wants_openmetrics(req.accept);
    StoreState st;
    Kept k;
    bool shown = false, have = false;
    if (store_current(st)) {
        std::lock_guard<std::mutex> g(answers_mu);
        have = metrics_kept(st, om, k, shown);
    }
    if (!have) {
        std::unique_lock<std::mutex> lock;
        if (!store_lock(lock)) return deferred();
        st = store_refresh();
        derive_statistics(st);
        std::lock_guard<std::mutex> g(answers_mu);
        if (!metrics_kept(st, om, k, shown)) return text_response(500, "metrics error\n");
    }
    return ok_kept(req, om ? kOpenMetrics : kPrometheusText, st.generation, std::move(k),
                   [&]() -> Kept * { return &d.metrics[om][shown]; });
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

Response get_openmetrics(const Request &req) {
    Response err;
    uint32_t range;
    std::string job, instance;
    if (!get_range(req, range, err) || !get_label(req, "job", "zelstats", job, err) ||
        !get_label(req, "instance", settings().name, instance, err)) {
        return err;
    }
    const std::string key = std::to_string(range) + '\n' + job + '\n' + instance;
    // With answers_mu held: the history of this range and labels when it is the one kept.
    auto kept = [&](uint64_t generation, Kept &out) {
        if (!sync_derived(generation) || d.history_key != key) return false;
        out = d.history;
        return true;
    };
    auto slot = [&]() -> Kept * { return d.history_key == key ? &d.history : nullptr; };
    StoreState st;
    Kept k;
    bool have = false;
    if (store_current(st) && st.loaded) {
        std::lock_guard<std::mutex> g(answers_mu);
        have = kept(st.generation, k);
    }
    if (!have) {
        std::unique_lock<std::mutex> lock;
        if (!store_lock(lock)) return deferred();
        st = store_refresh();
        if (!st.loaded) return unavailable(st);
        {
            std::lock_guard<std::mutex> g(answers_mu);
            have = kept(st.generation, k);
            if (!have) {
                // The history kept before goes now (connections still sending it keep theirs).
                d.history = Kept();
                d.history_key.clear();
            }
        }
        if (!have) {
            k.plain = std::make_shared<const std::string>(
                openmetrics_history(base_series(range), job, instance));
            std::lock_guard<std::mutex> g(answers_mu);
            if (sync_derived(st.generation)) d.history = k, d.history_key = key;
        }
    }
    return ok_kept(req, kOpenMetrics, st.generation, std::move(k), slot);
}

// The state of the current load: without the lock when the file has not changed since, else
// after a reload check under it; false (with r deferred) on a thread that may not wait.
bool current_state(StoreState &st, Response &r) {
    if (store_current(st)) return true;
    std::unique_lock<std::mutex> lock;
    if (!store_lock(lock)) {
        r = deferred();
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
        if (r.deferred) return r;
        encode(req, r);
    } catch (...) {
        r = Response();
        r.status = 500;
        r.content_type = kTextPlain;
        r.body = "internal error\n";
    }
    r.headers.emplace_back("Cache-Control", "no-cache");
    r.headers.emplace_back("X-Content-Type-Options", "nosniff");
    return r;
}

}  // namespace statsweb
