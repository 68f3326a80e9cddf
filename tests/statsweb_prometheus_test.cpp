// SPDX-License-Identifier: Apache-2.0
// statsweb and a real Prometheus, end to end, over statsgen files whose newest minute is the
// current one: /metrics of two servers (both formats, plain and gzip) against what statsdump
// prints for the same files times each metric's factor; then Prometheus 2 with the shipped
// docs/prometheus files (the configuration templated with the ports and a 1 s interval, the rules
// as shipped, their own tests) over both servers, after the four ranges of both histories were
// backfilled into its database: nothing overwritten, every backfilled series right, the live
// scrape on top without rejected samples, the scraped gauges and their metadata, every recording
// rule and dashboard expression answering, the alerts, and a removed and an old data file.
// Without Prometheus the statsweb side is still checked and the test reports itself skipped.
#include <gtest/gtest.h>
#include <zlib.h>

#include "fields.h"
#include "statsdump.h"
#include "statsweb_util.h"
#include "text.h"

namespace {

using namespace webtest;
using zeltest::read_file;
using zeltest::run_program;
using zeltest::TempDir;

const char *const kPrometheus = "/usr/bin/prometheus";
const char *const kPromtool = "/usr/bin/promtool";
const std::string kDocs = std::string(ZEL_SOURCE_DIR) + "/docs/prometheus/";
constexpr const char *kResolution[4] = {"1m", "6m", "30m", "1d"};

std::string gunzip(const std::string &gz) {
    z_stream z = {};
    if (inflateInit2(&z, 15 + 16) != Z_OK) return "";
    std::string out;
    char buf[65536];
    z.next_in = (Bytef *)gz.data();
    z.avail_in = (uInt)gz.size();
    int rc = Z_OK;
    while (rc == Z_OK) {
        z.next_out = (Bytef *)buf;
        z.avail_out = sizeof buf;
        rc = inflate(&z, Z_NO_FLUSH);
        out.append(buf, sizeof buf - z.avail_out);
    }
    inflateEnd(&z);
    return rc == Z_STREAM_END ? out : "not gzip";
}

std::string url_encode(const std::string &s) {
    std::string out;
    for (unsigned char c : s) {
        char hex[4];
        snprintf(hex, sizeof hex, "%%%02X", c);
        out += isalnum(c) || strchr("-_.~", c) ? std::string(1, (char)c) : hex;
    }
    return out;
}

// The end of a log, for a failure message.
std::string log_tail(const std::string &path) {
    std::string log = read_file(path);
    return log.size() > 2000 ? log.substr(log.size() - 2000) : log;
}

bool replace_once(std::string &text, const std::string &from, const std::string &to) {
    size_t at = text.find(from);
    if (at == std::string::npos || text.find(from, at + 1) != std::string::npos) return false;
    text.replace(at, from.size(), to);
    return true;
}

int free_port() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(fd, (struct sockaddr *)&a, sizeof a);
    getsockname(fd, (struct sockaddr *)&a, &len);
    close(fd);
    return ntohs(a.sin_port);
}

template <typename F>
bool eventually(F done, int seconds = 30) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return true;
}

// A program running for the rest of the scope, whatever ends it: SIGTERM, SIGKILL after 10 s.
class Background {
  public:
    ~Background() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        for (int i = 0; i < 1000 && waitpid(pid_, nullptr, WNOHANG) != pid_; i++) usleep(10000);
        if (kill(pid_, SIGKILL) == 0) waitpid(pid_, nullptr, 0);
    }
    void start(const std::vector<std::string> &argv, const std::string &log) {
        pid_ = fork();
        if (pid_ != 0) return;
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 1);
        dup2(fd, 2);
        std::vector<char *> args;
        for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }

  private:
    pid_t pid_ = -1;
};

// One sample of an instant query's vector.
struct Sample {
    std::map<std::string, std::string> labels;
    double value = 0;
};

