// statsweb's router: one small function per endpoint, each answering from the charts store
// through the same writers and queries that statsdump uses.
#include "handler.h"

#include <stdlib.h>
#include <string.h>

#include <list>
#include <memory>
#include <mutex>

#include "charts.h"
#include "metrics.h"
#include "page.h"
#include "statsdump.h"
#include "store.h"
#include "store_lock.h"
#include "text.h"

namespace statsweb {

namespace {

constexpr uint32_t kRanges = 4;
constexpr uint32_t kSlotSeconds[kRanges] = {60, 360, 1800, 86400};
constexpr const char *kTextPlain = "text/plain; charset=utf-8";

using Shared = std::shared_ptr<const std::string>;

// What one load of the data file gives, kept until the next load; under answers_mu (held
// briefly, never while the store works), so that kept answers go out without the store lock.
struct Derived {
    uint64_t generation = 0;
    Shared metrics;     // text format 0.0.4
    Shared metrics_om;  // OpenMetrics
    // /openmetrics of the range asked for last (megabytes each, so one range at a time; a
    // connection still sending another range keeps that one alive until it is done).
    uint32_t history_range = kRanges;
    Shared history;
    // Recently made charts and tables, newest first, by a key of what was asked (field list,
    // range, size, flags). Bounded in count and bytes, whatever clients ask for.
    struct Answer {
        std::string key;
        std::string content_type;
        Shared body;
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

// The base statistics' field list: 0 .. count - 1, ending with -1.
const int32_t *base_fields() {
    static std::vector<int32_t> list = [] {
        std::vector<int32_t> v;
        for (int32_t i = 0; statsdump_statdefs[i].name != nullptr; i++) v.push_back(i);
        v.push_back(-1);
        return v;
    }();
    return list.data();
}

// A kept answer of this load, or false; a found one moves to the front.
bool find_answer(uint64_t generation, const std::string &key, std::string &content_type,
                 Shared &body) {
    std::lock_guard<std::mutex> g(answers_mu);
    if (!sync_derived(generation)) return false;
    for (auto it = d.answers.begin(); it != d.answers.end(); ++it) {
        if (it->key == key) {
            d.answers.splice(d.answers.begin(), d.answers, it);
            content_type = it->content_type;
            body = it->body;
            return true;
        }
    }
    return false;
}

void keep_answer(uint64_t generation, std::string key, const std::string &content_type,
                 const Shared &body) {
    if (body->size() > kAnswerLargest) return;
    std::lock_guard<std::mutex> g(answers_mu);
    if (!sync_derived(generation)) return;
    d.answers.push_front({std::move(key), content_type, body});
    d.answer_bytes += body->size();
    while (d.answers.size() > kAnswerCount || d.answer_bytes > kAnswerBytes) {
        d.answer_bytes -= d.answers.back().body->size();
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

// A kept answer of the current load, found without the store lock.
bool kept_now(const std::string &key, Response &out) {
    StoreState st;
    std::string type;
    Shared body;
    if (!store_current(st) || !st.loaded || !find_answer(st.generation, key, type, body)) {
        return false;
    }
    out = ok_shared(std::move(type), std::move(body));
    return true;
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

}  // namespace

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
    if (kept_now(key, r)) return r;
    std::unique_lock<std::mutex> lock;
    if (!store_lock(lock)) return deferred();
    const StoreState &st = store_refresh();
    if (!st.loaded) return unavailable(st);
    std::string type_kept;
    Shared body;
    if (find_answer(st.generation, key, type_kept, body)) return ok_shared(type_kept, body);
    const uint32_t pngsize = charts_make_png(number, size[0], size[1]);
    auto png = std::make_shared<std::string>(pngsize, '\0');
    charts_get_png(reinterpret_cast<uint8_t *>(png->data()));
    keep_answer(st.generation, std::move(key), "image/png", png);
    return ok_shared("image/png", std::move(png));
}

void append_text(void *ctx, const char *text, size_t length) {
    static_cast<std::string *>(ctx)->append(text, length);
}

Response table_json(const std::vector<int32_t> &fields, uint32_t range) {
    PlainTable t;
    if (!plain_table(fields.data(), range, t)) return text_response(500, "table error\n");
    std::string out;
    out.reserve(t.text.size() + size_t(t.rows) * 12 + 256);
    out += "{\"fields\":[";
    std::vector<const char *> names;
    for (size_t f = 0; fields[f] >= 0; f++) {
        const int32_t type = fields[f];
        names.push_back(type < 100 ? statsdump_statdefs[type].name
                                   : statsdump_estatdefs[type - 100].name);
        if (f > 0) out += ',';
        json_string(out, names.back());
    }
    out += "],\"range\":";
    out += std::to_string(range);
    out += ",\"step\":";
    out += std::to_string(kSlotSeconds[range]);
    out += ",\"timestamps\":[";
    for (uint32_t r = 0; r < t.rows; r++) {
        if (r > 0) out += ',';
        out += std::to_string(t.timestamps[r]);
    }
    out += "],\"values\":{";
    for (uint32_t f = 0; f < t.fields; f++) {
        if (f > 0) out += ',';
        json_string(out, names[f]);
        out += ":[";
        for (uint32_t r = 0; r < t.rows; r++) {
            if (r > 0) out += ',';
            const std::string_view v = t.cell(r, f);
            if (v.empty()) {
                out += "null";
            } else {
                out += v;
            }
        }
        out += ']';
    }
    out += "}}\n";
    return ok("application/json", std::move(out));
}

Response get_table(const Request &req) {
    Response err;
    std::vector<int32_t> fields;
    if (!parse_fields(req, fields, err)) return err;
    uint32_t range;
    if (!get_range(req, range, err)) return err;
    char sep = '\t';
    if (const std::string *v = arg(req, "s")) {
        if (v->size() != 1) return bad("s", "must be one character");
        sep = (*v)[0];
    }
    bool date, si, iec;
    if (!get_switch(req, "d", date, err) || !get_switch(req, "H", si, err) ||
        !get_switch(req, "h", iec, err)) {
        return err;
    }
    bool json = false;
    if (const std::string *v = arg(req, "format")) {
        if (*v != "json") return bad("format", "must be json");
        json = true;
    }
    const uint8_t flags = uint8_t((date ? 1 : 0) | (si ? 2 : 0) | (iec ? 4 : 0));
    std::string key = "table " + std::to_string(range) + " ";
    key += json ? "json" : std::to_string(uint8_t(sep)) + " " + std::to_string(flags);
    for (size_t i = 0; fields[i] >= 0; i++) key += " " + std::to_string(fields[i]);
    Response r;
    if (kept_now(key, r)) return r;
    std::unique_lock<std::mutex> lock;
    if (!store_lock(lock)) return deferred();
    const StoreState &st = store_refresh();
    if (!st.loaded) return unavailable(st);
    {
        std::string type_kept;
        Shared body;
        if (find_answer(st.generation, key, type_kept, body)) return ok_shared(type_kept, body);
    }

    if (json) {
        r = table_json(fields, range);
    } else {
        std::string out;
        // Room for the whole table at once: a timestamp or date and up to about 14 characters
        // per value on each of the 4096 lines.
        out.reserve(size_t(charts_getmaxleng()) * (18 + (fields.size() - 1) * 14));
        statsdump_gencsv_to(fields.data(), range, sep, flags, append_text, &out);
        r = ok(sep == ',' ? "text/csv; charset=utf-8" : "text/tab-separated-values; charset=utf-8",
               std::move(out));
    }
    if (r.status != 200) return r;
    auto body = std::make_shared<const std::string>(std::move(r.body));
    keep_answer(st.generation, std::move(key), r.content_type, body);
    return ok_shared(r.content_type, std::move(body));
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

bool wants_openmetrics(const std::string &accept) {
    return accept.find("application/openmetrics-text") != std::string::npos;
}

Response get_metrics(const Request &req) {
    const bool om = wants_openmetrics(req.accept);
    const char *type = om ? "application/openmetrics-text; version=1.0.0; charset=utf-8"
                          : "text/plain; version=0.0.4; charset=utf-8";
    // Made once per load, then sent without the store lock.
    auto kept = [&](uint64_t generation) {
        std::lock_guard<std::mutex> g(answers_mu);
        return sync_derived(generation) ? (om ? d.metrics_om : d.metrics) : Shared();
    };
    StoreState now;
    if (store_current(now)) {
        if (!now.loaded) return unavailable(now);
        if (Shared text = kept(now.generation)) return ok_shared(type, text);
    }
    std::unique_lock<std::mutex> lock;
    if (!store_lock(lock)) return deferred();
    const StoreState &st = store_refresh();
    if (!st.loaded) return unavailable(st);
    if (Shared text = kept(st.generation)) return ok_shared(type, text);
    PlainTable t;
    if (!plain_table(base_fields(), 0, t)) return text_response(500, "table error\n");
    auto plain = std::make_shared<const std::string>(metrics_text(t, false));
    auto openm = std::make_shared<const std::string>(metrics_text(t, true));
    std::lock_guard<std::mutex> g(answers_mu);
    if (sync_derived(st.generation)) d.metrics = plain, d.metrics_om = openm;
    return ok_shared(type, om ? openm : plain);
}

Response get_openmetrics(const Request &req) {
    Response err;
    uint32_t range;
    if (!get_range(req, range, err)) return err;
    const char *type = "application/openmetrics-text; version=1.0.0; charset=utf-8";
    auto kept = [&](uint64_t generation) {
        std::lock_guard<std::mutex> g(answers_mu);
        return sync_derived(generation) && d.history_range == range ? d.history : Shared();
    };
    StoreState now;
    if (store_current(now)) {
        if (!now.loaded) return unavailable(now);
        if (Shared text = kept(now.generation)) return ok_shared(type, text);
    }
    std::unique_lock<std::mutex> lock;
    if (!store_lock(lock)) return deferred();
    const StoreState &st = store_refresh();
    if (!st.loaded) return unavailable(st);
    if (Shared text = kept(st.generation)) return ok_shared(type, text);
    {
        // The range kept before goes now (connections still sending it keep their reference).
        std::lock_guard<std::mutex> g(answers_mu);
        d.history.reset();
        d.history_range = kRanges;
    }
    PlainTable t;
    if (!plain_table(base_fields(), range, t)) return text_response(500, "table error\n");
    auto text = std::make_shared<const std::string>(openmetrics_history(t));
    std::lock_guard<std::mutex> g(answers_mu);
    if (sync_derived(st.generation)) d.history = text, d.history_range = range;
    return ok_shared(type, std::move(text));
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

Response get_status(const Request &) {
    StoreState st;
    Response later;
    if (!current_state(st, later)) return later;
    std::string out = "{\"file\":";
    json_string(out, st.path);
    out += ",\"loaded\":";
    out += st.loaded ? "true" : "false";
    out += ",\"newest_minute\":";
    if (st.loaded) {
        const uint32_t newest = st.newest;
        out += std::to_string(newest);
        out += ",\"newest_minute_date\":";
        json_string(out, local_date(newest));
        out += ",\"newest_minute_utc\":";
        out += std::to_string(local_to_utc(newest));
        out += ",\"last_load\":";
        out += std::to_string(int64_t(st.last_load));
    } else {
        out += "null,\"newest_minute_date\":null,\"newest_minute_utc\":null,\"last_load\":null";
    }
    out += ",\"generation\":";
    out += std::to_string(st.generation);
    out += ",\"load_error\":";
    if (st.message.empty()) {
        out += "null";
    } else {
        json_string(out, st.message);
    }
    out += "}\n";
    return ok("application/json", std::move(out));
}

Response get_page(const Request &req) {
    Response err;
    std::vector<int32_t> fields;
    if (arg(req, "f") != nullptr) {
        if (!parse_fields(req, fields, err)) return err;
    } else {
        for (int32_t j = 0; statsdump_estatdefs[j].name != nullptr; j++) fields.push_back(100 + j);
        fields.push_back(-1);
    }
    uint32_t range;
    if (!get_range(req, range, err)) return err;
    StoreState st;
    Response later;
    if (!current_state(st, later)) return later;
    PageData p;
    p.path = st.path;
    p.loaded = st.loaded;
    p.message = st.message;
    p.newest = st.loaded ? st.newest : 0;
    p.fields = fields;
    p.range = range;
    Response r = ok("text/html; charset=utf-8", page_html(p));
    r.headers.emplace_back("Content-Security-Policy",
                           "default-src 'none'; img-src 'self'; style-src 'unsafe-inline'; "
                           "form-action 'self'; base-uri 'none'; frame-ancestors 'none'");
    return r;
}

struct Route {
    const char *path;
    Response (*fn)(const Request &);
};

constexpr Route kRoutes[] = {
    {"/", get_page},         {"/chart", get_chart},     {"/table", get_table},
    {"/data", get_data},     {"/metrics", get_metrics}, {"/openmetrics", get_openmetrics},
    {"/status", get_status},
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
