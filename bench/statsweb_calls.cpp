// SPDX-License-Identifier: Apache-2.0
// statsweb's handler called in-process, for the figures of one kind of answer without HTTP
// (bench/statsweb_count.sh): opens the data file as the server does, makes the first answer of
// the kind (what a load costs once: the columns fetched from the store), then COUNT answers,
// each made afresh: the page's JSON table over windows that differ (more of them than the
// server keeps), plain or gzip as a browser takes it, or pages of /view. Prints the median
// wall time of one answer and the time of the first, in microseconds, and the bytes of the
// last answer. Run it with COUNT 0
// and COUNT N under callgrind: the difference over N is what one answer costs.
//
// Usage: statsweb_calls FILE json|json-gzip|view COUNT
#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <string>
#include <vector>

#include "handler.h"
#include "settings.h"
#include "store.h"

namespace {

// The page's request (statsweb.js, tableUrl): its 12 charts of range 0, the newest n slots.
constexpr const char *kCharts =
    "cpu,bwin,bwout,hddread,hddwrite,hddopsr,hddopsw,mem,move,space,"
    "chunks,hddcnt";

statsweb::Request request(const std::string &kind, int i) {
    statsweb::Request r;
    r.method = "GET";
    if (kind == "view") {
        r.path = "/view";
        r.args = {{"f", "cpu"}, {"p", std::to_string(i % 17)}};
    } else {
        // 1550 slots, then fewer: 500 windows in turn, more than the 128 answers kept.
        r.path = "/table";
        r.args = {
            {"format", "json"}, {"r", "0"}, {"f", kCharts}, {"n", std::to_string(1550 - i % 500)}};
        if (kind == "json-gzip") r.accept_encoding = "gzip, deflate, br";
    }
    return r;
}

double now_us() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) * 1e6 + double(ts.tv_nsec) / 1e3;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: %s FILE none|json|json-gzip|view COUNT\n", argv[0]);
        return 2;
    }
    const std::string kind = argv[2];
    if (kind != "none" && kind != "json" && kind != "json-gzip" && kind != "view") return 2;
    const int count = atoi(argv[3]);
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);  // as the server sets it (statsweb/main.cpp)
    statsweb::settings().name = "bench";
    statsweb::settings().settle_ms = 0;
    statsweb::open_store(argv[1]);
    if (kind == "none") {
        printf("0 0 0\n");
        return 0;
    }
    // The first answer of the load, left out of the figures.
    const double s0 = now_us();
    statsweb::Response first = statsweb::handle(request(kind, 500));
    const double first_us = now_us() - s0;
    if (first.status != 200) {
        fprintf(stderr, "statsweb_calls: status %u: %s\n", first.status, first.text().c_str());
        return 1;
    }
    std::vector<double> t;
    size_t bytes = first.text().size();
    for (int i = 0; i < count; i++) {
        const statsweb::Request req = request(kind, i);
        const double s = now_us();
        statsweb::Response r = statsweb::handle(req);
        t.push_back(now_us() - s);
        if (r.status != 200) return 1;
        bytes = r.text().size();
    }
    std::sort(t.begin(), t.end());
    printf("%.1f %.1f %zu\n", t.empty() ? 0.0 : t[t.size() / 2], first_us, bytes);
    return 0;
}
