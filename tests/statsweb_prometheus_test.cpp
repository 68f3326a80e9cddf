// SPDX-License-Identifier: Apache-2.0
// statsweb and a real Prometheus, end to end, over statsgen files whose newest minute is the
// current one (three days each; the second server's name needs escaping in a label value).
// Each case starts what it needs from one fixture: /metrics of both servers (both formats, plain
// and gzip) against what statsdump prints times each metric's factor; text answers compressed
// alike; Prometheus 2 with the shipped docs/prometheus files (the configuration templated with a
// 1 s interval, its target list the fleet's) scraping both servers while statsweb-backfill loads
// both histories into its data folder: cut at the head, refused beyond the retention with a
// warning, every slot with data accounted for, owned like the folder, nothing scraped lost over a
// restart; the scraped gauges and their metadata; every recording rule and dashboard expression
// answering, the alerts; and a removed, an old and a skewed data file. Without Prometheus the
// statsweb cases still run and the others report themselves skipped.
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
    ~Background() { stop(); }
    void stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        for (int i = 0; i < 1000 && waitpid(pid_, nullptr, WNOHANG) != pid_; i++) usleep(10000);
        if (kill(pid_, SIGKILL) == 0) waitpid(pid_, nullptr, 0);
        pid_ = -1;
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

