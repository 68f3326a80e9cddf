// SPDX-License-Identifier: Apache-2.0
// statsweb end to end: the real server on a loopback port chosen by the kernel, over statsgen's
// demo data file (TZ=Europe/Warsaw), compared byte for byte with what statsdump prints or draws
// for the same file and with the export records of a store loaded here from the same file. Then
// the server's life: reload on rename, the last good history kept over bad files, 503 before any
// file, bad requests, methods, authentication, HTTPS, arguments and the listening address.
//
// The demo story: 100 days ending 2024-03-05 12:00 UTC (13:00 in Warsaw, UTC+1), so the newest
// range-0 slot is local 13:00 and the slot before it local 12:59, 11:59 UTC.
#include <gtest/gtest.h>

#include <set>

#include "charts.h"
#include "crc.h"
#include "datafile_builder.h"
#include "fields.h"
#include "page.h"
#include "statsdump.h"
#include "statsweb_util.h"
#include "strerr.h"

namespace {

using namespace webtest;
using zeltest::read_file;
using zeltest::split;
using zeltest::TempDir;

constexpr int64_t kSampleUtc = 1709639940;  // 2024-03-05 11:59 UTC: the slot before the newest
constexpr int64_t kNewestUtc = 1709640000;  // 2024-03-05 12:00 UTC
constexpr int64_t kWarsawWinter = 3600;     // local minus UTC seconds in March 2024

std::vector<std::string> base_names() {
    std::vector<std::string> names;
    for (int i = 0; statsdump_statdefs[i].divisor != 0; i++)
        names.push_back(statsdump_statdefs[i].name);
    return names;
}

// One server over the demo file, shared by the read-only cases of a test process.
class StatswebDemo : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir();
        file_ = dir_->file("csstats.zel");
        server_ = new Server();
        ok_ = statsgen(file_) &&
              server_->start({"-i", file_, "-l", "127.0.0.1:0"}, dir_->file("server.err"));
    }
    static void TearDownTestSuite() {
        int st = server_->stop();
        EXPECT_EQ(st, 0) << "statsweb did not exit 0 after SIGTERM";
        delete server_;
        delete dir_;
    }
    void SetUp() override { ASSERT_TRUE(ok_) << "statsweb did not start: " << server_->log(); }

    static Reply req(const std::string &target, const std::vector<std::string> &extra = {}) {
        return get(server_->port(), target, extra);
    }
    static std::string dump(std::vector<std::string> args) {
        args.insert(args.begin(), {"-i", file_});
        return statsdump(args).out;
    }

    static TempDir *dir_;
    static std::string file_;
    static Server *server_;
    static bool ok_;
};

TempDir *StatswebDemo::dir_ = nullptr;
std::string StatswebDemo::file_;
Server *StatswebDemo::server_ = nullptr;
bool StatswebDemo::ok_ = false;

// Headers every data answer carries.
void expect_data_headers(const Reply &r, const std::string &type, const std::string &what) {
    EXPECT_EQ(r.header("Content-Type"), type) << what;
    EXPECT_EQ(r.header("Content-Length"), std::to_string(r.body.size())) << what;
    EXPECT_EQ(lower(r.header("Cache-Control")), "no-cache") << what;
    EXPECT_EQ(lower(r.header("X-Content-Type-Options")), "nosniff") << what;
}

TEST_F(StatswebDemo, ChartsAreTheFilesStatsdumpDraws) {
    struct Case {
        std::string query;
        std::vector<std::string> opts;
        std::string field;
    };
    const Case cases[] = {
        {"f=cpu", {}, "cpu"},
        {"f=ucpu&r=1", {"-r", "1"}, "ucpu"},
        {"f=space&r=3", {"-r", "3"}, "space"},
        {"f=hddcnt&r=2&x=400&y=100", {"-r", "2", "-x", "400", "-y", "100"}, "hddcnt"},
        {"f=load&x=150&y=120", {"-x", "150", "-y", "120"}, "load"},
        {"f=udiff&r=0&x=9999&y=33", {"-x", "9999", "-y", "33"}, "udiff"},
    };
    for (const auto &c : cases) {
        std::vector<std::string> args = {"-f", c.field, "-p", dir_->file("c.png")};
        args.insert(args.end(), c.opts.begin(), c.opts.end());
        dump(args);
        std::string png = read_file(dir_->file("c_" + c.field + ".png"));
        ASSERT_GT(png.size(), 8u) << c.query;
        Reply r = req("/chart?" + c.query);
        EXPECT_EQ(r.status, 200) << c.query;
        EXPECT_TRUE(r.body == png) << c.query << ": " << r.body.size() << " vs " << png.size();
        expect_data_headers(r, "image/png", c.query);
        unlink(dir_->file("c_" + c.field + ".png").c_str());
    }
}

TEST_F(StatswebDemo, TablesAreWhatStatsdumpPrints) {
    struct Case {
        std::string query;
        std::vector<std::string> opts;
        std::string type;
    };
    const std::string tsv = "text/tab-separated-values; charset=utf-8";
    const Case cases[] = {
        {"f=ucpu", {"-f", "ucpu"}, tsv},
        {"f=cpu,load,hddcnt&r=1&d=1", {"-f", "cpu,load,hddcnt", "-r", "1", "-d"}, tsv},
        {"f=space,bwin&r=2&H=1", {"-f", "space,bwin", "-r", "2", "-H"}, tsv},
        {"f=mem;chunks%20udiff&r=3&h=1", {"-f", "mem;chunks udiff", "-r", "3", "-h"}, tsv},
        {"f=ucpu,scpu&s=,", {"-f", "ucpu,scpu", "-s", ","}, "text/csv; charset=utf-8"},
        {"f=*&r=3", {"-f", "*", "-r", "3"}, tsv},
        {"f=*&r=0&d=1&H=1", {"-f", "*", "-r", "0", "-d", "-H"}, tsv},
        {"f=hddok&unknown=1&r=2", {"-f", "hddok", "-r", "2"}, tsv},
        {"f=ucpu,cpu&f=ucpu&f=load", {"-f", "ucpu,cpu", "-f", "ucpu", "-f", "load"}, tsv},
    };
    for (const auto &c : cases) {
        std::string want = dump(c.opts);
        ASSERT_FALSE(want.empty()) << c.query;
        Reply r = req("/table?" + c.query);
        EXPECT_EQ(r.status, 200) << c.query;
        EXPECT_TRUE(r.body == want) << c.query << ": " << r.body.size() << " vs " << want.size();
        expect_data_headers(r, c.type, c.query);
    }
}

