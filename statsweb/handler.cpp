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
#include <map>
#include <memory>
#include <mutex>

#include "assets.h"
#include "charts.h"
#include "encoding.h"
#include "legend.h"
#include "metrics.h"
#include "page.h"
#include "settings.h"
#include "statsdump.h"
#include "store.h"
#include "store_lock.h"
#include "text.h"

namespace statsweb {

namespace {

constexpr uint32_t kRanges = 4;
constexpr uint32_t kSlotSeconds[kRanges] = {60, 360, 1800, 86400};
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

void keep(uint64_t generation, std::string key, const std::string &content_type,
          const Shared &body) {
    if (body->size() > settings().budget_bytes / 4) return;
    std::lock_guard<std::mutex> g(cache_mu);
    if (!sync_cache(generation) || find_kept(generation, key) != nullptr) return;
    cache.answers.push_front({std::move(key), content_type, body, nullptr});
    cache.bytes += body->size();
    trim_cache(0);
}

Response deferred(Work work) {
    Response r;
    r.deferred = work;
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

// 503 for an answer that would take the memory of answers beyond the budget.
Response over_budget() {
    Response r = text_response(503, "busy: too many large answers in flight, try again\n");
    r.headers.emplace_back("Retry-After", "1");
    return r;
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
        k.gz = counted(gzip(*k.plain, kKeptLevel));
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

// What an endpoint makes for the cache: status 200 with a body, or an error answer.
struct Made {
    Response error;  // status 200: none
    std::string content_type;
    std::string body;
};

// The one way a cached endpoint (chart, table, metrics, history) answers: its answer of the
// current load when kept, found without the store lock while the file has not changed; else,
// under the store lock after a reload check, made by make() once and kept. An answer that may
// not fit in the memory budget is not made: 503 with Retry-After. key_of(state) names the
// answer; needs_data: 503 while nothing is loaded (else make() is called for that state too).
template <typename KeyOf, typename Make>
Response cached(const Request &req, KeyOf key_of, bool needs_data, Make make) {
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
    // answers make room.
    {
        std::lock_guard<std::mutex> g(cache_mu);
        const size_t expect = cache.largest[req.path];
        trim_cache(expect);
        if (!budget_fits(expect)) return over_budget();
    }
    Made m = make(st);
    if (m.error.status != 200) return m.error;
    k.key = key;
    k.content_type = std::move(m.content_type);
    k.plain = counted(std::move(m.body));
    {
        std::lock_guard<std::mutex> g(cache_mu);
        size_t &largest = cache.largest[req.path];
        largest = std::max(largest, k.plain->size());
    }
    keep(st.generation, key, k.content_type, k.plain);
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

// The table's way to the cache until it answers through cached().
bool kept_answer(const Request &req, uint64_t generation, const std::string &key, Response &out) {
    Kept k;
    if (!find_copy(generation, key, k)) return false;
    out = send_kept(req, generation, std::move(k));
    return true;
}
bool kept_now(const Request &req, const std::string &key, Response &out) {
    StoreState st;
    return store_current(st) && st.loaded && kept_answer(req, st.generation, key, out);
}
void keep_answer(uint64_t generation, std::string key, const std::string &content_type,
                 const Shared &body) {
    keep(generation, std::move(key), content_type, body);
}
Response deferred() {
    return deferred(Work::store);
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

void append_text(void *ctx, const char *text, size_t length) {
    static_cast<std::string *>(ctx)->append(text, length);
}

// A plain cell as a JSON number: the table's digits without the zeros that end its fraction.
void json_number(std::string &out, std::string_view v) {
    if (v.find('.') != v.npos) {
        while (!v.empty() && v.back() == '0') v.remove_suffix(1);
        if (!v.empty() && v.back() == '.') v.remove_suffix(1);
    }
    out += v;
}

// The table as JSON: UTC seconds per slot (timestamps), the store's local seconds
// (local_timestamps) and the zone's offset at the newest slot (utc_offset), the values of each
// field, and of each combined chart its stacked series (bottom first), in the table's units.
// rows > 0 keeps the newest rows only.
Response table_json(const std::vector<int32_t> &fields, uint32_t range, uint32_t rows) {
    PlainTable t;
    if (!plain_table(fields.data(), range, t)) return text_response(500, "table error\n");
    const uint32_t first = rows > 0 && rows < t.rows ? t.rows - rows : 0;
    std::string out;
    out.reserve(t.text.size() + size_t(t.rows) * 24 + 256);
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
    const int64_t newest_utc = t.rows > 0 ? local_to_utc(t.timestamps[t.rows - 1]) : 0;
    out += ",\"utc_offset\":";
    out += std::to_string(t.rows > 0 ? int64_t(t.timestamps[t.rows - 1]) - newest_utc : 0);
    out += ",\"timestamps\":[";
    for (uint32_t r = first; r < t.rows; r++) {
        if (r > first) out += ',';
        out += std::to_string(local_to_utc(t.timestamps[r]));
    }
    out += "],\"local_timestamps\":[";
    for (uint32_t r = first; r < t.rows; r++) {
        if (r > first) out += ',';
        out += std::to_string(t.timestamps[r]);
    }
    out += "],\"values\":{";
    for (uint32_t f = 0; f < t.fields; f++) {
        if (f > 0) out += ',';
        json_string(out, names[f]);
        out += ":[";
        for (uint32_t r = first; r < t.rows; r++) {
            if (r > first) out += ',';
            const std::string_view v = t.cell(r, f);
            if (v.empty()) {
                out += "null";
            } else {
                json_number(out, v);
            }
        }
        out += ']';
    }
    out += "},\"series\":{";
    // The stacked parts, scaled as the table scales their sum.
    bool any = false;
    char buf[64];
    for (uint32_t f = 0; f < t.fields; f++) {
        const uint32_t type = uint32_t(fields[f]);
        if (type < 100) continue;
        if (any) out += ',';
        any = true;
        json_string(out, names[f]);
        out += ":[";
        const double mul = charts_data_multiplier(type, range);
        bool first_series = true;
        for (uint32_t cno = 1; cno <= 3; cno++) {
            uint64_t *tab = nullptr;
            if (!charts_filltab(&tab, range, type, cno, charts_getmaxleng())) {
                free(tab);
                continue;
            }
            if (!first_series) out += ',';
            first_series = false;
            out += '[';
            for (uint32_t r = first; r < t.rows; r++) {
                if (r > first) out += ',';
                if (tab[r] == CHARTS_NODATA) {
                    out += "null";
                } else {
                    snprintf(buf, sizeof buf, "%.6f", double(tab[r]) * mul);
                    json_number(out, buf);
                }
            }
            out += ']';
            free(tab);
        }
        out += ']';
    }
    out += "}}\n";
    return ok("application/json", std::move(out));
}

// The file name a download of a table is saved under: "cpu-r0.tsv", "cpu_load-r1.csv".
std::string table_file_name(const std::vector<int32_t> &fields, uint32_t range, const char *ext) {
    std::string name;
    size_t count = 0;
    for (size_t f = 0; fields[f] >= 0; f++) count++;
    if (count > 4) {
        name = "table";
    } else {
        for (size_t f = 0; fields[f] >= 0; f++) {
            if (f > 0) name += '_';
            name += fields[f] < 100 ? statsdump_statdefs[fields[f]].name
                                    : statsdump_estatdefs[fields[f] - 100].name;
        }
    }
    return name + "-r" + std::to_string(range) + "." + ext;
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
    // JSON only: the newest n rows (1..4096), for a chart that shows a window of them.
    uint32_t rows = 0;
    if (const std::string *v = arg(req, "n")) {
        if (!json) return bad("n", "only with format=json");
        if (!parse_u32(*v, rows) || rows == 0 || rows > 4096) return bad("n", "must be 1..4096");
    }
    const uint8_t flags = uint8_t((date ? 1 : 0) | (si ? 2 : 0) | (iec ? 4 : 0));
    std::string key = "table " + std::to_string(range) + " ";
    key += json ? "json " + std::to_string(rows)
                : std::to_string(uint8_t(sep)) + " " + std::to_string(flags);
    for (size_t i = 0; fields[i] >= 0; i++) key += " " + std::to_string(fields[i]);
    const char *ext = json ? "json" : sep == ',' ? "csv" : "tsv";
    // A download keeps a name that says what it holds; the browser still shows it inline.
    const std::string disposition = std::string(json ? "inline" : "attachment") + "; filename=\"" +
                                    table_file_name(fields, range, ext) + "\"";
    Response r;
    if (kept_now(req, key, r)) {
        r.headers.emplace_back("Content-Disposition", disposition);
        return r;
    }
    std::unique_lock<std::mutex> lock;
    if (!store_lock(lock)) return deferred();
    const StoreState &st = store_refresh();
    if (!st.loaded) return unavailable(st);
    if (kept_answer(req, st.generation, key, r)) {
        r.headers.emplace_back("Content-Disposition", disposition);
        return r;
    }
    if (json) {
        r = table_json(fields, range, rows);
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
    r = ok_shared(r.content_type, std::move(body));
    r.headers.emplace_back("Content-Disposition", disposition);
    return r;
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
    out += ",\"answer_bytes_held\":" + std::to_string(budget_used());
    out += "}\n";
    return ok("application/json", std::move(out));
}

// The zone of a UTC instant as the store's clock shows it: "CET, UTC+01:00".
std::string zone_text(int64_t utc) {
    const time_t t = time_t(utc);
    struct tm tm;
    char abbr[32] = "", off[32] = "";
    if (localtime_r(&t, &tm) == nullptr) return "";
    strftime(abbr, sizeof abbr, "%Z", &tm);
    const long o = tm.tm_gmtoff;
    snprintf(off, sizeof off, "%c%02ld:%02ld", o < 0 ? '-' : '+', labs(o) / 3600,
             labs(o) % 3600 / 60);
    return std::string(abbr) + ", UTC" + off;
}

// What every page shows in its header. Under the store lock (the window's figures).
PageData page_data(const StoreState &st, std::vector<int32_t> fields, uint32_t range) {
    PageData p;
    p.name = settings().name;
    p.path = st.path;
    p.loaded = st.loaded;
    p.message = st.message;
    p.newest = st.loaded ? st.newest : 0;
    p.newest_utc = st.loaded ? local_to_utc(p.newest) : 0;
    p.zone = st.loaded ? zone_text(p.newest_utc) : "";
    p.now = time(nullptr);
    p.fields = std::move(fields);
    p.range = range;
    if (st.loaded) {
        // The figures of each chart's window, from the values the table prints (-1: no data).
        std::vector<double> col(charts_getmaxleng());
        for (size_t f = 0; p.fields[f] >= 0; f++) {
            std::fill(col.begin(), col.end(), -1.0);
            uint32_t timestamp = 0, rsec = 0;
            charts_getdata(col.data(), &timestamp, &rsec, uint32_t(p.fields[f]) * 10 + range);
            p.stats.push_back(window_stats(col));
        }
    }
    return p;
}

// Scripts and styles from this origin only; the data is fetched from it too.
void page_headers(Response &r) {
    r.headers.emplace_back("Content-Security-Policy",
                           "default-src 'none'; script-src 'self'; style-src 'self'; "
                           "img-src 'self'; connect-src 'self'; form-action 'self'; "
                           "base-uri 'none'; frame-ancestors 'none'");
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
    std::unique_lock<std::mutex> lock;
    if (!store_lock(lock)) return deferred();
    const StoreState &st = store_refresh();
    Response r = ok("text/html; charset=utf-8", page_html(page_data(st, std::move(fields), range)));
    page_headers(r);
    return r;
}

Response get_view(const Request &req) {
    const std::string *f = arg(req, "f");
    if (f == nullptr || f->empty()) return bad("f", "missing");
    const int32_t type = statsdump_field_type(f->c_str());
    if (type < 0 || type >= 200) return bad("f", "unknown field name");
    Response err;
    uint32_t range;
    if (!get_range(req, range, err)) return err;
    uint32_t page = 0;
    if (const std::string *v = arg(req, "p")) {
        if (!parse_u32(*v, page)) return bad("p", "not a number");
    }
    std::unique_lock<std::mutex> lock;
    if (!store_lock(lock)) return deferred();
    const StoreState &st = store_refresh();
    const std::vector<int32_t> fields = {type, -1};
    std::string table;
    if (st.loaded) {
        table.reserve(size_t(charts_getmaxleng()) * 32);
        statsdump_gencsv_to(fields.data(), range, '\t', 1 | 2, append_text, &table);
    }
    Response r =
        ok("text/html; charset=utf-8", view_html(page_data(st, fields, range), table, page));
    page_headers(r);
    return r;
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
