// SPDX-License-Identifier: Apache-2.0
// statsweb read by real clients: /openmetrics stamps a night the clocks went back as a database
// needs it. promtool's lint of /metrics and the backfill are in statsweb_prometheus_test.cpp; the
// browser's checks of the page (and the README's pictures) are tests/browser/page_test.js.
#include <gtest/gtest.h>

#include "statsdump.h"
#include "statsweb_util.h"

namespace {

using namespace webtest;
using zeltest::TempDir;


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
};

// The night the clocks went back in Warsaw (2023-10-29 02:00-02:59 local happened twice; the
// store has one slot per local minute, and each is exported at its earlier instant: 00:00-00:59
// UTC, then 03:00 local is 02:00 UTC). That every slot with data becomes one sample in a
// database is checked with statsweb-backfill in statsweb_prometheus_test.cpp.
TEST(StatswebTools, OpenMetricsStampsTheAutumnNight) {
    Fixture fx;
    ASSERT_TRUE(fx.start({"-e", "1698667200", "-d", "10"})) << fx.srv.log();
    Reply r = get(fx.srv.port(), "/openmetrics?r=0");
    ASSERT_EQ(r.status, 200);
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
    EXPECT_EQ(fx.srv.stop(), 0);
}

}  // namespace