// The JSON table: every value of statsdump's table, times in UTC seconds (the store's local
// seconds alongside), and for the combined charts their stacked parts, which add up to the
// table's value. n keeps the newest rows.
TEST_F(StatswebDemo, JsonTableCarriesThePlainValues) {
    const std::string fields = "ucpu,load,hddcnt,space,hddmfr";
    struct Case {
        int range;
        size_t rows;  // 0: all
    };
    for (const Case c : {Case{0, 0}, Case{3, 0}, Case{1, 700}, Case{0, 1}}) {
        const int range = c.range;
        SCOPED_TRACE("range " + std::to_string(range) + " rows " + std::to_string(c.rows));
        std::vector<std::string> rows = lines_of(dump({"-f", fields, "-r", std::to_string(range)}));
        ASSERT_EQ(rows.size(), 4097u);
        const size_t n = c.rows == 0 ? 4096 : c.rows, skip = 4096 - n;
        Reply r = req("/table?f=" + fields + "&r=" + std::to_string(range) + "&format=json" +
                      (c.rows ? "&n=" + std::to_string(c.rows) : ""));
        ASSERT_EQ(r.status, 200);
        expect_data_headers(r, "application/json", "json");
        Json j;
        ASSERT_TRUE(JsonReader::parse(r.body, j)) << r.body.substr(0, 200);
        const Json *f = j.get("fields"), *rg = j.get("range"), *step = j.get("step"),
                   *ts = j.get("timestamps"), *vals = j.get("values"),
                   *local = j.get("local_timestamps"), *off = j.get("utc_offset"),
                   *series = j.get("series");
        ASSERT_TRUE(f && rg && step && ts && vals && local && off && series);
        std::vector<std::string> names = split(fields, ',');
        ASSERT_EQ(f->items.size(), names.size());
        for (size_t i = 0; i < names.size(); i++) EXPECT_EQ(f->items[i].str, names[i]);
        EXPECT_EQ(rg->num, range);
        EXPECT_EQ(step->num, charts_range_seconds(range));
        EXPECT_EQ(off->num, 3600) << "Warsaw in March";
        ASSERT_EQ(ts->items.size(), n);
        ASSERT_EQ(local->items.size(), n);
        ASSERT_EQ(vals->members.size(), names.size());
        // Combined charts only: hddcnt (3 parts) and space (free and used).
        ASSERT_EQ(series->members.size(), 2u);
        ASSERT_TRUE(series->get("hddcnt") && series->get("space"));
        EXPECT_EQ(series->get("hddcnt")->items.size(), 3u);
        EXPECT_EQ(series->get("space")->items.size(), 2u);
        EXPECT_EQ(ts->items.back().num, kNewestUtc - (range == 3 ? 13 * 3600 : 0))
            << "the newest slot in UTC";
        int mismatches = 0;
        for (size_t i = 0; i < n; i++) {
            const size_t row = skip + i;
            std::vector<std::string> cols = split(rows[row + 1], '\t');
            if (local->items[i].str != cols[0]) mismatches++;
            // Winter time in Warsaw throughout: UTC is an hour behind the local seconds.
            if (ts->items[i].num != local->items[i].num - 3600 && range != 3) mismatches++;
            for (const char *combined : {"hddcnt", "space"}) {
                const Json &total = vals->get(combined)->items[i];
                double sum = 0;
                bool any = false;
                for (const Json &part : series->get(combined)->items) {
                    ASSERT_EQ(part.items.size(), n);
                    if (part.items[i].kind == Json::Number) sum += part.items[i].num, any = true;
                }
                if (any != (total.kind == Json::Number) ||
                    (any && std::abs(sum - total.num) > 1e-6 * std::max(1.0, total.num))) {
                    if (++mismatches < 5) ADD_FAILURE() << combined << " row " << row;
                }
            }
            for (size_t k = 0; k < names.size(); k++) {
                const Json *column = vals->get(names[k]);
                ASSERT_TRUE(column != nullptr && column->items.size() == n) << names[k];
                const Json &v = column->items[i];
                bool ok = cols[k + 1] == "-"
                              ? v.kind == Json::Null
                              : v.kind == Json::Number && same_value(v.num, cols[k + 1]);
                if (!ok && ++mismatches < 5) {
                    ADD_FAILURE() << names[k] << " row " << row << ": table " << cols[k + 1]
                                  << ", json " << (v.kind == Json::Null ? "null" : v.str);
                }
            }
        }
        EXPECT_EQ(mismatches, 0);
    }
}

