// SPDX-License-Identifier: Apache-2.0
// statsweb's pure helpers: local time to UTC across daylight saving changes, listen addresses,
// numbers, escaping, the constant-time comparison, content negotiation, label values, and the
// field table against the catalogue and the man page.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <time.h>

#include <cmath>

#include "encoding.h"
#include "fields.h"
#include "metrics.h"
#include "page.h"
#include "statsdump.h"
#include "test_util.h"
#include "text.h"
#include "views.h"

namespace {

// Local seconds of a wall-clock time, as the store keeps them.
int64_t wall(int y, int mo, int d, int h, int mi) {
    struct tm tm = {};
    tm.tm_year = y - 1900, tm.tm_mon = mo - 1, tm.tm_mday = d, tm.tm_hour = h, tm.tm_min = mi;
    return int64_t(timegm(&tm));
}

TEST(StatswebText, LocalToUtcAcrossDaylightSaving) {
    zeltest::ScopedTz tz("Europe/Warsaw");
    struct Case {
        int64_t local, utc;
        const char *what;
    };
    const Case cases[] = {
        {wall(2026, 1, 15, 12, 0), wall(2026, 1, 15, 11, 0), "winter, +1"},
        {wall(2026, 7, 15, 12, 0), wall(2026, 7, 15, 10, 0), "summer, +2"},
        {wall(2026, 3, 29, 1, 59), wall(2026, 3, 29, 0, 59), "before the skipped hour"},
        {wall(2026, 3, 29, 2, 30), wall(2026, 3, 29, 1, 30), "skipped hour: offset before"},
        {wall(2026, 3, 29, 3, 0), wall(2026, 3, 29, 1, 0), "after the skipped hour"},
        {wall(2026, 10, 25, 1, 59), wall(2026, 10, 24, 23, 59), "before the repeated hour"},
        {wall(2026, 10, 25, 2, 0), wall(2026, 10, 25, 0, 0), "repeated hour: earlier"},
        {wall(2026, 10, 25, 2, 59), wall(2026, 10, 25, 0, 59), "repeated hour: earlier"},
        {wall(2026, 10, 25, 3, 0), wall(2026, 10, 25, 2, 0), "after the repeated hour"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(statsweb::local_to_utc(c.local), c.utc) << c.what;
    }
    zeltest::ScopedTz utc("UTC");
    EXPECT_EQ(statsweb::local_to_utc(1709640000), 1709640000);
}

// The JSON table's slot starts: the true UTC start, never backwards through either change.
TEST(StatswebText, SlotStartsAcrossDaylightSaving) {
    zeltest::ScopedTz tz("Europe/Warsaw");
    for (const int64_t from : {wall(2026, 3, 28, 23, 0), wall(2026, 10, 24, 23, 0)}) {
        int64_t before = INT64_MIN;
        for (int64_t local = from; local < from + 6 * 3600; local += 60) {
            const int64_t t = statsweb::slot_utc(local);
            EXPECT_GE(t, before) << local;
            before = t;
        }
    }
    // A skipped slot starts when the clock moved past it: 01:00 UTC, as 03:00 does.
    EXPECT_EQ(statsweb::slot_utc(wall(2026, 3, 29, 2, 30)), wall(2026, 3, 29, 1, 0));
    EXPECT_EQ(statsweb::slot_utc(wall(2026, 3, 29, 3, 0)), wall(2026, 3, 29, 1, 0));
    EXPECT_EQ(statsweb::slot_utc(wall(2026, 10, 25, 2, 30)), wall(2026, 10, 25, 0, 30));
}

// The slot starts of a load, found in one pass, are slot_utc's of each slot: runs of every
// range's step that start a day before each change of zones with whole-hour, half-hour, daily
// and frequent changes (2011 to 2013), and one long run of each step.
TEST(StatswebText, SlotStartsOfARunAreEachSlotsStart) {
    for (const char *zone : {"Europe/Warsaw", "America/New_York", "Australia/Lord_Howe",
                             "Africa/Casablanca", "Pacific/Apia", "UTC"}) {
        zeltest::ScopedTz tz(zone);
        std::vector<int64_t> starts = {wall(2011, 1, 1, 0, 0) + 37};
        for (int64_t day = wall(2011, 1, 1, 12, 0); day < wall(2014, 1, 1, 0, 0); day += 86400) {
            if (day - statsweb::local_to_utc(day) !=
                day + 86400 - statsweb::local_to_utc(day + 86400)) {
                starts.push_back(day - 86400 - 12 * 3600);
            }
        }
        EXPECT_GE(starts.size(), std::string_view(zone) == "UTC" ? 1u : 6u) << zone;
        for (const uint32_t step : {60u, 360u, 1800u, 86400u}) {
            for (const int64_t from : starts) {
                std::vector<uint32_t> run(step == 86400 ? 4096 : 3 * 86400 / step);
                for (size_t r = 0; r < run.size(); r++) run[r] = uint32_t(from + step * r);
                const std::vector<int64_t> got = statsweb::slot_utcs(run);
                int64_t before = INT64_MIN;
                for (size_t r = 0; r < run.size(); r++) {
                    before = std::max(before, statsweb::slot_utc(run[r]));
                    ASSERT_EQ(got[r], before) << zone << " step " << step << " slot " << r;
                }
            }
        }
    }
}

// The JSON table's numbers: the table's six decimals (snprintf's exact rounding, ties to even)
// without the zeros that end the fraction, over the edge classes and a random sample.
TEST(StatswebText, JsonNumbersAreTheTablesDigits) {
    std::vector<double> values = {0,
                                  1,
                                  0.5,
                                  1e-7,
                                  5e-7,
                                  4.9999995e-7,
                                  0.0078125,
                                  1.0 / 3,
                                  2.0 / 3,
                                  999999.9999995,
                                  9e15,
                                  9.5e15,
                                  1e300,
                                  4.9e-324,
                                  9007199254740991.0,
                                  123456.0000005,
                                  48.874203,
                                  1e10,
                                  12345678901234.0,
                                  18446744073709549568.0,  // the last double below 2^64
                                  18446744073709551616.0};
    for (int e = -30; e < 64; e++) values.push_back(std::ldexp(1.0, e));
    for (int k = 0; k < 7; k++) {
        for (int64_t n : {1, 3, 5, 12345, 999999}) {
            values.push_back((double(n) + 0.5) / std::pow(10.0, k));  // ties at every decimal
        }
    }
    uint64_t x = 88172645463325252ull;
    for (int i = 0; i < 200000; i++) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        const double scale = std::pow(10.0, double(x % 16) - 4);
        values.push_back(double(x >> 11) / double(1ull << 53) * scale);
        values.push_back(double(x % 100000000) / 1000000.0);  // six decimals exactly, then noise
    }
    size_t wrong = 0;
    for (const double v : values) {
        char buf[400];
        snprintf(buf, sizeof buf, "%.6f", v);
        std::string want = buf;
        while (want.back() == '0') want.pop_back();
        if (want.back() == '.') want.pop_back();
        std::string got;
        statsweb::json_fixed6(got, v);
        if (got != want && wrong++ < 10) ADD_FAILURE() << buf << " gave " << got;
    }
    EXPECT_EQ(wrong, 0u);
}

TEST(StatswebText, ListenAddresses) {
    struct Case {
        const char *text;
        bool ok;
        int family;
        const char *host;
        uint16_t port;
    };
    const Case cases[] = {
        {"127.0.0.1:9740", true, AF_INET, "127.0.0.1", 9740},
        {"127.0.0.1:0", true, AF_INET, "127.0.0.1", 0},
        {"[::1]:8080", true, AF_INET6, "::1", 8080},
        {":80", true, 0, "", 80},
        {"127.0.0.1", false, 0, "", 0},
        {"127.0.0.1:65536", false, 0, "", 0},
        {"127.0.0.1:-1", false, 0, "", 0},
        {"localhost:80", false, 0, "", 0},
        {"[::1:80", false, 0, "", 0},
        {"::1:80", false, 0, "", 0},
        {"[]:80", false, 0, "", 0},
    };
    for (const Case &c : cases) {
        statsweb::ListenAddress a;
        ASSERT_EQ(statsweb::parse_listen(c.text, a), c.ok) << c.text;
        if (!c.ok) continue;
        EXPECT_EQ(a.family, c.family) << c.text;
        EXPECT_EQ(a.host, c.host) << c.text;
        EXPECT_EQ(a.port, c.port) << c.text;
    }
}

TEST(StatswebText, NumbersEscapesSecrets) {
    uint32_t v = 7;
    EXPECT_TRUE(statsweb::parse_u32("4294967295", v));
    EXPECT_EQ(v, 4294967295u);
    for (const char *bad : {"", "4294967296", "12a", "-1", " 1", "+1", "00000000001"}) {
        EXPECT_FALSE(statsweb::parse_u32(bad, v)) << bad;
    }

    std::string json;
    statsweb::json_string(json, std::string_view("a\"\\\n\x01\xC3\xA9\xFF", 8));
    EXPECT_EQ(json, "\"a\\\"\\\\\\n\\u0001\xC3\xA9\\ufffd\"");
    std::string html;
    statsweb::html_escape(html, "<a href=\"x\">&'");
    EXPECT_EQ(html, "&lt;a href=&quot;x&quot;&gt;&amp;&#39;");

    EXPECT_TRUE(statsweb::same_secret("s3cret", "s3cret"));
    EXPECT_FALSE(statsweb::same_secret("s3cre", "s3cret"));
    EXPECT_FALSE(statsweb::same_secret("s3cret!", "s3cret"));
    EXPECT_FALSE(statsweb::same_secret("", "s3cret"));
}

TEST(StatswebText, FieldTypesByName) {
    struct Case {
        const char *name;
        int32_t type;
    };
    const Case cases[] = {{"ucpu", 0},   {"udiff", 47}, {"cpu", 100}, {"hddcnt", 111},
                          {"UCPU", -1},  {"cpu ", -1},  {"", -1},     {"*", -1},
                          {"ucpux", -1}, {nullptr, -1}};
    for (const Case &c : cases) {
        EXPECT_EQ(statsdump_field_type(c.name), c.type) << (c.name ? c.name : "(null)");
    }
}

// The texts follow the catalogue entry for entry, so that a field never shows another's title:
// as many rows as the catalogue (the metric names, checked below, name each base row's field).
TEST(StatswebText, FieldTextsFollowTheCatalogue) {
    int32_t i = 0;
    for (; statsdump_statdefs[i].name != nullptr; i++) {
        ASSERT_NE(statsweb::kFieldTexts[i].title, nullptr) << statsdump_field_name(i);
    }
    EXPECT_EQ(statsweb::kFieldTexts[i].title, nullptr);
    for (i = 0; statsdump_estatdefs[i].name != nullptr; i++) {
        ASSERT_NE(statsweb::kChartTexts[i].title, nullptr) << statsdump_field_name(100 + i);
        EXPECT_STREQ(statsweb::field_title(100 + i), statsweb::kChartTexts[i].title);
    }
    EXPECT_EQ(statsweb::kChartTexts[i].title, nullptr);
    EXPECT_EQ(statsweb::field_title(100 + i), nullptr);
    EXPECT_EQ(statsweb::field_unit(48), nullptr);
}

// The page's texts: ages, numbers in the table's units, and the figures of a chart's window.
TEST(StatswebPage, AgesValuesAndWindowFigures) {
    struct Age {
        int64_t seconds;
        const char *text;
    };
    for (const Age &a : {Age{0, "less than a minute ago"}, Age{59, "less than a minute ago"},
                         Age{240, "4 min ago"}, Age{7199, "119 min ago"}, Age{7200, "2 h ago"},
                         Age{3 * 86400, "3 days ago"}, Age{-300, "in 5 min"},
                         Age{int64_t(2.76 * 365.25 * 86400), "2.8 years ago"}}) {
        EXPECT_EQ(statsweb::age_text(a.seconds), a.text) << a.seconds;
    }
    struct Stale {
        int64_t age;
        const char *start;  // "" for no warning
    };
    for (const Stale &c : {Stale{0, ""}, Stale{300, ""}, Stale{301, "The data is old"},
                           Stale{-120, ""}, Stale{-121, "The newest minute lies in the future"}}) {
        EXPECT_EQ(statsweb::stale_text(c.age).substr(0, strlen(c.start)), c.start) << c.age;
        EXPECT_EQ(statsweb::stale_text(c.age).empty(), c.start[0] == '\0') << c.age;
    }
    struct Value {
        double v;
        const char *unit, *text;
    };
    for (const Value &c : {Value{48.874203, "%", "48.87 %"}, Value{0, "%", "0.00 %"},
                           Value{12, "", "12"}, Value{0.0004, "busy/1000", "0.0004 busy/1000"},
                           Value{999.99, "B", "999.99 B"}, Value{1000, "bit/s", "1.00 kbit/s"},
                           Value{96e12, "B", "96.00 TB"}, Value{3279469267, "B", "3.28 GB"},
                           Value{1234.5, "/min", "1.23 k/min"}, Value{1e21, "B", "1000.00 EB"}}) {
        EXPECT_EQ(statsweb::value_text(c.v, c.unit), c.text) << c.v;
    }
    // Only the complete slots of the newest kWindowSlots count: the newest is still filling;
    // -1 is a slot without data.
    std::vector<double> col(4096, 1000.0);  // outside the window: must not count
    const size_t first = col.size() - statsweb::kWindowSlots;
    for (size_t i = first; i < col.size(); i++) col[i] = double(i - first) / 10;
    col[first] = -1;
    col[col.size() - 2] = -1;
    col.back() = 5000;  // filling
    statsweb::WindowStats w = statsweb::window_stats(col);
    ASSERT_TRUE(w.any);
    EXPECT_DOUBLE_EQ(w.min, 0.1);
    EXPECT_DOUBLE_EQ(w.max, (statsweb::kWindowSlots - 3) / 10.0);
    EXPECT_DOUBLE_EQ(w.last, w.max) << "the newest complete slot with data";
    EXPECT_TRUE(w.last_missing);
    EXPECT_DOUBLE_EQ(w.avg, (w.min + w.max) / 2);
    EXPECT_FALSE(statsweb::window_stats(std::vector<double>(4096, -1.0)).any);
}

// The header's warnings and a page without data.
TEST(StatswebPage, HeaderWarnings) {
    struct Case {
        bool loaded;
        const char *message;
        int64_t age;
        std::vector<std::string> lines;  // the band's lines by class; none: the band is hidden
    };
    const Case cases[] = {
        {true, "", 120, {}},
        {true, "", 600, {"age"}},
        {true, "", -3600, {"age"}},
        {true, "file truncated", 60, {"load"}},
        {true, "file truncated", 86400, {"load", "age"}},
        {false, "no such file", 0, {"load"}},
    };
    for (const auto &c : cases) {
        statsweb::PageData p;
        p.name = "cs<1>";
        p.path = "/var/zel/csstats.zel";
        p.loaded = c.loaded;
        p.message = c.message;
        p.newest = 1709640000;
        p.newest_utc = 1709636400;
        p.now = p.newest_utc + c.age;
        p.zone = "CET, UTC+01:00";
        p.fields = {100, 111, -1};
        p.stats.resize(2);
        const std::string html = statsweb::page_html(p);
        SCOPED_TRACE(std::string(c.message) + " " + std::to_string(c.age));
        EXPECT_NE(html.find("<h1><a href=\"/\">cs&lt;1&gt;</a></h1>"), std::string::npos);
        EXPECT_EQ(html.find("<div class=\"warn\" role=\"alert\" hidden>") != std::string::npos,
                  c.lines.empty());
        size_t at = html.find("<div class=\"warn\"");
        for (const auto &cls : c.lines) {
            at = html.find("<p class=\"" + cls + "\">", at);
            EXPECT_NE(at, std::string::npos) << cls;
        }
        if (c.message[0] != '\0') {
            EXPECT_NE(html.find(c.message), std::string::npos);
        }
        // The charts always (a page opened without data starts them when it comes), their
        // PNGs only with data; the 48 statistics always.
        EXPECT_NE(html.find("<figure"), std::string::npos);
        EXPECT_EQ(html.find("<img src=\"/chart?") != std::string::npos, c.loaded);
        EXPECT_NE(html.find("/view?f=udiff&amp;r=0"), std::string::npos);
    }
}

// The unit statsdump prints follows from the catalogue's factors, and the metric's base unit and
// factor from the printed unit; metric names are zelcs_<name>_<unit>.
TEST(StatswebText, MetricColumnsFollowTheUnits) {
    struct Printed {
        const char *unit, *metric_unit;
        double factor;
    };
    const Printed units[] = {
        {"%", "ratio", 0.01},
        {"bit/s", "bytes_per_second", 0.125},
        {"B/s", "bytes_per_second", 1},
        {"/min", "per_second", 1.0 / 60},
        {"busy/1000", "ratio", 1000},
        {"B", "bytes", 1},
        {"", "", 1},
    };
    auto printed = [&](const char *unit) -> const Printed * {
        for (const Printed &p : units) {
            if (strcmp(p.unit, unit) == 0) return &p;
        }
        return nullptr;
    };
    // The printed unit of each kind of catalogue row: mode, percent, scale, multiplier, divisor.
    auto unit_of = [](int mode, int percent, int scale, int mul, int div) -> std::string {
        if (percent == 1) return "%";
        if (mode == 0 && scale == 1 && div == 60) return mul == 8000 ? "bit/s" : "B/s";
        if (mode == 0 && scale == 2 && mul == 1 && div == 1) return "/min";
        if (mode == 0 && scale == 0 && mul == 1 && div == 60000) return "busy/1000";
        if (mode == 1 && scale == 1) return "%";  // thousandths of a point, printed / 1000
        if (mode == 1 && scale == 2) return "B or count";
        return "unknown";
    };
    const std::string man = zeltest::read_file(ZEL_SOURCE_DIR "/docs/statsweb.1");
    for (int i = 0; statsdump_statdefs[i].name != nullptr; i++) {
        const statdef &d = statsdump_statdefs[i];
        const statsweb::FieldText &t = statsweb::kFieldTexts[i];
        SCOPED_TRACE(d.name);
        const std::string want = unit_of(d.mode, d.percent, d.scale, d.multiplier, d.divisor);
        EXPECT_TRUE(want == t.unit || (want == "B or count" && (!strcmp(t.unit, "B") || !*t.unit)))
            << t.unit << " vs " << want;
        const Printed *p = printed(t.unit);
        ASSERT_NE(p, nullptr) << t.unit;
        EXPECT_STREQ(t.metric_unit, p->metric_unit);
        EXPECT_DOUBLE_EQ(t.factor, p->factor);
        const std::string suffix = *t.metric_unit ? std::string("_") + t.metric_unit : "";
        EXPECT_EQ(t.metric, "zelcs_" + std::string(d.name) + suffix);
        const std::string help = statsweb::metric_help(i);
        EXPECT_TRUE(help.find(t.help) == 0 && help.back() == '.' &&
                    help.find_first_of("\\\n") == std::string::npos)
            << help;
        // Summed statistics are averaged over time, levels are not.
        EXPECT_EQ(help.find("avg_over_time") != std::string::npos, d.mode == 0) << help;
        // The man page's table gives the same name for the same field and unit.
        const std::string row =
            std::string("\n") + d.name + "\t" + (*t.unit ? t.unit : "\\-") + "\t" + t.metric + "\t";
        EXPECT_NE(man.find(row), std::string::npos) << row;
    }
}

TEST(StatswebText, NegotiationAndLabelValues) {
    const std::string prometheus =
        "application/openmetrics-text;version=1.0.0,application/openmetrics-text;version=0.0.1;"
        "q=0.75,text/plain;version=0.0.4;q=0.5,*/*;q=0.1";
    struct Case {
        std::string header;
        bool want;
    };
    const Case accept[] = {
        {prometheus, true},
        {"APPLICATION/OpenMetrics-Text; version=1.0.0", true},
        {"", false},
        {"text/plain", false},
        {"application/openmetrics-text;q=0", false},
        {"text/plain;q=1, application/openmetrics-text;q=0.5", false},
        {"application/openmetrics-text-x", false},
    };
    for (const Case &c : accept)
        EXPECT_EQ(statsweb::wants_openmetrics(c.header), c.want) << c.header;
    const Case coding[] = {
        {"gzip", true},
        {"deflate, gzip;q=0.5", true},
        {"*", true},
        {"gzip;q=0", false},
        {"gzip;q=0, *", false},
        {"*;q=0", false},
        {"identity", false},
        {"x-gzip", false},
        {"", false},
    };
    for (const Case &c : coding) EXPECT_EQ(statsweb::accepts_gzip(c.header), c.want) << c.header;
    const Case labels[] = {
        {"zelstats", true},
        {"cs-1 \"east\"\\a", true},
        {"\xC5\xBC\xC3\xB3\xC5\x82w", true},
        {std::string(256, 'x'), true},
        {"", false},
        {std::string(257, 'x'), false},
        {"a\nb", false},
        {"a\x7F", false},
        {"\xC0\xAF", false},
        {"\xED\xA0\x80", false},
        {"\xC5", false},
        {"\xF4\x90\x80\x80", false},
    };
    for (const Case &c : labels) EXPECT_EQ(statsweb::label_value_ok(c.header), c.want) << c.header;
}

}  // namespace