std::vector<Sample> query(int port, const std::string &promql, int64_t at = 0) {
    std::string target = "/api/v1/query?query=" + url_encode(promql);
    if (at != 0) target += "&time=" + std::to_string(at);
    Reply r = get(port, target);
    Json j;
    std::vector<Sample> out;
    const Json *res =
        JsonReader::parse(r.body, j) && j.get("data") ? j.get("data")->get("result") : nullptr;
    if (r.status != 200 || res == nullptr) {
        ADD_FAILURE() << promql << ": " << r.status << " " << r.body;
        return out;
    }
    for (const Json &item : res->items) {
        Sample s;
        for (const auto &m : item.get("metric")->members) s.labels[m.first] = m.second.str;
        s.value = strtod(item.get("value")->items[1].str.c_str(), nullptr);
        out.push_back(s);
    }
    return out;
}

// name -> value of a query's samples.
std::map<std::string, double> by_name(const std::vector<Sample> &samples) {
    std::map<std::string, double> out;
    for (const Sample &s : samples) out[s.labels.at("__name__")] = s.value;
    return out;
}

// The samples of an exposition: name -> value, and name -> time stamp text for those that have
// one; statistics carry exactly the label resolution="1m".
std::map<std::string, double> exposition(const std::string &text,
                                         std::map<std::string, std::string> *stamps = nullptr) {
    std::map<std::string, double> out;
    for (const auto &l : lines_of(text)) {
        if (l.empty() || l[0] == '#') continue;
        const size_t brace = l.find('{'), end = l.find(' ', l.find('}') + 1);
        const std::string name = l.substr(0, std::min(brace, l.find(' ')));
        if (name.compare(0, 15, "zelcs_data_file") != 0 && name != "zelcs_build_info") {
            EXPECT_EQ(l.substr(brace, end - brace), "{resolution=\"1m\"}") << l;
        }
        std::vector<std::string> w = split(l.substr(end + 1), ' ');
        out[name] = strtod(w[0].c_str(), nullptr);
        if (stamps != nullptr && w.size() > 1) (*stamps)[name] = w[1];
    }
    return out;
}

// statsdump's table of every base statistic in one range, each row split.
std::vector<std::vector<std::string>> table(const std::string &file, int range) {
    std::string all;
    for (int i = 0; statsdump_statdefs[i].name != nullptr; i++) {
        all += std::string(all.empty() ? "" : ",") + statsdump_statdefs[i].name;
    }
    std::vector<std::vector<std::string>> rows;
    for (const auto &l :
         lines_of(statsdump({"-i", file, "-f", all, "-r", std::to_string(range)}).out)) {
        rows.push_back(split(l, '\t'));
    }
    return rows;
}

// Every statistic's metric against a table row: the printed number times the factor, missing
// where the table shows "-".
void expect_statistics(const std::map<std::string, double> &got,
                       const std::vector<std::string> &row, const std::string &what) {
    for (int i = 0; statsdump_statdefs[i].name != nullptr; i++) {
        const statsweb::FieldText &t = statsweb::kFieldTexts[i];
        auto it = got.find(t.metric);
        if (row[i + 1] == "-") {
            EXPECT_TRUE(it == got.end()) << what << ": " << t.metric << " has no data";
        } else if (it == got.end()) {
            ADD_FAILURE() << what << ": " << t.metric << " is missing";
        } else {
            EXPECT_TRUE(same_value(it->second / t.factor, row[i + 1]))
                << what << ": " << t.metric << " " << it->second << " vs table " << row[i + 1];
        }
    }
}

// One statsweb over a statsgen file; hist is the file whose history is backfilled.
struct Instance {
    std::string name, file, hist;
    Server web;
    std::vector<std::vector<std::string>> rows;  // range 0 of the live file
};