// The export records against a store loaded in this process from the same file.
TEST_F(StatswebDemo, DataIsTheExportRecord) {
    setenv("TZ", kTz, 1);
    tzset();
    mycrc32_init();
    strerr_init();
    ASSERT_EQ(charts_init(statsdump_calcdefs, statsdump_statdefs, statsdump_estatdefs,
                          file_.c_str(), CHARTS_MODE_TOOL),
              0);
    struct Case {
        std::string query;
        uint32_t number, max;
        uint8_t multi;
    };
    const Case cases[] = {
        {"n=0&m=4096&multi=0", 0, 4096, 0},
        {"n=473&m=5000&multi=0", 473, 5000, 0},
        {"n=1&m=0&multi=0", 1, 0, 0},
        {"n=1001&m=100&multi=1", 1001, 100, 1},
        {"n=1109&m=4096&multi=1", 1109, 4096, 1},
        {"n=1119&m=3&multi=1", 1119, 3, 1},
        {"n=UCPu&m=7&multi=1", 0x55435075, 7, 1},
        {"n=EC4C&m=5&multi=0", 0x45433443, 5, 0},
        {"n=1430474837&m=3&multi=1", 0x55435055, 3, 1},
        {"n=TCPU&m=12&multi=1", 0x54435055, 12, 1},
        // Invalid records: an extended chart alone, ranges 4 and 9 alone, unknown types.
        {"n=1009&m=5&multi=0", 1009, 5, 0},
        {"n=9&m=5&multi=0", 9, 5, 0},
        {"n=4&m=5&multi=1", 4, 5, 1},
        {"n=480&m=5&multi=1", 480, 5, 1},
        {"n=uCPU&m=5&multi=1", 0x75435055, 5, 1},
        {"n=ZZZZ&m=5&multi=1", 0x5A5A5A5A, 5, 1},
    };
    for (const auto &c : cases) {
        uint32_t size = charts_makedata(nullptr, c.number, c.max, c.multi);
        Reply r = req("/data?" + c.query);
        if (size == 0) {
            EXPECT_EQ(r.status, 404) << c.query;
            continue;
        }
        std::string want(size, '\0');
        charts_makedata(reinterpret_cast<uint8_t *>(want.data()), c.number, c.max, c.multi);
        EXPECT_EQ(r.status, 200) << c.query;
        EXPECT_TRUE(r.body == want) << c.query << ": " << r.body.size() << " vs " << size;
        expect_data_headers(r, "application/octet-stream", c.query);
    }
    charts_term();
}

// One sample line of an exposition: the family name (labels dropped), the value and the time
// stamp ("" when absent) as texts.
struct Line {
    std::string name, value, ts;
};
bool sample_line(const std::string &l, Line &out) {
    if (l.empty() || l[0] == '#') return false;
    const size_t brace = l.find('{');
    const size_t end = brace != std::string::npos ? l.find("} ", brace) + 1 : l.find(' ');
    std::vector<std::string> w = split(l.substr(end + 1), ' ');
    out = {l.substr(0, std::min(brace, end)), w[0], w.size() > 1 ? w[1] : ""};
    return true;
}

// The demo file ends in 2024, far from the clock: /metrics leaves the statistic families out and
// keeps the health ones (statsweb_prometheus_test reads current files).
TEST_F(StatswebDemo, MetricsOfAnOldFileLeaveTheStatisticsOut) {
    struct Variant {
        std::vector<std::string> accept;
        std::string type;
    };
    const Variant variants[] = {
        {{}, "text/plain; version=0.0.4; charset=utf-8"},
        {{"Accept: application/openmetrics-text; version=1.0.0,text/plain;q=0.5"},
         "application/openmetrics-text; version=1.0.0; charset=utf-8"},
    };
    for (const auto &v : variants) {
        SCOPED_TRACE(v.type);
        Reply r = req("/metrics", v.accept);
        ASSERT_EQ(r.status, 200);
        expect_data_headers(r, v.type, "metrics");
        bool om = v.type.find("openmetrics") != std::string::npos;
        if (om) {
            EXPECT_TRUE(r.body.size() >= 6 && r.body.compare(r.body.size() - 6, 6, "# EOF\n") == 0);
        }
        std::map<std::string, std::string> s;
        Line line;
        for (const auto &l : lines_of(r.body)) {
            if (sample_line(l, line)) s[line.name] = line.value;
        }
        for (int i = 0; statsdump_statdefs[i].name != nullptr; i++) {
            const std::string m = statsweb::kFieldTexts[i].metric;
            EXPECT_EQ(r.body.find("# HELP " + m + " "), std::string::npos) << m;
        }
        EXPECT_EQ(s.size(), 5u) << r.body;
        EXPECT_EQ(s["zelcs_data_file_loaded"], "1");
        EXPECT_EQ(strtod(s["zelcs_data_file_newest_minute_timestamp_seconds"].c_str(), nullptr),
                  kNewestUtc);
    }
}

// The whole range-0 history: one sample per complete slot with data (the newest is still being
// filled), at the slot's UTC time, in the metric's base unit.
TEST_F(StatswebDemo, OpenMetricsHistoryHasEverySlotWithData) {
    const std::vector<std::string> names = base_names();
    std::string list;
    for (const auto &n : names) list += (list.empty() ? "" : ",") + n;
    std::vector<std::string> rows = lines_of(dump({"-f", list, "-r", "0"}));
    ASSERT_EQ(rows.size(), 4097u);
    std::map<std::string, std::pair<std::string, double>> want;  // "metric utc" -> table, factor
    for (size_t i = 1; i + 1 < rows.size(); i++) {
        std::vector<std::string> cols = split(rows[i], '\t');
        int64_t utc = strtoll(cols[0].c_str(), nullptr, 10) - kWarsawWinter;
        for (size_t k = 0; k < names.size(); k++) {
            const statsweb::FieldText &t = statsweb::kFieldTexts[k];
            if (cols[k + 1] == "-") continue;
            std::string key = t.metric;
            key += ' ';
            key += std::to_string(utc);
            want[key] = {cols[k + 1], t.factor};
        }
    }
    Reply r = req("/openmetrics?r=0&instance=cs1");
    ASSERT_EQ(r.status, 200);
    expect_data_headers(r, "application/openmetrics-text; version=1.0.0; charset=utf-8", "om");
    ASSERT_TRUE(r.body.size() >= 6 && r.body.compare(r.body.size() - 6, 6, "# EOF\n") == 0);
    size_t count = 0, bad = 0;
    std::set<std::string> families;
    Line w;
    for (const auto &l : lines_of(r.body)) {
        if (!sample_line(l, w)) continue;
        ASSERT_FALSE(w.ts.empty()) << l;
        EXPECT_NE(l.find("{job=\"zelstats\",instance=\"cs1\",resolution=\"1m\"} "),
                  std::string::npos)
            << l;
        families.insert(w.name);
        count++;
        auto it = want.find(w.name + " " + std::to_string((int64_t)strtod(w.ts.c_str(), nullptr)));
        if (it == want.end() ||
            !same_value(strtod(w.value.c_str(), nullptr) / it->second.second, it->second.first)) {
            if (++bad < 5) ADD_FAILURE() << "unexpected sample: " << l;
        }
    }
    EXPECT_EQ(count, want.size());
    EXPECT_EQ(bad, 0u);
    EXPECT_LE(families.size(), 48u);
    EXPECT_NE(r.body.find(" " + std::to_string(kSampleUtc) + "\n"), std::string::npos);
    EXPECT_EQ(r.body.find(" " + std::to_string(kNewestUtc) + "\n"), std::string::npos)
        << "the newest slot is not complete";
}

