// SPDX-License-Identifier: Apache-2.0
// statsweb under load while its data file changes: 64 keep-alive connections mixing every
// endpoint for 20 seconds, while the file is replaced by rename every second (two good files in
// turn, now and then a truncated one, one with a wrong tag, or none at all). The server keeps
// answering from the last good load, so no request may fail or get a 5xx (but the 503 with
// Retry-After of requests beyond the address's share of expensive ones at once); it must not crash,
// and its resident size after the first second may not grow by 1 MiB or more.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

#include "statsweb_util.h"

namespace {

using namespace webtest;
using zeltest::read_file;
using zeltest::TempDir;

constexpr int kClients = 64;
constexpr int kSeconds = 20;
// Growth of the server's resident size allowed after the first second. Under ThreadSanitizer the
// size also holds the shadow of each page touched and the threads' access histories, which
// fill for a while; there the bound catches a runaway only.
#if defined(__SANITIZE_THREAD__)
constexpr long kGrowthBoundKib = 64 * 1024;
#else
constexpr long kGrowthBoundKib = 1024;
#endif

long rss_kib(pid_t pid) {
    std::string s = read_file("/proc/" + std::to_string(pid) + "/status");
    size_t p = s.find("VmRSS:");
    return p == std::string::npos ? -1 : strtol(s.c_str() + p + 6, nullptr, 10);
}

struct Target {
    const char *method;
    const char *path;
};
const Target kMix[] = {
    {"GET", "/table?f=ucpu,cpu,hddcnt&r=1"},
    {"GET", "/chart?f=cpu&x=400&y=120"},
    {"GET", "/metrics"},
    {"GET", "/status"},
    {"GET", "/data?n=1001&m=500&multi=1"},
    {"HEAD", "/chart?f=hddcnt&r=3"},
    {"GET", "/table?f=load,mem&r=2&format=json"},
    {"GET", "/"},
    {"GET", "/chart?f=space&r=2"},
    {"GET", "/openmetrics?r=3"},
    {"GET", "/table?f=*&r=3&H=1"},
    {"GET", "/table?f=nosuch"},
    {"GET", "/data?n=UCPu&m=4096&multi=0"},
    {"GET", "/nothing"},
};

TEST(StatswebSoak, ReplacedFileUnderLoad) {
    TempDir dir;
    std::string file = dir.file("csstats.zel");
    ASSERT_TRUE(statsgen(dir.file("a.zel")));
    ASSERT_TRUE(statsgen(dir.file("b.zel"), {"-s", "3", "-e", "1709726400"}));
    const std::string a = read_file(dir.file("a.zel")), b = read_file(dir.file("b.zel"));
    std::string badtag = b;
    badtag[2] = 7;
    replace_file(file, a);
    Server srv;
    ASSERT_TRUE(srv.start({"-i", file, "-l", "127.0.0.1:0"}, dir.file("server.err"))) << srv.log();
    const int port = srv.port();

    std::atomic<bool> stop{false};
    std::mutex mu;
    std::map<int, long> statuses;  // 0: no answer
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; c++) {
        clients.emplace_back([&, c] {
            std::map<int, long> mine;
            Conn conn;
            for (size_t i = (size_t)c; !stop.load(); i++) {
                const Target &t = kMix[i % std::size(kMix)];
                Reply r;
                for (int attempt = 0; attempt < 2 && r.status == 0; attempt++) {
                    if (!conn.open() && !conn.connect_to(port)) continue;
                    r = conn.request(t.method, t.path);
                    if (r.status == 0) conn.close_fd();
                }
                // 64 connections from one address exceed its share of expensive requests at
                // once: those beyond get 503 with Retry-After, kept apart as -503.
                mine[r.status == 503 && r.has("Retry-After") ? -503 : r.status]++;
            }
            std::lock_guard<std::mutex> lock(mu);
            for (const auto &[k, v] : mine) statuses[k] += v;
        });
    }

    // The file's story, one step a second from the start. The resident size is read every
    // second; what in-flight answers hold comes and goes, so the floor of the first samples after
    // the first second (one reload done) is compared with the floor of the last ones.
    const std::string *steps[] = {&b, &a, nullptr, &b, &badtag, &a, &b, nullptr, &a};
    std::string cut = a.substr(0, a.size() / 3);
    std::vector<long> rss;
    for (int sec = 0; sec < kSeconds; sec++) {
        const std::string *s = steps[sec % std::size(steps)];
        if (sec % 5 == 4) {
            unlink(file.c_str());  // briefly no file at all
        } else {
            replace_file(file, s != nullptr ? *s : cut);
        }
        std::this_thread::sleep_for(std::chrono::seconds(1));
        rss.push_back(rss_kib(srv.pid()));
    }
    std::string rss_series;
    for (long v : rss) rss_series += " " + std::to_string(v);
    const long rss_first = *std::min_element(rss.begin(), rss.begin() + 3);
    const long rss_last = *std::min_element(rss.end() - 3, rss.end());
    stop = true;
    for (auto &t : clients) t.join();
    ASSERT_TRUE(srv.alive()) << srv.log();

    long total = 0, fives = 0;
    std::string shown;
    for (const auto &[k, v] : statuses) {
        total += v;
        if (k >= 500 || k == 0) fives += v;
        shown += " " + std::to_string(k) + ":" + std::to_string(v);
    }
    printf(
        "soak: %ld requests in %d s over %d connections; statuses%s; RSS floor %ld KiB after 1 s, "
        "%ld KiB at the end (per second:%s)\n",
        total, kSeconds, kClients, shown.c_str(), rss_first, rss_last, rss_series.c_str());
    EXPECT_EQ(fives, 0) << "statuses (0: no answer):" << shown;
    EXPECT_GT(statuses[200], 1000) << shown;
#ifndef __SANITIZE_ADDRESS__  // the sanitizer's quarantine holds freed blocks for a while
    EXPECT_LT(rss_last - rss_first, kGrowthBoundKib) << rss_first << " KiB -> " << rss_last << " KiB";
#endif
    // After the story the server still answers, from the last good file.
    replace_file(file, b);
    EXPECT_TRUE(get(port, "/table?f=ucpu").body ==
                statsdump({"-i", dir.file("b.zel"), "-f", "ucpu"}).out);
    EXPECT_EQ(srv.stop(), 0);
}

}  // namespace
