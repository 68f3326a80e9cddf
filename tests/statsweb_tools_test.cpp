// SPDX-License-Identifier: Apache-2.0
// statsweb read by real clients: /openmetrics stamps a night the clocks went back as a database
// needs it, and a headless browser shows the page and decodes every chart on it (skipped when
// Chromium is not installed; CI installs it). promtool's lint of /metrics is in
// statsweb_prometheus_test.cpp. ZEL_SCREENSHOT=PATH keeps the browser's screenshot of the page at
// PATH (the README's pictures come from tests/browser/page_test.js).
#include <gtest/gtest.h>

#include "statsdump.h"
#include "statsweb_util.h"

namespace {

using namespace webtest;
using zeltest::read_file;
using zeltest::run_program;
using zeltest::TempDir;

const char *const kChromium = "/usr/bin/chromium";

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

// Width and height from a PNG file's header.
std::string png_size(const std::string &png) {
    if (png.size() < 24 || png.compare(1, 3, "PNG") != 0) return "not a png";
    auto be = [&](size_t o) {
        return (uint32_t)(uint8_t)png[o] << 24 | (uint32_t)(uint8_t)png[o + 1] << 16 |
               (uint32_t)(uint8_t)png[o + 2] << 8 | (uint32_t)(uint8_t)png[o + 3];
    };
    return std::to_string(be(16)) + "x" + std::to_string(be(20));
}

TEST(StatswebTools, BrowserShowsEveryChart) {
    if (access(kChromium, X_OK) != 0) GTEST_SKIP() << "chromium is not installed";
    Fixture fx;
    ASSERT_TRUE(fx.start({}, {"-v"})) << fx.srv.log();
    const std::string base = "http://127.0.0.1:" + std::to_string(fx.srv.port());
    auto chromium = [&](const std::vector<std::string> &args) {
        std::vector<std::string> argv = {"/usr/bin/timeout",
                                         "60",
                                         kChromium,
                                         "--headless",
                                         "--no-sandbox",
                                         "--disable-gpu",
                                         "--disable-quic",
                                         "--no-first-run",
                                         "--disable-background-networking",
                                         "--disable-component-update",
                                         "--disable-sync",
                                         "--user-data-dir=" + fx.dir.file("profile")};
        argv.insert(argv.end(), args.begin(), args.end());
        return run_program(argv);
    };

    // The page as a browser shows it: with script, its charts are drawn from the JSON table
    // (tests/browser/page_test.js checks them); the PNGs it names for a browser without script
    // are decoded below.
    std::string shot = fx.dir.file("page.png");
    auto res = chromium({"--screenshot=" + shot, "--window-size=1400,2000", base + "/"});
    ASSERT_EQ(res.status, 0) << res.err;
    EXPECT_EQ(png_size(read_file(shot)), "1400x2000");
    if (const char *keep = getenv("ZEL_SCREENSHOT")) zeltest::write_file(keep, read_file(shot));
    Reply page = get(fx.srv.port(), "/");
    std::vector<std::string> srcs = img_srcs(page.body);
    ASSERT_EQ(srcs.size(), 12u);
    // The access log: the page, its script, style sheet and data answered 200.
    std::string log = fx.srv.log();
    for (const std::string what : {"/\"", "/statsweb.js", "/statsweb.css", "/table"}) {
        bool found = false;
        for (const auto &l : lines_of(log)) {
            found = found || (l.find("\"GET " + what) != std::string::npos &&
                              l.find("\" 200 ") != std::string::npos);
        }
        EXPECT_TRUE(found) << what << "\n" << log;
    }

    // Every chart decoded by the browser, at the size its PNG header gives: a page of ours that
    // loads the images and writes what it got.
    std::string probe =
        "<!DOCTYPE html><html><body><pre id=\"out\">pending</pre><script>\nconst srcs=[";
    std::string want;
    for (size_t i = 0; i < srcs.size(); i++) {
        probe += (i ? ",\"" : "\"") + base + srcs[i] + "\"";
        Reply c = get(fx.srv.port(), srcs[i]);
        EXPECT_EQ(c.header("Content-Type"), "image/png") << srcs[i];
        want += (i ? " " : "") + png_size(c.body);
    }
    probe +=
        "];\nconst res=[];let done=0;\n"
        "function fin(){if(++done==srcs.length)document.getElementById('out').textContent="
        "'decoded '+res.join(' ');}\n"
        "srcs.forEach((s,i)=>{const im=new Image();"
        "im.onload=()=>{res[i]=im.naturalWidth+'x'+im.naturalHeight;fin();};"
        "im.onerror=()=>{res[i]='error';fin();};im.src=s;});\n"
        "</script></body></html>\n";
    zeltest::write_file(fx.dir.file("probe.html"), probe);
    res = chromium(
        {"--virtual-time-budget=10000", "--dump-dom", "file://" + fx.dir.file("probe.html")});
    ASSERT_EQ(res.status, 0) << res.err;
    const std::string mark = "<pre id=\"out\">";
    size_t at = res.out.find(mark);
    ASSERT_NE(at, std::string::npos) << res.out;
    at += mark.size();
    EXPECT_EQ(res.out.substr(at, res.out.find('<', at) - at), "decoded " + want);
    EXPECT_EQ(fx.srv.stop(), 0);
}

}  // namespace