TEST_F(StatswebDemo, StatusAndPage) {
    Reply s = req("/status");
    ASSERT_EQ(s.status, 200);
    expect_data_headers(s, "application/json", "status");
    Json j;
    ASSERT_TRUE(JsonReader::parse(s.body, j)) << s.body;
    ASSERT_TRUE(j.get("file") && j.get("loaded") && j.get("load_error"));
    EXPECT_EQ(j.get("file")->str, file_);
    EXPECT_TRUE(j.get("loaded")->b);
    EXPECT_EQ(j.get("load_error")->kind, Json::Null);
    EXPECT_NE(s.body.find(std::to_string(kNewestUtc)), std::string::npos) << s.body;
    ASSERT_TRUE(j.get("metrics_current"));
    EXPECT_FALSE(j.get("metrics_current")->b) << "2024 is far from the clock";

    Reply p = req("/");
    ASSERT_EQ(p.status, 200);
    EXPECT_EQ(p.header("Content-Type"), "text/html; charset=utf-8");
    EXPECT_EQ(p.header("Content-Length"), std::to_string(p.body.size()));
    EXPECT_EQ(lower(p.header("X-Content-Type-Options")), "nosniff");
    std::string csp = p.header("Content-Security-Policy");
    EXPECT_NE(csp.find("default-src 'none'"), std::string::npos) << csp;
    EXPECT_NE(csp.find("script-src 'self';"), std::string::npos) << "own scripts only: " << csp;
    EXPECT_EQ(csp.find("unsafe"), std::string::npos) << csp;
    EXPECT_NE(p.body.find(file_), std::string::npos);
    EXPECT_NE(p.body.find("2024-03-05 13:00</time> <span class=\"zone\">CET, UTC+01:00</span>"),
              std::string::npos)
        << "newest minute, local, with its zone";
    EXPECT_NE(p.body.find("data is old"), std::string::npos) << "the demo's data is years old";
    // The script and style sheet the page names are the program's own.
    for (const std::string asset : {"/statsweb.js", "/statsweb.css"}) {
        EXPECT_NE(p.body.find("\"" + asset + "\""), std::string::npos) << asset;
        Reply a = req(asset);
        EXPECT_EQ(a.status, 200) << asset;
        EXPECT_GT(a.body.size(), 1000u) << asset;
    }
    EXPECT_EQ(req("/statsweb.js").header("Content-Type"), "text/javascript; charset=utf-8");
    EXPECT_NE(req("/statsweb.css").body.find(".sw2-1{background:linear-gradient("),
              std::string::npos);
    // Every chart image the page shows is a chart the server draws.
    std::set<std::string> fields;
    for (const auto &src : img_srcs(p.body)) {
        Reply c = req(src);
        EXPECT_EQ(c.status, 200) << src;
        EXPECT_EQ(c.header("Content-Type"), "image/png") << src;
        fields.insert(query_value(src, "f"));
    }
    const std::set<std::string> extended = {"cpu",      "bwin",    "bwout",   "hddread",
                                            "hddwrite", "hddopsr", "hddopsw", "mem",
                                            "move",     "space",   "chunks",  "hddcnt"};
    EXPECT_EQ(fields, extended);

    // The form's choice: the fields and the range asked for.
    Reply chosen = req("/?f=ucpu,load&r=2");
    ASSERT_EQ(chosen.status, 200);
    std::vector<std::string> srcs = img_srcs(chosen.body);
    ASSERT_EQ(srcs.size(), 2u);
    EXPECT_NE(srcs[0].find("f=ucpu"), std::string::npos) << srcs[0];
    EXPECT_NE(srcs[1].find("f=load"), std::string::npos) << srcs[1];
    for (const auto &src : srcs) EXPECT_NE(src.find("r=2"), std::string::npos) << src;
    EXPECT_EQ(req("/?r=5").status, 400);
    EXPECT_EQ(req("/?f=%3Cscript%3E").status, 400);
}