std::vector<Sample> query(int port, const std::string &promql, double at = 0) {
    std::string target = "/api/v1/query?query=" + url_encode(promql);
    if (at != 0) {
        char t[32];
        snprintf(t, sizeof t, "%.3f", at);
        target += std::string("&time=") + t;
    }
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

// The number of samples a range selector holds at an instant.
size_t samples_in(int port, const std::string &selector, double at) {
    char t[32];
    snprintf(t, sizeof t, "%.3f", at);
    Reply r = get(port, "/api/v1/query?query=" + url_encode(selector) + "&time=" + t);
    Json j;
    const Json *res =
        JsonReader::parse(r.body, j) && j.get("data") ? j.get("data")->get("result") : nullptr;
    if (r.status != 200 || res == nullptr) {
        ADD_FAILURE() << selector << ": " << r.status << " " << r.body;
        return 0;
    }
    size_t n = 0;
    for (const Json &item : res->items) n += item.get("values")->items.size();
    return n;
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

const char *const kBackfill = ZEL_SOURCE_DIR "/tools/statsweb-backfill";

// A PromQL string literal of any text.
std::string promql_string(const std::string &text) {
    std::string out = "\"";
    for (char c : text) out += c == '"' || c == '\\' ? std::string("\\") + c : std::string(1, c);
    return out + "\"";
}

// 1234567 as 1,234,567.
std::string grouped(size_t n) {
    std::string digits = std::to_string(n), out;
    for (size_t i = 0; i < digits.size(); i++) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

// The value of one of Prometheus' own gauges.
double own_gauge(int port, const std::string &name) {
    for (const auto &l : lines_of(get(port, "/metrics").body)) {
        if (l.compare(0, name.size() + 1, name + " ") == 0)
            return strtod(l.c_str() + name.size() + 1, nullptr);
    }
    return -1;
}

// One statsweb over a statsgen file ending now (three days).
struct Instance {
    std::string name, file;
    Server web;
    std::vector<std::vector<std::string>> rows;  // range 0
};

class StatswebPrometheus : public ::testing::Test {
  protected:
    TempDir dir;
    zeltest::ScopedTz tz{kTz};
    const int64_t now = time(nullptr) / 60 * 60;
    Instance fleet[2];
    Background prometheus;
    int pport = 0;
    const std::string db = dir.file("db");

    void SetUp() override {
        fleet[0].name = "cs-a";
        fleet[1].name = "cs-b \"2\"";
        for (int i = 0; i < 2; i++) {
            Instance &in = fleet[i];
            in.file = dir.file("live" + std::to_string(i) + ".zel");
            ASSERT_TRUE(statsgen(
                in.file, {"-e", std::to_string(now), "-d", "3", "-s", std::to_string(i + 1)}));
            ASSERT_TRUE(in.web.start({"-i", in.file, "-l", "127.0.0.1:0", "-n", in.name},
                                     dir.file("web" + std::to_string(i) + ".err")));
            in.rows = table(in.file, 0);
            ASSERT_EQ(in.rows.size(), 4097u);
        }
    }

    static bool have_prometheus() {
        return access(kPrometheus, X_OK) == 0 && access(kPromtool, X_OK) == 0 &&
               access("/usr/bin/python3", X_OK) == 0;
    }

    // The shipped configuration with a 1 s interval, the rules as shipped, and the fleet in
    // zelstats-targets/fleet.yml, which is also the backfill's target list.
    std::string targets() const { return dir.file("zelstats-targets/fleet.yml"); }
    void write_config() {
        std::string config = read_file(kDocs + "prometheus.yml");
        ASSERT_TRUE(replace_once(config, "scrape_interval: 20s", "scrape_interval: 1s"));
        ASSERT_TRUE(replace_once(config, "evaluation_interval: 1m", "evaluation_interval: 1s"));
        ASSERT_TRUE(
            replace_once(config, "- zelstats.rules.yml", "- " + kDocs + "zelstats.rules.yml"));
        zeltest::write_file(dir.file("prometheus.yml"), config);
        mkdir(dir.file("zelstats-targets").c_str(), 0700);
        std::string list = "# the fleet\n";
        for (const Instance &in : fleet) {
            list += "- targets: ['127.0.0.1:" + std::to_string(in.web.port()) +
                    "']\n  labels:\n    instance: '" + in.name + "'\n";
        }
        zeltest::write_file(targets(), list);
    }
    void start_prometheus(const std::string &retention = "15d") {
        if (pport == 0) {
            write_config();
            pport = free_port();
            mkdir(db.c_str(), 0755);
        }
        prometheus.start(
            {kPrometheus, "--config.file=" + dir.file("prometheus.yml"),
             "--storage.tsdb.path=" + db, "--storage.tsdb.retention.time=" + retention,
             "--web.listen-address=127.0.0.1:" + std::to_string(pport), "--log.level=warn"},
            dir.file("prometheus.log"));
        ASSERT_TRUE(eventually([&] { return get(pport, "/-/ready").status == 200; }))
            << log_tail(dir.file("prometheus.log"));
    }
    // Both servers scraped: their statistics of the newest complete minute, the health families.
    void wait_scraped() {
        for (const Instance &in : fleet) {
            std::vector<Sample> live;
            EXPECT_TRUE(eventually([&] { return scraped(in, live); }))
                << in.name << log_tail(dir.file("prometheus.log"));
        }
    }
    // The live samples of a server: every statistic as statsweb gives it and the 5 health
    // families (those come with the scrapes only, not with the backfill).
    bool scraped(const Instance &in, std::vector<Sample> &live) {
        live = query(pport, "{__name__=~\"zelcs_.+\",job=\"zelstats\",instance=" +
                                promql_string(in.name) + ",resolution=~\"1m|\"}");
        size_t want = 0;
        for (size_t c = 1; c < in.rows[4095].size(); c++) want += in.rows[4095][c] != "-";
        const std::map<std::string, double> got = by_name(live);
        return got.size() == want + 5 && got.count("zelcs_data_file_loaded") == 1;
    }
    zeltest::RunResult backfill() {
        return run_program({"/usr/bin/python3", kBackfill, "--prometheus-data", db,
                            "--prometheus-url", "http://127.0.0.1:" + std::to_string(pport),
                            targets()});
    }
};

TEST_F(StatswebPrometheus, MetricsEqualStatsdumpInBothFormats) {
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
            // A counter's family is named without _total in OpenMetrics, its sample with it.
            EXPECT_NE(
                plain.body.find(om ? "\n# TYPE zelcs_data_file_load_failures counter\n"
                                   : "\n# TYPE zelcs_data_file_load_failures_total counter\n"),
                std::string::npos)
                << what;
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
            // promtool lints the text format (OpenMetrics is read by a strict parser in
            // statsweb_backfill_test.py).
            if (!om && access(kPromtool, X_OK) == 0) {
                zeltest::write_file(dir.file("metrics"), plain.body);
                auto res = run_program(
                    {"/bin/sh", "-c",
                     std::string(kPromtool) + " check metrics < " + dir.file("metrics")});
                EXPECT_EQ(res.status, 0) << what;
                EXPECT_EQ(res.out + res.err, "") << what;
            }
        }
    }
}

TEST_F(StatswebPrometheus, TextAnswersCompressAlike) {
    // Text answers compressed as they are made and one kept: the same bytes once inflated. The
    // JSON table's gzip form is spliced from its columns' blocks: windows that start and end on
    // a block's edge or inside one, one slot, every slot, none; each asked twice (made, kept).
    std::vector<std::string> targets = {"/table?f=*", "/openmetrics?r=2", "/status"};
    for (const char *window : {"", "&n=1", "&n=255", "&n=256", "&n=257", "&n=1550", "&n=4095",
                               "&since=0", "&since=4000000000"}) {
        for (const char *f : {"cpu,mem,hddcnt", "*"}) {
            targets.push_back(std::string("/table?format=json&r=") +
                              (strncmp(window, "&n=", 3) == 0 ? "0" : "2") + "&f=" + f + window);
        }
    }
    for (const std::string &target : targets) {
        const int port = fleet[0].web.port();
        for (int again = 0; again < 2; again++) {
            Reply plain = get(port, target), gz = get(port, target, {"Accept-Encoding: gzip"});
            EXPECT_EQ(gz.has("Content-Encoding"), plain.body.size() > 1024) << target;
            EXPECT_TRUE((gz.has("Content-Encoding") ? gunzip(gz.body) : gz.body) == plain.body)
                << target << (again ? ", kept" : "");
        }
    }
    for (const Instance &in : fleet) {
        EXPECT_EQ(get(in.web.port(), "/openmetrics?r=0&job=%01").status, 400);
    }
}

// Prometheus with a 2-day retention scrapes both servers and a third one the backfill is not
// given; then both three-day histories are backfilled into its data folder while it runs, and it
// restarts.
TEST_F(StatswebPrometheus, BackfillCutAtHeadAndRetentionLosesNothing) {
    if (!have_prometheus()) GTEST_SKIP() << kPrometheus << " or " << kPromtool << " is missing";
    const std::string other_file = dir.file("other.zel");
    ASSERT_TRUE(statsgen(other_file, {"-e", std::to_string(now), "-d", "1", "-s", "9"}));
    Server other;
    ASSERT_TRUE(other.start({"-i", other_file, "-l", "127.0.0.1:0", "-n", "cs-other"},
                            dir.file("other.err")));
    start_prometheus("2d");
    zeltest::write_file(dir.file("zelstats-targets/other.yml"),
                        "- targets: ['127.0.0.1:" + std::to_string(other.port()) +
                            "']\n  labels:\n    instance: cs-other\n");
    wait_scraped();
    ASSERT_TRUE(eventually([&] {
        return query(pport, "zelcs_ucpu_ratio{instance=\"cs-other\"}").size() == 1 &&
               query(pport, "zelcs_data_file_loaded{instance=\"cs-other\"}").size() == 1;
    })) << log_tail(dir.file("prometheus.log"));
    // The folder belongs to another user, as Debian's belongs to prometheus.
    const bool root = geteuid() == 0;
    if (root) {
        ASSERT_EQ(chown(db.c_str(), 65534, 65534), 0);
    }
    const double head = own_gauge(pport, "prometheus_tsdb_head_min_time") / 1000;
    ASSERT_GT(head, now - 600);
    ASSERT_LT(head, now + 600);

    // What the scrapes hold up to now, from the head's start.
    usleep(1500000);
    const double until = (double)std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count() /
                         1000;
    // From the head's first sample on (a millisecond before it, the backfill ends earlier).
    const std::string span = "[" + std::to_string((int64_t)((until - head) * 1000) + 2) + "ms]";
    // Samples per series, each name in a label of its own.
    auto held = [&] {
        std::vector<Sample> out;
        for (const std::string name :
             {"up", "zelcs_ucpu_ratio", "zelcs_usedspace_bytes", "zelcs_data_file_loaded"}) {
            for (Sample &s : query(
                     pport, "count_over_time(" + name + "{job=\"zelstats\"}" + span + ")", until)) {
                s.labels["name"] = name;
                out.push_back(s);
            }
        }
        return out;
    };
    const std::vector<Sample> before = held();
    ASSERT_EQ(before.size(), 12u);  // 4 names of 3 servers

    auto res = backfill();
    EXPECT_EQ(res.status, 0) << res.out << res.err;
    // Per server: every complete slot with data is loaded, left to the scrape (from the head's
    // start on) or left out with a warning (older than the retention).
    for (const Instance &in : fleet) {
        size_t slots = 0;
        for (int r = 0; r < 4; r++) {
            const auto rows = table(in.file, r);
            for (size_t i = 1; i + 1 < rows.size(); i++) {
                for (size_t c = 1; c < rows[i].size(); c++) slots += rows[i][c] != "-";
            }
        }
        auto number_before = [](const std::string &text, const std::string &after) {
            size_t at = text.find(after);
            if (at == std::string::npos) return (size_t)0;
            size_t start = text.rfind(' ', at - 1) + 1;
            std::string digits;
            for (size_t i = start; i < at; i++)
                if (isdigit((unsigned char)text[i])) digits += text[i];
            return (size_t)strtoull(digits.c_str(), nullptr, 10);
        };
        std::string line;
        for (const auto &l : lines_of(res.out)) {
            if (l.compare(0, in.name.size() + 2, in.name + " (") == 0) line = l;
        }
        ASSERT_NE(line, "") << res.out;
        const size_t loaded = number_before(line, " samples of 4 range(s)");
        const size_t at_head = number_before(line, " from the head's start on");
        size_t old = 0;
        for (int r = 0; r < 4; r++) {
            std::string warned;
            for (const auto &l : lines_of(res.err)) {
                if (l.find(in.name + ": range " + std::to_string(r) + " (" + kResolution[r] +
                           "): ") != std::string::npos)
                    warned = l;
            }
            // Three days of history, two kept: every range has slots beyond the retention.
            EXPECT_NE(warned.find("older than the retention (2d) left out"), std::string::npos)
                << in.name << " range " << r << "\n"
                << res.err;
            old += number_before(warned, " samples older than the retention");
        }
        EXPECT_GT(loaded, 0u);
        EXPECT_EQ(loaded + at_head + old, slots) << line;
    }
    if (root) {
        struct stat st = {};
        size_t blocks = 0;
        for (const auto &e : lines_of(run_program({"/bin/ls", db}).out)) {
            if (e.size() != 26) continue;  // block folders are named by their 26-letter id
            ASSERT_EQ(stat((db + "/" + e).c_str(), &st), 0);
            EXPECT_EQ(st.st_uid, 65534u) << e;
            blocks++;
        }
        EXPECT_GT(blocks, 0u);
    }

    // Restarted: every scraped sample is still there, next to the history.
    prometheus.stop();
    start_prometheus("2d");
    const std::vector<Sample> after = held();
    ASSERT_EQ(after.size(), before.size());
    for (size_t i = 0; i < before.size(); i++) {
        EXPECT_EQ(after[i].labels, before[i].labels);
        EXPECT_EQ(after[i].value, before[i].value) << after[i].labels.at("name");
        EXPECT_GT(before[i].value, 0) << before[i].labels.at("name");
    }
    EXPECT_GT(own_gauge(pport, "prometheus_tsdb_blocks_loaded"), 0);

    // The backfilled history: one instant per server and resolution, a day back (in range 3
    // the newest complete day); 60 hours back the retention left range 0 out.
    const int back[4] = {1440, 240, 48, 0};
    for (const Instance &in : fleet) {
        const std::string name = promql_string(in.name);
        size_t loaded = 0;
        for (int r = 0; r < 4; r++) {
            const auto rows = table(in.file, r);
            const std::vector<std::string> &row = rows[4095 - back[r]];
            const int64_t at = statsweb::local_to_utc(strtoll(row[0].c_str(), nullptr, 10));
            const std::string sel = "{__name__=~\"zelcs_.+\",job=\"zelstats\",instance=" + name +
                                    ",resolution=\"" + kResolution[r] + "\"}";
            expect_statistics(by_name(query(pport, sel, at)), row,
                              in.name + " backfilled " + kResolution[r]);
            loaded += samples_in(pport, sel + "[5d]", head - 0.001);
        }
        const int64_t old =
            statsweb::local_to_utc(strtoll(table(in.file, 0)[4095 - 3600][0].c_str(), nullptr, 10));
        EXPECT_TRUE(
            query(pport, "{__name__=~\"zelcs_.+\",instance=" + name + ",resolution=\"1m\"}", old)
                .empty());
        std::string line;
        for (const auto &l : lines_of(res.out)) {
            if (l.compare(0, in.name.size() + 2, in.name + " (") == 0) line = l;
        }
        EXPECT_NE(line.find(" loaded " + grouped(loaded) + " samples "), std::string::npos)
            << line << " vs " << loaded << " in Prometheus";
    }
    // Nothing rejected: the live minutes come after the backfilled ones.
    for (const auto &l : lines_of(get(pport, "/metrics").body)) {
        if (l.compare(0, 33, "prometheus_target_scrapes_sample_") == 0) {
            EXPECT_EQ(l.substr(l.rfind(' ') + 1), "0") << l;
        }
    }
    // Without the running server the backfill is refused.
    prometheus.stop();
    res = backfill();
    EXPECT_EQ(res.status, 1);
    EXPECT_NE(res.err.find("prometheus_tsdb_head_min_time"), std::string::npos) << res.err;
}

TEST_F(StatswebPrometheus, ScrapedGaugesAndMetadata) {
    if (!have_prometheus()) GTEST_SKIP() << kPrometheus << " or " << kPromtool << " is missing";
    start_prometheus();
    // The live scrapes: up, and every statistic as statsweb gives it.
    for (const Instance &in : fleet) {
        std::vector<Sample> live;
        EXPECT_TRUE(eventually([&] { return scraped(in, live); }))
            << log_tail(dir.file("prometheus.log"));
        expect_statistics(by_name(live), in.rows[4095], in.name + " scraped");
    }
    std::vector<Sample> up = query(pport, "up{job=\"zelstats\"}");
    ASSERT_EQ(up.size(), 2u);
    for (const Sample &s : up) EXPECT_EQ(s.value, 1) << s.labels.at("instance");

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
    const Json *failures = meta.get("data")->get("zelcs_data_file_load_failures");
    ASSERT_TRUE(failures != nullptr && !failures->items.empty());
    EXPECT_EQ(failures->items[0].get("type")->str, "counter");
}

TEST_F(StatswebPrometheus, RulesDashboardAndAlertsAnswer) {
    if (!have_prometheus()) GTEST_SKIP() << kPrometheus << " or " << kPromtool << " is missing";
    write_config();
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{kPromtool, "check", "config", dir.file("prometheus.yml")},
          {kPromtool, "test", "rules", kDocs + "zelstats.rules.test.yml"}}) {
        auto res = run_program(args);
        EXPECT_EQ(res.status, 0) << args[1] << " " << args[2] << res.out << res.err;
    }
    start_prometheus();
    // Every recording rule and every dashboard expression answers for both servers, with the
    // variables as Grafana fills them for "All" (the names escaped as its regex format does).
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
    std::string all = "(";
    for (const Instance &in : fleet) {
        all += all.size() > 1 ? "|" : "";
        for (char c : in.name)
            all += strchr("\\^$*+?.()|[]{}/", c) ? std::string("\\") + c : std::string(1, c);
    }
    all += ")";
    for (size_t p = 0; p < 12; p++) {
        const Json &panel = panels->items[p];
        const statsweb::ChartText &c = statsweb::kChartTexts[p];
        EXPECT_EQ(panel.get("title")->str, c.title);
        const auto &targets = panel.get("targets")->items;
        for (size_t k = 0; k < targets.size(); k++) {
            std::string e = targets[k].get("expr")->str;
            for (size_t at; (at = e.find("${instance:regex}")) != std::string::npos;) {
                e.replace(at, 17, all);
            }
            for (size_t at; (at = e.find("$__interval")) != std::string::npos;)
                e.replace(at, 11, "1m");
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

TEST_F(StatswebPrometheus, RemovedOldAndSkewedFiles) {
    const bool with_prometheus = have_prometheus();
    if (with_prometheus) {
        start_prometheus();
        wait_scraped();
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
    if (!with_prometheus) GTEST_SKIP() << kPrometheus << " or " << kPromtool << " is missing";

    const std::string b_loaded =
        "zelcs_data_file_loaded{job=\"zelstats\",instance=" + promql_string(fleet[1].name) + "}";
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
