// SPDX-License-Identifier: Apache-2.0
// statsweb's page and table endpoints: the HTML page and /view, and /table as text or JSON.
#include "views.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <mutex>

#include "charts.h"
#include "encoding.h"
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

}  // namespace

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
    auto key_of = [&](const StoreState &) { return key; };
    Response r = cached(req, key_of, true, [&](const StoreState &) {
        Made m;
        if (json) {
            Response t = table_json(fields, range, rows);
            if (t.status != 200) {
                m.error = std::move(t);
                return m;
            }
            m.content_type = std::move(t.content_type);
            m.body = std::move(t.body);
            return m;
        }
        m.content_type =
            sep == ',' ? "text/csv; charset=utf-8" : "text/tab-separated-values; charset=utf-8";
        // Room for the whole table at once: a timestamp or date and up to about 14 characters
        // per value on each of the 4096 lines.
        m.body.reserve(size_t(charts_getmaxleng()) * (18 + (fields.size() - 1) * 14));
        statsdump_gencsv_to(fields.data(), range, sep, flags, append_text, &m.body);
        return m;
    });
    if (r.status == 200 && r.deferred == Work::none) {
        r.headers.emplace_back("Content-Disposition", disposition);
    }
    return r;
}

namespace {

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

}  // namespace

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

}  // namespace statsweb