TEST_F(StatswebDemo, HeadMethodsAndBadRequests) {
    // HEAD: the headers of GET, its Content-Length, no body.
    for (const std::string target :
         {"/", "/chart?f=cpu", "/table?f=ucpu&r=1", "/metrics", "/status", "/data?n=0&m=9&multi=0",
          "/view?f=hddcnt&r=2", "/statsweb.js"}) {
        Reply g = req(target);
        Reply h = http(server_->port(), "HEAD", target);
        EXPECT_EQ(h.status, g.status) << target;
        EXPECT_EQ(h.header("Content-Type"), g.header("Content-Type")) << target;
        EXPECT_EQ(h.header("Content-Length"), std::to_string(g.body.size())) << target;
        EXPECT_TRUE(h.body.empty()) << target;
    }
    for (const std::string m : {"POST", "PUT", "DELETE", "OPTIONS"}) {
        Reply r = http(server_->port(), m, "/table?f=ucpu", {"Content-Length: 0"});
        EXPECT_EQ(r.status, 405) << m;
        EXPECT_NE(r.header("Allow").find("GET"), std::string::npos) << m;
        EXPECT_NE(r.header("Allow").find("HEAD"), std::string::npos) << m;
    }
    for (const std::string target : {"/nothing", "/chart/", "/table.tsv", "/../etc/passwd", "//"}) {
        EXPECT_EQ(req(target).status, 404) << target;
    }
    struct Bad {
        std::string target, param;
    };
    const Bad bad[] = {
        {"/table?f=nosuch", "f"},
        {"/table?f=", "f"},
        {"/table", "f"},
        {"/table?f=ucpu&r=4", "r"},
        {"/table?f=ucpu&r=-1", "r"},
        {"/table?f=ucpu&r=x", "r"},
        {"/chart?f=cpu&x=abc", "x"},
        {"/chart?f=cpu&y=1e3", "y"},
        {"/chart?f=nosuch", "f"},
        {"/chart?f=cpu,ucpu", "f"},
        {"/data?n=zzzzz&m=1&multi=1", "n"},
        {"/data?n=0&m=x&multi=0", "m"},
        {"/data?n=&m=1&multi=0", "n"},
        {"/openmetrics?r=7", "r"},
        {"/table?f=ucpu&format=xml", "format"},
        {"/table?f=ucpu&n=5", "n"},
        {"/table?f=ucpu&format=json&n=0", "n"},
        {"/table?f=ucpu&format=json&n=4097", "n"},
        {"/view", "f"},
        {"/view?f=nosuch", "f"},
        {"/view?f=cpu&r=4", "r"},
        {"/view?f=cpu&p=-1", "p"},
    };
    for (const auto &b : bad) {
        Reply r = req(b.target);
        EXPECT_EQ(r.status, 400) << b.target;
        EXPECT_EQ(std::count(r.body.begin(), r.body.end(), '\n'), 1) << b.target << ": " << r.body;
        EXPECT_TRUE(has_word(r.body, b.param)) << b.target << ": " << r.body;
    }
}

// Downloads are saved under names that say what they hold; the page of one field pages through
// its table, newest first, with statsdump's dates and the page's numbers.
TEST_F(StatswebDemo, DownloadNamesAndTablePages) {
    struct Name {
        const char *target, *disposition;
    };
    const Name names[] = {
        {"/table?f=cpu&r=0", "attachment; filename=\"cpu-r0.tsv\""},
        {"/table?f=cpu,load&r=2&s=,", "attachment; filename=\"cpu_load-r2.csv\""},
        {"/table?f=ucpu&r=3&s=;&d=1", "attachment; filename=\"ucpu-r3.tsv\""},
        {"/table?f=*&r=1", "attachment; filename=\"table-r1.tsv\""},
        {"/table?f=hddcnt&r=1&format=json", "inline; filename=\"hddcnt-r1.json\""},
    };
    for (const auto &n : names) {
        Reply r = req(n.target);
        EXPECT_EQ(r.status, 200) << n.target;
        EXPECT_EQ(r.header("Content-Disposition"), n.disposition) << n.target;
        // A kept answer carries it too.
        EXPECT_EQ(req(n.target).header("Content-Disposition"), n.disposition) << n.target;
    }
    // /view shows the table's dates and its values as the page's figures show them.
    std::vector<std::string> want = lines_of(dump({"-f", "load", "-r", "1", "-d"}));
    for (std::string &line : want) {
        const size_t tab = line.find('\t');
        const std::string v = line.substr(tab + 1);
        if (v != "-" && v != "load") {
            line = line.substr(0, tab + 1) + statsweb::value_text(strtod(v.c_str(), nullptr), "");
        }
    }
    ASSERT_EQ(want.size(), 4097u);
    struct Page {
        const char *query;
        size_t first, count;  // rows of the table, counted from the newest
    };
    const Page pages[] = {
        {"", 0, 240}, {"&p=1", 240, 240}, {"&p=17", 4080, 16}, {"&p=99", 4080, 16}};
    for (const auto &pg : pages) {
        Reply v = req(std::string("/view?f=load&r=1") + pg.query);
        ASSERT_EQ(v.status, 200) << pg.query;
        EXPECT_NE(v.header("Content-Security-Policy").find("script-src 'self'"), std::string::npos);
        std::vector<std::string> rows;
        for (size_t at = v.body.find("<tr><td>"); at != std::string::npos;
             at = v.body.find("<tr><td>", at + 1)) {
            const size_t a = at + 8, mid = v.body.find("</td><td>", a);
            const size_t end = v.body.find("</td></tr>", mid);
            rows.push_back(v.body.substr(a, mid - a) + "\t" +
                           v.body.substr(mid + 9, end - mid - 9));
        }
        ASSERT_EQ(rows.size(), pg.count) << pg.query;
        for (size_t i = 0; i < rows.size(); i++) {
            EXPECT_EQ(rows[i], want[4096 - pg.first - i]) << pg.query << " row " << i;
        }
        EXPECT_EQ(img_srcs(v.body).size(), 1u) << pg.query;
    }
    EXPECT_EQ(req("/favicon.ico").status, 204);
}

// ---- the server's life -----------------------------------------------------------------------

