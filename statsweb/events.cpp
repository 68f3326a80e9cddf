// SPDX-License-Identifier: Apache-2.0
#include "events.h"

#include <algorithm>
#include <mutex>

#include "statsdump.h"
#include "text.h"
#include "views.h"

namespace statsweb {

namespace {

std::mutex events_mu;
uint64_t events_generation = 0;
std::vector<Event> events_kept;

constexpr double kSpaceShare = 0.9;

// The events of one range whose start lies before `limit` (UTC seconds).
void range_events(uint64_t generation, uint32_t range, int64_t limit, std::vector<Event> &out) {
    const auto t = slot_times(generation, range);
    const size_t n = t->utc.size();
    auto slot_end = [&](size_t i) { return i + 1 < n ? t->utc[i + 1] : t->utc[i] + t->step; };
    auto add = [&](const char *kind, const char *field, size_t a, size_t b) {
        if (t->utc[a] < limit) out.push_back({kind, field, t->utc[a], slot_end(b), range});
    };
    // Slots without data in any combined chart; the span before the history begins is none.
    std::vector<bool> data(n, false);
    for (int32_t j = 0; statsdump_estatdefs[j].name != nullptr; j++) {
        const auto c = total_of(generation, 100 + j, range);
        for (size_t i = 0; i < n; i++) data[i] = data[i] || c->total[i] >= 0;
    }
    size_t i = 0;
    while (i < n && !data[i]) i++;
    while (i < n) {
        if (data[i]) {
            i++;
            continue;
        }
        const size_t a = i;
        while (i < n && !data[i]) i++;
        add("no_data", nullptr, a, i - 1);
    }
    // A count that rises: one more disk damaged or marked for removal.
    const struct {
        const char *kind, *field;
    } rises[] = {{"disk_damaged", "hdddmg"}, {"disk_marked_for_removal", "hddmfr"}};
    for (const auto &r : rises) {
        const int32_t type = statsdump_field_type(r.field);
        if (type < 0) continue;
        const auto c = total_of(generation, type, range);
        double before = -1;
        for (size_t k = 0; k < n; k++) {
            const double v = c->total[k];
            if (v < 0) continue;
            if (before >= 0 && v > before) add(r.kind, r.field, k, k);
            before = v;
        }
    }
    // Used space at 90 % of the total or more, as spans.
    const int32_t used_type = statsdump_field_type("usedspace");
    const int32_t total_type = statsdump_field_type("totalspace");
    if (used_type >= 0 && total_type >= 0) {
        const auto used = total_of(generation, used_type, range);
        const auto total = total_of(generation, total_type, range);
        auto full = [&](size_t k) {
            return used->total[k] >= 0 && total->total[k] > 0 &&
                   used->total[k] >= kSpaceShare * total->total[k];
        };
        for (size_t k = 0; k < n;) {
            if (!full(k)) {
                k++;
                continue;
            }
            const size_t a = k;
            while (k < n && full(k)) k++;
            add("space_90", "usedspace", a, k - 1);
        }
    }
}

}  // namespace

std::vector<Event> store_events(uint64_t generation) {
    {
        std::lock_guard<std::mutex> g(events_mu);
        if (events_generation == generation) return events_kept;
    }
    std::vector<Event> all;
    int64_t limit = INT64_MAX;
    for (uint32_t range = 0; range < 4; range++) {
        std::vector<Event> part;
        range_events(generation, range, limit, part);
        all.insert(all.begin(), part.begin(), part.end());
        const auto t = slot_times(generation, range);
        if (!t->utc.empty()) limit = std::min(limit, t->utc.front());
    }
    std::stable_sort(all.begin(), all.end(),
                     [](const Event &a, const Event &b) { return a.start < b.start; });
    std::lock_guard<std::mutex> g(events_mu);
    events_generation = generation;
    events_kept = all;
    return all;
}

bool kept_events(uint64_t generation, std::vector<Event> &out) {
    std::lock_guard<std::mutex> g(events_mu);
    if (events_generation != generation) return false;
    out = events_kept;
    return true;
}

void events_json(std::string &out, const std::vector<Event> &events) {
    out += '[';
    for (size_t i = 0; i < events.size(); i++) {
        const Event &e = events[i];
        if (i > 0) out += ',';
        out += "{\"kind\":";
        json_string(out, e.kind);
        out += ",\"field\":";
        if (e.field != nullptr) {
            json_string(out, e.field);
        } else {
            out += "null";
        }
        out += ",\"start\":" + std::to_string(e.start) + ",\"end\":" + std::to_string(e.end) +
               ",\"range\":" + std::to_string(e.range) + "}";
    }
    out += ']';
}

const char *event_text(const Event &e) {
    const std::string_view k = e.kind;
    if (k == "no_data") return "no data (the server was down or not recording)";
    if (k == "disk_damaged") return "a disk turned damaged";
    if (k == "disk_marked_for_removal") return "a disk was marked for removal";
    if (k == "space_90") return "used space at 90 % of the total or more";
    return e.kind;
}

}  // namespace statsweb
