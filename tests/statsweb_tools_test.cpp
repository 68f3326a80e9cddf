// SPDX-License-Identifier: Apache-2.0
// statsweb read by real clients: the Prometheus tools check /metrics and backfill /openmetrics
// into a database (every slot with data becomes one sample). Each case is skipped when its tool
// is not installed; CI installs them. The browser's checks of the page (and the README's
// pictures) are tests/browser/page_test.js.
#include <gtest/gtest.h>

#include "statsdump.h"
#include "statsweb_util.h"

namespace {

using namespace webtest;
using zeltest::read_file;
using zeltest::run_program;
using zeltest::TempDir;

const char *const kPromtool = "/usr/bin/promtool";

// A server over a statsgen file made with the given options.
struct Fixture {
    TempDir dir;
    std::string file = dir.file("csstats.zel");
    Server srv;
    bool start(const std::vector<std::string> &gen, const std::vector<std::string> &opts = {}) {
        if (!statsgen(file, gen)) return false;
        std::vector<std::string> args = {"-i", file, "-l", "127.0.0.1:0"};
        args.insert(args.end(), opts.begin(), opts.end());
        return srv.start(args, dir.file("server.err"));
    }
    // Cells of the base statistics in the complete slots of range 0 (all but the newest) that
    // hold data: the samples a backfill makes.
    size_t slots_with_data() {
        std::string list;
        for (int i = 0; statsdump_statdefs[i].divisor != 0; i++) {
            list += std::string(list.empty() ? "" : ",") + statsdump_statdefs[i].name;
        }
        size_t n = 0;
        std::vector<std::string> rows =
            lines_of(statsdump({"-i", file, "-f", list, "-r", "0"}).out);
        for (size_t i = 1; i + 1 < rows.size(); i++) {
            for (const auto &c : split(rows[i], '\t')) n += c != "-";
            n--;  // the time column
        }
        return n;
    }
};

zeltest::RunResult shell(const std::string &cmd) {
    return run_program({"/bin/sh", "-c", cmd});
}

TEST(StatswebTools, PromtoolAcceptsMetrics) {
    if (access(kPromtool, X_OK) != 0) GTEST_SKIP() << "promtool is not installed";
    Fixture fx;
    // A file that ends now, so that /metrics shows the statistics.
    ASSERT_TRUE(fx.start({"-e", std::to_string(time(nullptr) / 60 * 60), "-d", "3"}))
        << fx.srv.log();
    for (const std::string accept : {"", "Accept: application/openmetrics-text"}) {
        Reply r = get(fx.srv.port(), "/metrics",
                      accept.empty() ? std::vector<std::string>{} : std::vector{accept});
        ASSERT_EQ(r.status, 200);
        zeltest::write_file(fx.dir.file("metrics"), r.body);
        auto res = shell(std::string(kPromtool) + " check metrics < " + fx.dir.file("metrics"));
        EXPECT_EQ(res.status, 0) << accept << res.out << res.err;
        EXPECT_EQ(res.out + res.err, "") << accept;
    }
    EXPECT_EQ(fx.srv.stop(), 0);
}

// Two files: the demo one, and one whose range 0 holds the night the clocks went back in Warsaw
// (2023-10-29 02:00-02:59 local happened twice; the store has one slot per local minute, and
// each is exported at its earlier instant: 00:00-00:59 UTC, then 03:00 local is 02:00 UTC).
TEST(StatswebTools, PromtoolBackfillsTheHistory) {
    struct Case {
        const char *what;
        std::vector<std::string> gen;
    };
    const Case cases[] = {{"demo", {}}, {"autumn night", {"-e", "1698667200", "-d", "10"}}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Fixture fx;
        ASSERT_TRUE(fx.start(c.gen)) << fx.srv.log();
        Reply r = get(fx.srv.port(), "/openmetrics?r=0");
        ASSERT_EQ(r.status, 200);
        if (c.gen.size() != 0) {
            std::map<int64_t, int> at;  // ucpu samples per UTC second
            for (const auto &l : lines_of(r.body)) {
                if (l.compare(0, 17, "zelcs_ucpu_ratio{") == 0) {
                    at[(int64_t)strtod(l.substr(l.rfind(' ')).c_str(), nullptr)]++;
                }
            }
            EXPECT_EQ(at[1698541140], 1);  // 01:59 local, still summer time
            EXPECT_EQ(at[1698539400], 1);  // 02:30 local, the first time
            EXPECT_EQ(at[1698544800], 1);  // 03:00 local, winter time
            EXPECT_EQ(at.lower_bound(1698541200)->first, 1698544800) << "nothing at 01:xx UTC";
        }
        if (access(kPromtool, X_OK) != 0) GTEST_SKIP() << "promtool is not installed";
        zeltest::write_file(fx.dir.file("history.om"), r.body);
        std::string db = fx.dir.file("db");
        auto res = run_program({kPromtool, "tsdb", "create-blocks-from", "openmetrics",
                                fx.dir.file("history.om"), db});
        ASSERT_EQ(res.status, 0) << res.out << res.err;
        mkdir((db + "/wal").c_str(), 0700);  // the dump opens the write-ahead log too
        res = shell(std::string(kPromtool) + " tsdb dump " + db + " > " + fx.dir.file("dump"));
        ASSERT_EQ(res.status, 0) << res.err;
        std::vector<std::string> dump = lines_of(read_file(fx.dir.file("dump")));
        EXPECT_EQ(dump.size(), fx.slots_with_data());
        EXPECT_EQ(fx.srv.stop(), 0);
    }
}

}  // namespace