// A data file that goes through good, bad and missing states while one server watches it.
TEST(StatswebLife, ReloadKeepsTheLastGoodHistory) {
    TempDir dir;
    // A path with characters the page must escape.
    std::string sub = dir.file("a<b>&\"c");
    mkdir(sub.c_str(), 0700);
    std::string file = sub + "/csstats.zel";
    std::string a = dir.file("a.zel"), b = dir.file("b.zel");
    ASSERT_TRUE(statsgen(a));
    ASSERT_TRUE(statsgen(b, {"-s", "7", "-e", "1709726400"}));
    std::string abytes = read_file(a), bbytes = read_file(b);
    std::string want_a = statsdump({"-i", a, "-f", "ucpu,hddok", "-r", "0"}).out;
    std::string want_b = statsdump({"-i", b, "-f", "ucpu,hddok", "-r", "0"}).out;
    ASSERT_NE(want_a, want_b);

    Server srv;
    ASSERT_TRUE(srv.start({"-i", file, "-l", "127.0.0.1:0"}, dir.file("err"))) << srv.log();
    const int port = srv.port();
    auto table = [&] { return get(port, "/table?f=ucpu,hddok&r=0"); };
    auto status = [&] {
        Json j;
        Reply r = get(port, "/status");
        EXPECT_TRUE(JsonReader::parse(r.body, j)) << r.body;
        return j;
    };
    const std::string missing = "file loading error: ENOENT (No such file or directory)";

    // No file yet: every data endpoint answers 503 with the load message.
    for (const std::string t : {"/table?f=ucpu", "/chart?f=cpu", "/openmetrics?r=0",
                                "/data?n=0&m=5&multi=0", "/table?f=cpu&format=json"}) {
        Reply r = get(port, t);
        EXPECT_EQ(r.status, 503) << t;
        EXPECT_NE(r.body.find(missing), std::string::npos) << t << ": " << r.body;
    }
    // /metrics tells a rule why there are no statistics.
    EXPECT_NE(get(port, "/metrics").body.find("\nzelcs_data_file_loaded 0\n"), std::string::npos);
    Reply page = get(port, "/");
    EXPECT_EQ(page.status, 200);
    EXPECT_NE(page.body.find("a&lt;b&gt;&amp;&quot;c"), std::string::npos);
    EXPECT_EQ(page.body.find("a<b>"), std::string::npos);
    EXPECT_NE(page.body.find(missing), std::string::npos);
    Json st = status();
    EXPECT_FALSE(st.get("loaded") && st.get("loaded")->b);
    EXPECT_EQ(st.get("file") ? st.get("file")->str : "", file);

    // Each step: what replaces the file, then the table and the load message expected.
    struct Step {
        const char *what;
        std::string bytes;  // empty: remove the file
        const std::string *table;
        std::string message;
    };
    std::string badtag = abytes;
    badtag[1] = 2;
    const Step steps[] = {
        {"first file appears", abytes, &want_a, ""},
        {"replaced by rename", bbytes, &want_b, ""},
        {"truncated", bbytes.substr(0, 3000000), &want_b,
         "error reading charts data file: unexpected end of file after 3000000 bytes"},
        {"wrong tag", badtag, &want_b, "unrecognized charts data file format"},
        {"good again", abytes, &want_a, ""},
        {"removed", "", &want_a, missing},
        {"empty", "", &want_a, ""},
        {"back", bbytes, &want_b, ""},
        // Written in place: caught half-written, then complete; then overwritten without
        // truncation, where only the modification time tells (same file, same size).
        {"in place: half", abytes.substr(0, abytes.size() / 2), &want_b,
         "error reading charts data file: unexpected end of file after " +
             std::to_string(abytes.size() / 2) + " bytes"},
        {"in place: whole", abytes, &want_a, ""},
        {"in place: the other", bbytes, &want_b, ""},
    };
    for (const auto &s : steps) {
        SCOPED_TRACE(s.what);
        const std::string what = s.what;
        if (what == "removed") {
            unlink(file.c_str());
        } else if (what == "empty") {
            replace_file(file, "");
        } else if (what.compare(0, 9, "in place:") == 0) {
            int fd = open(file.c_str(), O_WRONLY | (what == "in place: the other" ? 0 : O_TRUNC));
            ASSERT_GE(fd, 0);
            ASSERT_EQ(pwrite(fd, s.bytes.data(), s.bytes.size(), 0), (ssize_t)s.bytes.size());
            close(fd);
        } else {
            replace_file(file, s.bytes);
        }
        Reply r = table();
        EXPECT_EQ(r.status, 200);
        EXPECT_TRUE(r.body == *s.table) << r.body.substr(0, 200);
        Json j = status();
        ASSERT_TRUE(j.get("loaded") && j.get("load_error"));
        EXPECT_TRUE(j.get("loaded")->b);
        if (what == "empty") {
            EXPECT_EQ(j.get("load_error")->kind, Json::String);
        } else if (s.message.empty()) {
            EXPECT_EQ(j.get("load_error")->kind, Json::Null) << j.get("load_error")->str;
        } else {
            EXPECT_EQ(j.get("load_error")->str, s.message);
            EXPECT_NE(get(port, "/").body.find(s.message), std::string::npos);
        }
    }
    EXPECT_EQ(srv.stop(), 0);
}

