// SPDX-License-Identifier: Apache-2.0
// Prometheus text exposition and OpenMetrics text of the base statistics and of the health of
// statsweb's data file.
#include "metrics.h"

#include <charconv>

#include "charts.h"
#include "fields.h"
#include "statsdump.h"
#include "text.h"

namespace statsweb {

namespace {

// The label resolution of a range: its slot length ("1m", "6m", "30m", "1d").
std::string resolution(uint32_t range) {
    const uint32_t seconds = charts_range_seconds(range);
    return seconds % 86400 == 0 ? std::to_string(seconds / 86400) + "d"
                                : std::to_string(seconds / 60) + "m";
}

void put_i64(std::string &out, int64_t v) {
    char buf[24];
    out.append(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
}

// A sample value: the shortest text that reads back as the same double.
void put_value(std::string &out, double v) {
    char buf[32];
    out.append(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
}

// A label value, escaped as both formats write it.
void put_label_value(std::string &out, std::string_view v) {
    out += '"';
    for (char c : v) {
        if (c == '\\' || c == '"') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    out += '"';
}

void family_head(std::string &out, bool openmetrics, std::string_view name, const char *type,
                 const char *unit, std::string_view help) {
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
    if (openmetrics && unit[0] != '\0') {
        out += "# UNIT ";
        out += name;
        out += ' ';
        out += unit;
        out += '\n';
    }
}

// One health family: head and one sample without labels. In OpenMetrics a counter's family is
// named without the _total its sample carries; text 0.0.4 names both alike.
void health(std::string &out, bool openmetrics, const char *name, const char *type,
            const char *unit, const char *help, int64_t value) {
    std::string_view family = name;
    if (openmetrics && std::string_view(type) == "counter" && family.ends_with("_total")) {
        family.remove_suffix(6);
    }
    family_head(out, openmetrics, family, type, unit, help);
    out += name;
    out += ' ';
    put_i64(out, value);
    out += '\n';
}

}  // namespace

BaseSeries base_series(uint32_t range) {
    BaseSeries s;
    s.range = range;
    while (statsdump_statdefs[s.stats].name != nullptr) s.stats++;
    s.slots = charts_getmaxleng();
    s.values.assign(size_t(s.stats) * s.slots, -1.0);
    for (uint32_t f = 0; f < s.stats; f++) {
        charts_getdata(s.values.data() + size_t(f) * s.slots, &s.newest, &s.step, f * 10 + range);
    }
    return s;
}

bool is_fresh(int64_t sample, int64_t now) {
    return now - sample <= kFreshSeconds;
}

int64_t sample_utc(const BaseSeries &s) {
    return local_to_utc(int64_t(s.newest) - s.step);
}

std::string statistics_text(const BaseSeries &s, bool openmetrics) {
    std::string out;
    if (s.slots < 2) return out;
    out.reserve(24576);
    const uint32_t slot = s.slots - 2;
    std::string stamp = " ";
    put_i64(stamp, openmetrics ? sample_utc(s) : sample_utc(s) * 1000);
    stamp += '\n';
    const std::string labels = "{resolution=\"" + resolution(s.range) + "\"} ";
    for (uint32_t f = 0; f < s.stats; f++) {
        const FieldText &t = kFieldTexts[f];
        family_head(out, openmetrics, t.metric, "gauge", t.metric_unit, metric_help(int32_t(f)));
        const double v = s.at(f, slot);
        if (v < 0) continue;
        out += t.metric;
        out += labels;
        put_value(out, v * t.factor);
        out += stamp;
    }
    return out;
}

std::string health_text(const Health &h, bool om) {
    std::string out;
    out.reserve(2048);
    family_head(out, om, "zelcs_build_info", "gauge", "", "The statsweb version that answers.");
    out += "zelcs_build_info{version=";
    put_label_value(out, ZEL_VERSION);
    out += "} 1\n";
    health(out, om, "zelcs_data_file_loaded", "gauge", "",
           "1 while the last load of the data file succeeded, 0 after a failed one (the "
           "statistics then come from the last good load).",
           h.loaded ? 1 : 0);
    health(out, om, "zelcs_data_file_load_failures_total", "counter", "",
           "Failed loads of the data file since statsweb started.", int64_t(h.failures));
    if (h.last_load >= 0) {
        health(out, om, "zelcs_data_file_last_load_timestamp_seconds", "gauge", "seconds",
               "When the data file was last loaded successfully, in seconds since 1970 UTC.",
               h.last_load);
    }
    if (h.newest_utc >= 0) {
        health(out, om, "zelcs_data_file_newest_minute_timestamp_seconds", "gauge", "seconds",
               "Start of the newest minute of the data file, in seconds since 1970 UTC; the "
               "statistics are left out while the minute before it is more than 10 minutes old.",
               h.newest_utc);
    }
    if (om) out += "# EOF\n";
    return out;
}

bool label_value_ok(std::string_view v) {
    if (v.empty() || v.size() > 256) return false;
    const auto *p = reinterpret_cast<const unsigned char *>(v.data());
    for (size_t i = 0; i < v.size();) {
        const size_t n = utf8_length(p + i, v.size() - i);
        if (n == 0) return false;
        // No control character: C0, DEL, C1.
        const uint32_t cp = utf8_code_point(p + i, n);
        if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) return false;
        i += n;
    }
    return true;
}

std::string openmetrics_history(const BaseSeries &s, std::string_view job,
                                std::string_view instance) {
    // UTC start of each slot, computed once for all families; the newest slot is still being
    // filled and is left out.
    const uint32_t complete = s.slots > 0 ? s.slots - 1 : 0;
    std::vector<int64_t> utc(complete);
    const int64_t first = int64_t(s.newest) - int64_t(s.step) * (int64_t(s.slots) - 1);
    for (uint32_t k = 0; k < complete; k++) utc[k] = local_to_utc(first + int64_t(s.step) * k);
    std::string labels = "{job=";
    put_label_value(labels, job);
    labels += ",instance=";
    put_label_value(labels, instance);
    labels += ",resolution=\"";
    labels += resolution(s.range);
    labels += "\"} ";
    std::string out;
    out.reserve(size_t(s.stats) * complete * (40 + labels.size()));
    for (uint32_t f = 0; f < s.stats; f++) {
        const FieldText &t = kFieldTexts[f];
        family_head(out, true, t.metric, "gauge", t.metric_unit, metric_help(int32_t(f)));
        bool any = false;
        int64_t last = 0;
        for (uint32_t k = 0; k < complete; k++) {
            const double v = s.at(f, k);
            // Samples of a family go forward in time; a slot whose instant is not later than
            // the one before (a local time that never occurred) is left out.
            if (v < 0 || (any && utc[k] <= last)) continue;
            out += t.metric;
            out += labels;
            put_value(out, v * t.factor);
            out += ' ';
            put_i64(out, utc[k]);
            out += '\n';
            any = true;
            last = utc[k];
        }
    }
    out += "# EOF\n";
    return out;
}

}  // namespace statsweb
