// SPDX-License-Identifier: Apache-2.0
// Fuzz target: statsweb's request handler, in-process, over a small data file that sometimes
// changes under it.
//
// Input: two control bytes, then lines: the first line is the Accept header when control bit 7
// is set, every other line one query parameter "name=value" (no '=': an empty value). Control:
//   byte 0 bits 0-2  method: GET (0-4), HEAD, POST, or the odd "get"
//   byte 0 bits 3-4  the data file state to switch to, when byte 1 bits 6-7 are both set: the
//                    first good file, a second one with another newest minute, a truncated one
//   byte 0 bit 5     '*' kept in parameter values (otherwise ','): tables of all 60 fields are
//                    slow, so most inputs ask for fewer
//   byte 0 bit 6     the path is the first parameter line as it stands, not one of the endpoints
//   byte 1 bits 0-2  the endpoint: / /chart /table /data /metrics /openmetrics /status /nothing
//   byte 1 bits 3-5  != 0: parameters x and y replaced by a small picture size
// Every answer: a status 100..599 other than 500, a content type (none for a 204, whose body is
// empty), one line of text for a 400, an Allow header for a 405, a PNG for an image. GET and
// HEAD of one request give the same status, type and body (the server layer sends HEAD's
// headers only), in either order.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fuzz_util.h"
#include "handler.h"
#include "settings.h"
#include "store.h"

using namespace zelfuzz;

namespace {

std::string g_file;
std::string g_states[3];
int g_state = 0;

void switch_state(int state) {
    if (state == g_state) return;
    g_state = state;
    const std::string tmp = g_file + ".new";
    put_file(tmp, g_states[state].data(), g_states[state].size());
    if (rename(tmp.c_str(), g_file.c_str()) != 0) abort();
}

bool has_header(const statsweb::Response &r, const char *name) {
    for (const auto &h : r.headers) {
        if (strcasecmp(h.first.c_str(), name) == 0) return true;
    }
    return false;
}

void check(const statsweb::Request &q, const statsweb::Response &r) {
    ZELFUZZ_CHECK(r.status >= 100 && r.status <= 599);
    ZELFUZZ_CHECK(r.status != 500);
    if (r.status == 204) {
        ZELFUZZ_CHECK(r.text().empty());  // no content, so no type either
    } else {
        ZELFUZZ_CHECK(!r.content_type.empty());
    }
    if (r.status == 400) {
        ZELFUZZ_CHECK(!r.text().empty() && r.text().find('\n') == r.text().size() - 1);
    }
    if (r.status == 405) ZELFUZZ_CHECK(has_header(r, "Allow"));
    if (r.status == 200 && r.content_type == "image/png") {
        ZELFUZZ_CHECK(r.text().compare(0, 8, "\x89PNG\r\n\x1a\n") == 0);
    }
    if (r.status == 200 && q.path == "/table" && r.content_type == "application/json") {
        ZELFUZZ_CHECK(r.text().size() > 2 && r.text().front() == '{' && r.text().back() == '\n');
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    setup_store_process();
    // Six statistics of the real catalogue (two the sources of cpu and mem), 16 entries per ring.
    const std::vector<std::string> names = {"ucpu",       "scpu",  "memoryrss",
                                            "memoryvirt", "hddok", "udiff"};
    g_states[0] = data_file(names, 16, kNewestMinute);
    g_states[1] = data_file(names, 16, kNewestMinute + 1234);
    g_states[2] = g_states[0].substr(0, g_states[0].size() / 2);
    g_file = scratch_dir() + "/csstats.zel";
    put_file(g_file, g_states[0].data(), g_states[0].size());
    statsweb::settings().settle_ms = 0;  // the states switch by rename and are read at once
    statsweb::open_store(g_file);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    const uint8_t c0 = data[0], c1 = data[1];
    if ((c1 & 0xC0) == 0xC0) switch_state(((c0 >> 3) & 3) % 3);

    std::vector<std::string> lines(1);
    for (size_t i = 2; i < size && lines.size() <= 40; i++) {
        char ch = (char)data[i];
        if (ch == '\n') {
            lines.emplace_back();
            continue;
        }
        if (ch == '*' && !(c0 & 0x20)) ch = ',';
        lines.back().push_back(ch);
    }
    statsweb::Request q;
    static const char *const kMethods[8] = {"GET", "GET",  "GET",  "GET",
                                            "GET", "HEAD", "POST", "get"};
    q.method = kMethods[c0 & 7];
    size_t first = 0;
    if (c0 & 0x80) q.accept = lines[first++];
    static const char *const kPaths[8] = {"/",        "/chart",       "/table",  "/data",
                                          "/metrics", "/openmetrics", "/status", "/nothing"};
    q.path = kPaths[c1 & 7];
    if ((c0 & 0x40) && first < lines.size()) q.path = lines[first++];
    static const char *const kSizes[8][2] = {{nullptr, nullptr}, {"0", "0"},   {"1", "1"},
                                             {"40", "20"},       {"64", "40"}, {"150", "120"},
                                             {"200", "21"},      {"333", "80"}};
    const char *const *xy = kSizes[(c1 >> 3) & 7];
    for (size_t i = first; i < lines.size(); i++) {
        const std::string &l = lines[i];
        size_t eq = l.find('=');
        std::string key = l.substr(0, eq), value = eq == std::string::npos ? "" : l.substr(eq + 1);
        if (xy[0] != nullptr && (key == "x" || key == "y")) continue;
        q.args.emplace_back(key, value);
    }
    if (xy[0] != nullptr) {
        q.args.emplace_back("x", xy[0]);
        q.args.emplace_back("y", xy[1]);
    }

    const statsweb::Response r = statsweb::handle(q);
    check(q, r);
    if (q.method == "GET" || q.method == "HEAD") {
        // The same request by the other method, answered from the same store state.
        statsweb::Request other = q;
        other.method = q.method == "GET" ? "HEAD" : "GET";
        const statsweb::Response o = statsweb::handle(other);
        check(other, o);
        ZELFUZZ_CHECK(o.status == r.status);
        ZELFUZZ_CHECK(o.content_type == r.content_type);
        ZELFUZZ_CHECK(o.text() == r.text());
    }
    return 0;
}