// Used space at 90 % of the total or more is an event of /status, from the finest range that
// covers it: a span at exactly 90 % in range 0 and one in range 1 before range 0 begins count,
// one at 89.9 % does not.
TEST(StatswebLife, SpaceEventsAreReadFromTheData) {
    TempDir dir;
    const std::string file = dir.file("space.zel");
    struct Span {
        uint32_t range, first, count;
        uint64_t used;  // of 1000
        bool event;
    };
    const Span spans[] = {{0, 4000, 50, 900, true},
                          {0, 3000, 20, 899, false},
                          {1, 100, 10, 950, true},
                          {1, 200, 5, 899, false}};
    auto used = [&](uint32_t r, uint32_t k) -> uint64_t {
        for (const Span &sp : spans) {
            if (sp.range == r && k >= sp.first && k < sp.first + sp.count) return sp.used;
        }
        return 500;
    };
    zeltest::write_file(
        file,
        zeldata::header(4096, 2, 28494000) + zeldata::record("usedspace", 4096, used) +
            zeldata::record("totalspace", 4096, [](uint32_t, uint32_t) { return uint64_t(1000); }));
    Server srv;
    ASSERT_TRUE(srv.start({"-i", file, "-l", "127.0.0.1:0"}, dir.file("err"))) << srv.log();
    const int port = srv.port();
    auto json = [&](const std::string &target) {
        Json j;
        Reply r = get(port, target);
        EXPECT_TRUE(JsonReader::parse(r.body, j)) << target << ": " << r.body;
        return j;
    };
    std::vector<std::string> want;
    for (const Span &sp : spans) {
        if (!sp.event) continue;
        const Json t = json("/table?format=json&f=usedspace&r=" + std::to_string(sp.range));
        const Json *ts = t.get("timestamps");
        ASSERT_TRUE(ts != nullptr && ts->items.size() == 4096);
        want.push_back("space_90 usedspace " + ts->items[sp.first].str + " " +
                       ts->items[sp.first + sp.count].str + " " + std::to_string(sp.range));
    }
    std::vector<std::string> got;
    const Json st = json("/status");
    ASSERT_TRUE(st.get("events") != nullptr);
    for (const Json &e : st.get("events")->items) {
        got.push_back(e.get("kind")->str + " " + e.get("field")->str + " " + e.get("start")->str +
                      " " + e.get("end")->str + " " + e.get("range")->str);
    }
    std::sort(want.begin(), want.end());
    EXPECT_EQ(got, want);
    EXPECT_EQ(srv.stop(), 0);
}

TEST(StatswebLife, AuthenticationAndArguments) {
    TempDir dir;
    std::string file = dir.file("d.zel");
    ASSERT_TRUE(statsgen(file, {"-d", "3"}));
    zeltest::write_file(dir.file("auth"), "ops:s3cret\n");
    Server srv;
    ASSERT_TRUE(
        srv.start({"-i", file, "-l", "127.0.0.1:0", "-a", dir.file("auth")}, dir.file("err")))
        << srv.log();
    struct Case {
        std::vector<std::string> headers;
        int status;
    };
    const Case cases[] = {
        {{}, 401},
        {{"Authorization: Basic b3BzOndyb25n"}, 401},      // ops:wrong
        {{"Authorization: Basic b3A6czNjcmV0"}, 401},      // op:s3cret
        {{"Authorization: Basic b3BzOnMzY3JldA=="}, 200},  // ops:s3cret
        {{"Authorization: Basic b3BzOnMzY3JldA"}, 401},    // cut short
        {{"Authorization: Basic !!!!"}, 401},
        {{"Authorization: Basic b3Bz"}, 401},  // ops, no colon
        {{"Authorization: Bearer b3BzOnMzY3JldA=="}, 401},
        {{"Authorization: Basic b3BzOnMzY3JldHg="}, 401},  // ops:s3cretx
    };
    for (const std::string target : {"/status", "/table?f=ucpu", "/", "/nothing"}) {
        for (const auto &c : cases) {
            Reply r = get(srv.port(), target, c.headers);
            int want = c.status == 200 && target == "/nothing" ? 404 : c.status;
            EXPECT_EQ(r.status, want) << target << " " << (c.headers.empty() ? "" : c.headers[0]);
            if (want == 401) {
                EXPECT_NE(r.header("WWW-Authenticate").find("Basic"), std::string::npos);
                EXPECT_EQ(r.body.find("ucpu"), std::string::npos);
            }
        }
    }
    EXPECT_EQ(srv.stop(), 0);

    // Bad arguments: usage and 2, before anything listens.
    const std::vector<std::vector<std::string>> bad = {
        {"-q"},
        {"-l"},
        {"-l", "127.0.0.1"},
        {"-l", "127.0.0.1:notaport"},
        {"-l", "127.0.0.1:65536"},
        {"-l", "[::1:80"},
        {"-i", file, "extra"},
        {"-c", dir.file("cert.pem")},
    };
    for (const auto &args : bad) {
        auto [status, err] = run_statsweb(args, dir.file("bad.err"));
        std::string shown;
        for (const auto &a : args) shown += a + " ";
        EXPECT_EQ(status, 2) << shown << err;
        EXPECT_FALSE(err.empty()) << shown;
    }

    // A port in use: one line naming the address and the error, status 1.
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(fd, (struct sockaddr *)&sa, sizeof sa), 0);
    ASSERT_EQ(listen(fd, 1), 0);
    socklen_t len = sizeof sa;
    getsockname(fd, (struct sockaddr *)&sa, &len);
    std::string addr = "127.0.0.1:" + std::to_string(ntohs(sa.sin_port));
    auto [status, err] = run_statsweb({"-i", file, "-l", addr}, dir.file("busy.err"));
    close(fd);
    EXPECT_EQ(status, 1) << err;
    // Start-up log lines may come first; one line tells what failed.
    int naming = 0;
    for (const auto &l : lines_of(err)) {
        if (l.find(addr) == std::string::npos) continue;
        naming++;
        EXPECT_NE(l.find("Address already in use"), std::string::npos) << l;
    }
    EXPECT_EQ(naming, 1) << err;
}