TEST(StatswebPrometheus, FleetScrapedBackfilledRecordedAndAlerted) {
    TempDir dir;
    zeltest::ScopedTz tz(kTz);
    const int64_t now = time(nullptr) / 60 * 60;
    // The second server's name needs escaping in a label value.
    Instance fleet[2];
    fleet[0].name = "cs-a";
    fleet[1].name = "cs-b \"2\"";
    for (int i = 0; i < 2; i++) {
        Instance &in = fleet[i];
        in.file = dir.file("live" + std::to_string(i) + ".zel");
        in.hist = dir.file("hist" + std::to_string(i) + ".zel");
        // The history ends 3 minutes before the live file: backfilled blocks end before the
        // first scraped minute, as when an operator backfills before the first scrape.
        ASSERT_TRUE(statsgen(
            in.hist, {"-e", std::to_string(now - 180), "-d", "3", "-s", std::to_string(i + 1)}));
        ASSERT_TRUE(
            statsgen(in.file, {"-e", std::to_string(now), "-d", "3", "-s", std::to_string(i + 1)}));
        ASSERT_TRUE(in.web.start({"-i", in.hist, "-l", "127.0.0.1:0", "-n", in.name},
                                 dir.file("web" + std::to_string(i) + ".err")));
        in.rows = table(in.file, 0);
        ASSERT_EQ(in.rows.size(), 4097u);
    }

    // The histories, all four ranges of both servers, before the live files replace them.
    std::vector<std::string> histories;
    size_t history_samples = 0;
    for (const Instance &in : fleet) {
        for (int r = 0; r < 4; r++) {
            Reply h = get(in.web.port(), "/openmetrics?r=" + std::to_string(r));
            ASSERT_EQ(h.status, 200);
            for (const auto &l : lines_of(h.body)) history_samples += !l.empty() && l[0] != '#';
            histories.push_back(dir.file("history" + std::to_string(histories.size()) + ".om"));
            zeltest::write_file(histories.back(), h.body);
        }
        EXPECT_EQ(get(in.web.port(), "/openmetrics?r=0&job=%01").status, 400);
    }
    for (Instance &in : fleet) {
        EXPECT_EQ(in.web.stop(), 0);
        ASSERT_TRUE(
            in.web.start({"-i", in.file, "-l", "127.0.0.1:0", "-n", in.name}, dir.file("web.err")));
    }

    // /metrics in both formats, plain and compressed: the newest complete minute, stamped.
    for (const Instance &in : fleet) {
        const std::vector<std::string> &minute = in.rows[4095];
        for (const bool om : {false, true}) {
            std::vector<std::string> headers;
            if (om) headers.push_back("Accept: application/openmetrics-text; version=1.0.0");
            Reply plain = get(in.web.port(), "/metrics", headers);
            headers.push_back("Accept-Encoding: gzip");
            Reply gz = get(in.web.port(), "/metrics", headers);
            const std::string what = in.name + (om ? " openmetrics" : " text");
            ASSERT_EQ(plain.status, 200) << what;
            EXPECT_FALSE(plain.has("Content-Encoding")) << what;
            EXPECT_EQ(gz.header("Content-Encoding"), "gzip") << what;
            EXPECT_EQ(gz.header("Vary"), "Accept-Encoding") << what;
            EXPECT_TRUE(gunzip(gz.body) == plain.body) << what;
            EXPECT_EQ(
                om, plain.body.find("\n# UNIT zelcs_usedspace_bytes bytes\n") != std::string::npos);
            std::map<std::string, std::string> stamps;
            std::map<std::string, double> got = exposition(plain.body, &stamps);
            expect_statistics(got, minute, what);
            for (const auto &st : stamps) {
                EXPECT_EQ(st.second, std::to_string(om ? now - 60 : (now - 60) * 1000)) << st.first;
            }
            EXPECT_EQ(got["zelcs_data_file_newest_minute_timestamp_seconds"], now);
            EXPECT_EQ(got["zelcs_data_file_loaded"], 1);
            EXPECT_EQ(got["zelcs_data_file_load_failures_total"], 0);
            EXPECT_EQ(got["zelcs_build_info"], 1);
            if (access(kPromtool, X_OK) == 0) {
                zeltest::write_file(dir.file("metrics"), plain.body);
                auto res = run_program(
                    {"/bin/sh", "-c",
                     std::string(kPromtool) + " check metrics < " + dir.file("metrics")});
                EXPECT_EQ(res.status, 0) << what;
                EXPECT_EQ(res.out + res.err, "") << what;
            }
        }
    }
    // Text answers compressed as they are made and one kept: the same bytes once inflated.
    for (const std::string target : {"/table?f=*", "/openmetrics?r=2", "/status"}) {
        const int port = fleet[0].web.port();
        Reply plain = get(port, target), gz = get(port, target, {"Accept-Encoding: gzip"});
        EXPECT_EQ(gz.has("Content-Encoding"), plain.body.size() > 1024) << target;
        EXPECT_TRUE((gz.has("Content-Encoding") ? gunzip(gz.body) : gz.body) == plain.body)
            << target;
    }

    const bool have_prometheus = access(kPrometheus, X_OK) == 0 && access(kPromtool, X_OK) == 0;
    Background prometheus;
    const int pport = free_port();
    if (have_prometheus) {
        // Both histories into one database: every sample kept.
        const std::string db = dir.file("db");
        for (const std::string &h : histories) {
            auto res = run_program({kPromtool, "tsdb", "create-blocks-from", "openmetrics", h, db});
            ASSERT_EQ(res.status, 0) << res.out << res.err;
        }
        mkdir((db + "/wal").c_str(), 0700);  // the dump opens the write-ahead log too
        auto dump = run_program(
            {"/bin/sh", "-c", std::string(kPromtool) + " tsdb dump " + db + " | wc -l"});
        EXPECT_EQ(strtoull(dump.out.c_str(), nullptr, 10), history_samples) << dump.err;

        // The shipped configuration over both servers, one static and one from file_sd.
        std::string config = read_file(kDocs + "prometheus.yml");
        const std::string a = "127.0.0.1:" + std::to_string(fleet[0].web.port());
        const std::string b = "127.0.0.1:" + std::to_string(fleet[1].web.port());
        ASSERT_TRUE(replace_once(config, "'localhost:9740'", "'" + a + "'"));
        ASSERT_TRUE(replace_once(config, "instance: localhost", "instance: " + fleet[0].name));
        ASSERT_TRUE(replace_once(config, "scrape_interval: 60s", "scrape_interval: 1s"));
        ASSERT_TRUE(replace_once(config, "evaluation_interval: 60s", "evaluation_interval: 1s"));
        ASSERT_TRUE(
            replace_once(config, "- zelstats.rules.yml", "- " + kDocs + "zelstats.rules.yml"));
        zeltest::write_file(dir.file("prometheus.yml"), config);
        mkdir(dir.file("zelstats-targets").c_str(), 0700);
        zeltest::write_file(
            dir.file("zelstats-targets/b.yml"),
            "- targets: ['" + b + "']\n  labels:\n    instance: '" + fleet[1].name + "'\n");
        for (const std::vector<std::string> &args :
             {std::vector<std::string>{kPromtool, "check", "config", dir.file("prometheus.yml")},
              {kPromtool, "test", "rules", kDocs + "zelstats.rules.test.yml"}}) {
            auto res = run_program(args);
            EXPECT_EQ(res.status, 0) << args[1] << " " << args[2] << res.out << res.err;
        }
        prometheus.start(
            {kPrometheus, "--config.file=" + dir.file("prometheus.yml"),
             "--storage.tsdb.path=" + db, "--web.listen-address=127.0.0.1:" + std::to_string(pport),
             "--log.level=warn"},
            dir.file("prometheus.log"));
        ASSERT_TRUE(eventually([&] { return get(pport, "/-/ready").status == 200; }))
            << log_tail(dir.file("prometheus.log"));

        // The backfilled history: one instant per server and resolution, a day back (in range
        // 3 the day before the newest complete one).
        const int back[4] = {1440, 240, 48, 1};
        for (const Instance &in : fleet) {
            for (int r = 0; r < 4; r++) {
                const auto rows = table(in.hist, r);
                const std::vector<std::string> &row = rows[4095 - back[r]];
                const int64_t at = statsweb::local_to_utc(strtoll(row[0].c_str(), nullptr, 10));
                std::string sel = "{__name__=~\"zelcs_.+\",job=\"zelstats\",instance=\"";
                for (char c : in.name) sel += c == '"' ? std::string("\\\"") : std::string(1, c);
                sel += std::string("\",resolution=\"") + kResolution[r] + "\"}";
                expect_statistics(by_name(query(pport, sel, at)), row,
                                  in.name + " backfilled " + kResolution[r]);
            }
        }

        // The live scrapes: up, and every statistic as statsweb gives it.
        for (const Instance &in : fleet) {
            std::vector<Sample> live;
            const std::string sel = "{job=\"zelstats\"}";
            // The health families come with the first scrape only, not with the backfill.
            EXPECT_TRUE(eventually([&] {
                live.clear();
                for (const Sample &s : query(pport, "{__name__=~\"zelcs_.+\"," + sel.substr(1))) {
                    if (s.labels.at("instance") == in.name) live.push_back(s);
                }
                size_t want = 0;
                for (size_t c = 1; c < in.rows[4095].size(); c++) want += in.rows[4095][c] != "-";
                const std::map<std::string, double> got = by_name(live);
                return got.size() == want + 5 && got.count("zelcs_data_file_loaded") == 1;
            })) << log_tail(dir.file("prometheus.log"));
            expect_statistics(by_name(live), in.rows[4095], in.name + " scraped");
        }
        std::vector<Sample> up = query(pport, "up{job=\"zelstats\"}");
        ASSERT_EQ(up.size(), 2u);
        for (const Sample &s : up) EXPECT_EQ(s.value, 1) << s.labels.at("instance");

        // Nothing rejected: the live minutes come after the backfilled ones.
        Reply self = get(pport, "/metrics");
        for (const auto &l : lines_of(self.body)) {
            if (l.compare(0, 33, "prometheus_target_scrapes_sample_") == 0) {
                EXPECT_EQ(l.substr(l.rfind(' ') + 1), "0") << l;
            }
        }

        // Metadata: type, HELP and unit from the field table.
        Json meta;
        ASSERT_TRUE(JsonReader::parse(get(pport, "/api/v1/metadata").body, meta));
        for (int i = 0; statsdump_statdefs[i].name != nullptr; i++) {
            const statsweb::FieldText &t = statsweb::kFieldTexts[i];
            const Json *m = meta.get("data")->get(t.metric);
            ASSERT_TRUE(m != nullptr && !m->items.empty()) << t.metric;
            EXPECT_EQ(m->items[0].get("type")->str, "gauge") << t.metric;
            EXPECT_EQ(m->items[0].get("help")->str, statsweb::metric_help(i)) << t.metric;
            EXPECT_EQ(m->items[0].get("unit")->str, t.metric_unit) << t.metric;
        }

        // Every recording rule and every dashboard expression answers for both servers.
        std::vector<std::string> exprs;
        Json rules, dash;
        ASSERT_TRUE(JsonReader::parse(get(pport, "/api/v1/rules?type=record").body, rules));
        for (const Json &g : rules.get("data")->get("groups")->items) {
            for (const Json &rule : g.get("rules")->items) exprs.push_back(rule.get("name")->str);
        }
        EXPECT_EQ(exprs.size(), 28u);
        ASSERT_TRUE(JsonReader::parse(read_file(kDocs + "zelstats-dashboard.json"), dash));
        const Json *panels = dash.get("panels");
        ASSERT_EQ(panels->items.size(), 12u);
        for (size_t p = 0; p < 12; p++) {
            const Json &panel = panels->items[p];
            const statsweb::ChartText &c = statsweb::kChartTexts[p];
            EXPECT_EQ(panel.get("title")->str, c.title);
            const auto &targets = panel.get("targets")->items;
            for (size_t k = 0; k < targets.size(); k++) {
                std::string e = targets[k].get("expr")->str;
                while (e.find("$instance") != std::string::npos)
                    e.replace(e.find("$instance"), 9, ".+");
                exprs.push_back(e);
                EXPECT_NE(targets[k].get("legendFormat")->str.find(c.series[k]), std::string::npos);
            }
            EXPECT_EQ(targets.size(), size_t(c.series[2] ? 3 : 2))
                << statsdump_field_name(int32_t(100 + p));
        }
        for (const std::string &e : exprs) {
            EXPECT_TRUE(eventually([&] { return query(pport, e).size() == 2; }, 10)) << e;
        }

        // The alerts of current files: damaged disks and disks marked for removal, on both.
        EXPECT_TRUE(eventually([&] {
            return query(pport, "count(ALERTS{job=\"zelstats\"}) == 4").size() == 1;
        })) << get(pport, "/api/v1/alerts").body;
    }

    // The second file removed: statsweb keeps its statistics and says the load failed; the first
    // replaced by one two hours old: statsweb leaves the statistics out.
    unlink(fleet[1].file.c_str());
    std::map<std::string, double> kept = exposition(get(fleet[1].web.port(), "/metrics").body);
    EXPECT_EQ(kept["zelcs_data_file_loaded"], 0);
    EXPECT_EQ(kept["zelcs_data_file_load_failures_total"], 1);
    expect_statistics(kept, fleet[1].rows[4095], "after the removal");
    const std::string old = dir.file("old.zel");
    ASSERT_TRUE(statsgen(old, {"-e", std::to_string(now - 7200), "-d", "3"}));
    replace_file(fleet[0].file, read_file(old));
    std::map<std::string, double> left = exposition(get(fleet[0].web.port(), "/metrics").body);
    EXPECT_EQ(left.size(), 5u) << "the health families only";
    EXPECT_EQ(left["zelcs_data_file_newest_minute_timestamp_seconds"], now - 7200);
    Json status;
    ASSERT_TRUE(JsonReader::parse(get(fleet[0].web.port(), "/status").body, status));
    EXPECT_EQ(status.get("name")->str, fleet[0].name);
    EXPECT_FALSE(status.get("metrics_current")->b);
    EXPECT_EQ(status.get("warning")->kind, Json::Null);
    EXPECT_EQ(status.get("load_failures")->num, 0);
    // A file an hour ahead, as one read in the wrong zone: /status and the log warn.
    const std::string ahead = dir.file("ahead.zel");
    ASSERT_TRUE(statsgen(ahead, {"-e", std::to_string(now + 3600), "-d", "3"}));
    const std::string second = fleet[1].file + ".2";
    replace_file(second, read_file(ahead));
    Server skewed;
    ASSERT_TRUE(skewed.start({"-i", second, "-l", "127.0.0.1:0"}, dir.file("skewed.err")));
    Json warned;
    ASSERT_TRUE(JsonReader::parse(get(skewed.port(), "/status").body, warned));
    ASSERT_EQ(warned.get("warning")->kind, Json::String);
    EXPECT_NE(warned.get("warning")->str.find("ahead of the clock"), std::string::npos);
    EXPECT_NE(skewed.log().find(warned.get("warning")->str), std::string::npos) << skewed.log();
    EXPECT_EQ(skewed.stop(), 0);
    if (!have_prometheus) GTEST_SKIP() << kPrometheus << " or " << kPromtool << " is not installed";

    std::string b_loaded = "zelcs_data_file_loaded{job=\"zelstats\",instance=\"cs-b \\\"2\\\"\"}";
    EXPECT_TRUE(eventually([&] {
        auto v = query(pport, b_loaded);
        return v.size() == 1 && v[0].value == 0;
    }));
    EXPECT_TRUE(eventually([&] {
        return !query(pport, "ALERTS{alertname=\"ZelstatsDataOld\",instance=\"cs-a\"}").empty();
    })) << get(pport, "/api/v1/alerts").body;
    for (Instance &in : fleet) EXPECT_EQ(in.web.stop(), 0);
}

}  // namespace