// What a client cannot do: send a body, an endless URL or header, hold a polling thread with a
// request it never finishes, or open connections without end.
TEST(StatswebLife, Limits) {
    TempDir dir;
    std::string file = dir.file("d.zel");
    ASSERT_TRUE(statsgen(file, {"-d", "3"}));
    Server srv;
    ASSERT_TRUE(srv.start({"-i", file, "-l", "127.0.0.1:0"}, dir.file("err"))) << srv.log();
    const int port = srv.port();

    Conn idle;  // a request line and never the end of the headers
    ASSERT_TRUE(idle.connect_to(port));
    const std::string partial = "GET /status HTTP/1.1\r\nHost: x\r\n";
    ASSERT_EQ(send(idle.fd(), partial.data(), partial.size(), 0), (ssize_t)partial.size());

    struct Case {
        const char *what;
        std::string method, target;
        std::vector<std::string> headers;
        std::string body;
    };
    const Case cases[] = {
        {"a body", "GET", "/status", {"Content-Length: 5"}, "hello"},
        {"a chunked body",
         "GET",
         "/status",
         {"Transfer-Encoding: chunked"},
         "5\r\nhello\r\n0\r\n\r\n"},
        {"a long URL", "GET", "/table?f=" + std::string(100000, 'u'), {}, ""},
        {"a long header", "GET", "/status", {"X-Junk: " + std::string(100000, 'j')}, ""},
        {"many headers", "GET", "/status", std::vector<std::string>(3000, "X-Junk: 0123456789"),
         ""},
    };
    for (const auto &c : cases) {
        Conn conn;
        ASSERT_TRUE(conn.connect_to(port));
        Reply r = conn.request(c.method, c.target, c.headers, false, c.body);
        EXPECT_TRUE(r.status == 0 || (r.status >= 400 && r.status < 500))
            << c.what << ": " << r.status;
        EXPECT_EQ(get(port, "/status").status, 200) << "after " << c.what;
    }

    // Connections from one address beyond the limit are refused; the ones within still work.
    std::vector<std::unique_ptr<Conn>> many;
    for (int i = 0; i < 300; i++) {
        many.push_back(std::make_unique<Conn>());
        many.back()->connect_to(port);
    }
    int answered = 0;
    for (auto &c : many) answered += c->request("GET", "/status").status == 200;
    EXPECT_GE(answered, 64);
    EXPECT_LT(answered, 300);
    many.clear();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(get(port, "/status").status, 200);
    EXPECT_EQ(srv.stop(), 0);
}

// SIGTERM and SIGINT: an answer in flight is finished, a client that never reads does not hold
// the exit for long, and the status is 0.
TEST(StatswebLife, StopsCleanly) {
    TempDir dir;
    std::string file = dir.file("d.zel");
    ASSERT_TRUE(statsgen(file));
    const std::string big = "/table?f=*&d=1";
    const std::string want = statsdump({"-i", file, "-f", "*", "-d"}).out;
    for (int sig : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(sig);
        Server srv;
        ASSERT_TRUE(srv.start({"-i", file, "-l", "127.0.0.1:0"}, dir.file("err"))) << srv.log();
        Conn reader, stalled, idle;
        ASSERT_TRUE(reader.connect_to(srv.port(), 4096));
        ASSERT_TRUE(stalled.connect_to(srv.port(), 4096));
        ASSERT_TRUE(idle.connect_to(srv.port()));
        ASSERT_EQ(idle.request("GET", "/status").status, 200);
        ASSERT_TRUE(reader.send_request("GET", big));
        ASSERT_TRUE(stalled.send_request("GET", big));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        kill(srv.pid(), sig);
        Reply r = reader.read_reply("GET");
        EXPECT_EQ(r.status, 200);
        EXPECT_TRUE(r.body == want) << r.body.size() << " of " << want.size() << " bytes";
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(srv.stop(sig), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(15));
    }
}

TEST(StatswebLife, ListensOnIpv6Loopback) {
    int probe = socket(AF_INET6, SOCK_STREAM, 0);
    struct sockaddr_in6 a6 = {};
    a6.sin6_family = AF_INET6;
    a6.sin6_addr = in6addr_loopback;
    bool have = probe >= 0 && bind(probe, (struct sockaddr *)&a6, sizeof a6) == 0;
    if (probe >= 0) close(probe);
    if (!have) GTEST_SKIP() << "no IPv6 loopback";
    TempDir dir;
    Server srv;
    ASSERT_TRUE(srv.start({"-i", dir.file("none.zel"), "-l", "[::1]:0"}, dir.file("err")))
        << srv.log();
    EXPECT_EQ(srv.line(), "statsweb listening on http://[::1]:" + std::to_string(srv.port()) + "/");
    EXPECT_EQ(srv.stop(), 0);
}

TEST(StatswebLife, Https) {
    if (access("/usr/bin/openssl", X_OK) != 0 || access("/usr/bin/curl", X_OK) != 0) {
        GTEST_SKIP() << "openssl and curl are needed";
    }
    TempDir dir;
    std::string file = dir.file("d.zel");
    ASSERT_TRUE(statsgen(file, {"-d", "3"}));
    std::string cert = dir.file("cert.pem"), key = dir.file("key.pem");
    auto gen = zeltest::run_program({"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048",
                                     "-nodes", "-keyout", key, "-out", cert, "-days", "2", "-subj",
                                     "/CN=localhost"});
    ASSERT_EQ(gen.status, 0) << gen.err;
    Server srv;
    ASSERT_TRUE(
        srv.start({"-i", file, "-l", "127.0.0.1:0", "-c", cert, "-k", key}, dir.file("err")))
        << srv.log();
    std::string url = "https://127.0.0.1:" + std::to_string(srv.port()) + "/";
    EXPECT_EQ(srv.line(), "statsweb listening on " + url);
    std::string body = dir.file("body");
    auto r = zeltest::run_program({"/usr/bin/curl", "-sS", "-k", "--max-time", "20", "-o", body,
                                   "-w", "%{http_code}", url + "table?f=ucpu,hddcnt&r=1"});
    EXPECT_EQ(r.out, "200") << r.err;
    EXPECT_TRUE(read_file(body) == statsdump({"-i", file, "-f", "ucpu,hddcnt", "-r", "1"}).out);
    // Plain HTTP to the TLS port gets no answer of ours.
    EXPECT_NE(get(srv.port(), "/status").status, 200);
    EXPECT_EQ(srv.stop(), 0);
}

}  // namespace
