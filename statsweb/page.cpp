// SPDX-License-Identifier: Apache-2.0
// The HTML pages of statsweb.
#include "page.h"

#include <math.h>
#include <stdio.h>
#include <time.h>

#include <algorithm>

#include "charts.h"
#include "fields.h"
#include "legend.h"
#include "statsdump.h"
#include "store.h"
#include "text.h"

namespace statsweb {

namespace {

// A span of time in words, as the range buttons and the page's text give it: "25.8 hours",
// "2.8 days", "17 days", "4.2 years", "11 years".
std::string span_text(double seconds) {
    char buf[32];
    const double days = seconds / 86400, years = days / 365.25;
    if (days < 2) {
        snprintf(buf, sizeof buf, "%.1f hours", seconds / 3600);
    } else if (days < 10) {
        snprintf(buf, sizeof buf, "%.1f days", days);
    } else if (days < 365) {
        snprintf(buf, sizeof buf, "%.0f days", days);
    } else {
        snprintf(buf, sizeof buf, years < 10 ? "%.1f years" : "%.0f years", years);
    }
    return buf;
}

// Each range by its slot length and the span of its slots: "1 minute slots, 2.8 days".
std::string range_choice(uint32_t range) {
    const uint32_t step = charts_range_seconds(range);
    const std::string slot =
        step < 3600 ? std::to_string(step / 60) + " minute" : std::to_string(step / 86400) + " day";
    return slot + " slots, " + span_text(double(step) * CHARTS_SLOTS);
}

int64_t utc_offset_at(int64_t utc) {
    const time_t t = time_t(utc);
    struct tm tm;
    if (localtime_r(&t, &tm) == nullptr) return 0;
    return tm.tm_gmtoff;
}

const char *field_name(int32_t type) {
    const char *name = statsdump_field_name(type);
    return name != nullptr ? name : "";
}

const char *text_or(const char *text, const char *fallback) {
    return text != nullptr ? text : fallback;
}

std::string range_arg(uint32_t range) {
    return std::string("r=") + char('0' + range);
}

// The events within the range's history, newest first, with their local times.
void events_list(std::string &out, const PageData &p) {
    std::vector<const Event *> shown;
    for (const Event &e : p.events) {
        if (e.end > p.first_utc) shown.push_back(&e);
    }
    if (shown.empty()) return;
    out +=
        "<section class=\"events\" aria-labelledby=\"events-h\"><h2 id=\"events-h\">"
        "What happened</h2>\n<ul>\n";
    constexpr size_t kShown = 12;
    for (size_t k = 0; k < shown.size() && k < kShown; k++) {
        const Event &e = *shown[shown.size() - 1 - k];
        out += "<li data-kind=\"";
        out += e.kind;
        out += "\" data-start=\"" + std::to_string(e.start) + "\" data-end=\"" +
               std::to_string(e.end) + "\"><time datetime=\"" + std::to_string(e.start) + "\">";
        html_escape(out, local_date(e.start + utc_offset_at(e.start)));
        out += "</time> – <time datetime=\"" + std::to_string(e.end) + "\">";
        html_escape(out, local_date(e.end + utc_offset_at(e.end)));
        out += "</time> ";
        html_escape(out, event_text(e));
        if (e.field != nullptr) {
            out += " (<code>";
            out += e.field;
            out += "</code>)";
        }
        out += "</li>\n";
    }
    if (shown.size() > kShown) {
        out += "<li>and " + std::to_string(shown.size() - kShown) + " earlier</li>\n";
    }
    out += "</ul></section>\n";
}

void head(std::string &out, const PageData &p, const std::string &title) {
    out +=
        "<!DOCTYPE html>\n<html lang=\"en\" class=\"nojs\">\n<head>\n<meta charset=\"utf-8\">\n"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
        "<meta name=\"color-scheme\" content=\"light dark\">\n<title>";
    html_escape(out, title);
    out += " – ";
    html_escape(out, p.name);
    out +=
        "</title>\n<link rel=\"stylesheet\" href=\"/statsweb.css\">\n"
        "<script src=\"/statsweb.js\" defer></script>\n</head>\n<body>\n<header class=\"top\"";
    // The rule of the age warning, for the script to apply to the browser's clock.
    out += " data-stale=\"" + std::to_string(kStaleSeconds) + "\" data-future=\"" +
           std::to_string(kFutureSeconds) + "\">\n<h1><a href=\"/\">";
    html_escape(out, p.name);
    out += "</a></h1>\n<p class=\"meta\">data file <code>";
    html_escape(out, p.path);
    out += "</code>";
    if (p.loaded) {
        out += " · newest minute <time datetime=\"";
        out += std::to_string(p.newest_utc);
        out += "\">";
        html_escape(out, local_date(p.newest));
        out += "</time> <span class=\"zone\">";
        html_escape(out, p.zone);
        out += "</span> · <span class=\"age\" data-newest=\"";
        out += std::to_string(p.newest_utc);
        out += "\">";
        html_escape(out, age_text(p.now - p.newest_utc));
        out += "</span>";
    }
    out += "</p>\n</header>\n";

    // The warning band: what an operator must know before reading a chart.
    // The script keeps the lines up to date by their class.
    std::vector<std::pair<const char *, std::string>> warnings;
    if (!p.loaded) {
        warnings.emplace_back(
            "load", "No data loaded: " + (p.message.empty() ? "nothing read yet" : p.message));
    } else {
        if (!p.message.empty()) {
            warnings.emplace_back("load",
                                  "The data file could not be loaded again (showing the "
                                  "last good load): " +
                                      p.message);
        }
        const std::string age = stale_text(p.now - p.newest_utc);
        if (!age.empty()) warnings.emplace_back("age", age);
    }
    out += "<div class=\"warn\" role=\"alert\"";
    if (warnings.empty()) out += " hidden";
    out += ">";
    for (const auto &w : warnings) {
        out += "<p class=\"";
        out += w.first;
        out += "\">";
        html_escape(out, w.second);
        out += "</p>";
    }
    out += "</div>\n";
    events_list(out, p);
}

void range_nav(std::string &out, const std::string &base, uint32_t current) {
    out += "<nav class=\"ranges\" aria-label=\"range\">";
    for (uint32_t r = 0; r < CHARTS_RANGES; r++) {
        out += "<a href=\"";
        out += base;
        out += range_arg(r);
        out += r == current ? "\" aria-current=\"page\">" : "\">";
        out += range_choice(r);
        out += "</a>";
    }
    out += "</nav>\n";
}

// One chart: title, unit, the picture (drawn again by the script), legend, window figures and
// the readout's reserved line.
void panel(std::string &out, const PageData &p, size_t i, uint32_t x, uint32_t y) {
    const int32_t type = p.fields[i];
    const char *name = field_name(type);
    const char *title = text_or(field_title(type), name);
    const Shown shown = field_shown(type);
    const char *unit = shown.unit;
    const Legend lg = legend_of(type);
    const std::string view = std::string("/view?f=") + name + "&amp;" + range_arg(p.range);

    out += "<figure class=\"panel\" data-field=\"";
    html_escape(out, name);
    out += "\" data-unit=\"";
    html_escape(out, unit);
    char scale[32];
    snprintf(scale, sizeof scale, "%.17g", shown.scale);
    out += "\" data-scale=\"";
    out += scale;
    out += "\" data-series=\"";
    for (size_t s = 0; s < lg.series.size(); s++) {
        if (s > 0) out += '|';
        html_escape(out, lg.series[s].name);
    }
    out += "\" data-colors=\"";
    for (size_t s = 0; s < lg.series.size(); s++) {
        if (s > 0) out += ';';
        out += lg.series[s].bottom + "," + lg.series[s].top;
    }
    out += "\">\n<figcaption><a href=\"" + view + "\">";
    html_escape(out, title);
    out += "</a>";
    if (unit[0] != '\0') {
        out += " <span class=\"unit\">";
        html_escape(out, unit);
        out += "</span>";
    }
    std::string png = "/chart?f=";
    html_escape(png, name);
    png += "&amp;" + range_arg(p.range) + "&amp;x=" + std::to_string(x) +
           "&amp;y=" + std::to_string(y);
    out += " <code>";
    html_escape(out, name);
    out += "</code></figcaption>\n<div class=\"plot\" data-png=\"" + png + "\"><noscript>";
    if (p.loaded) {
        // Without script the PNG, as wide as the page allows, and at full size behind it.
        out += "<a href=\"" + png + "\"><img src=\"" + png + "\" width=\"" + std::to_string(x) +
               "\" height=\"" + std::to_string(y) + "\" alt=\"";
        html_escape(out, std::string("chart of ") + title);
        if (lg.series.size() > 1) {
            out += ", stacked from the top: ";
            for (size_t s = 0; s < lg.series.size(); s++) {
                if (s > 0) out += s + 1 == lg.series.size() ? " and " : ", ";
                html_escape(out, lg.series[s].name);
            }
        }
        out += "\"></a>";
    } else {
        out += "<p>No data loaded yet: reload the page once the data file is there.</p>";
    }
    out += "</noscript></div>\n<ul class=\"legend\">";
    for (size_t s = 0; s < lg.series.size(); s++) {
        out += "<li><span class=\"sw " + lg.series[s].css_class + "\"></span>";
        html_escape(out, lg.series[s].name);
        out += "</li>";
    }
    out += "</ul>\n<dl class=\"figs\">";
    const WindowStats &w = i < p.stats.size() ? p.stats[i] : WindowStats();
    const char *labels[4] = {"last", "min", "avg", "max"};
    const double values[4] = {w.last, w.min, w.avg, w.max};
    for (int k = 0; k < 4; k++) {
        out += "<div><dt>";
        // Without data in the newest complete slot, "last" is the newest slot that has some.
        out += k == 0 && w.any && w.last_missing ? "last with data" : labels[k];
        out += "</dt><dd data-k=\"";
        out += labels[k];
        out += "\">";
        html_escape(out, w.any ? value_text(values[k] * shown.scale, unit) : "–");
        out += "</dd></div>";
    }
    out += "</dl>\n<p class=\"readout\"></p>\n</figure>\n";
}

void footer(std::string &out) {
    out +=
        "<footer><a href=\"/status\">status</a> · <a href=\"/metrics\">metrics</a> · "
        "statsweb " ZEL_VERSION "</footer>\n</body>\n</html>\n";
}

}  // namespace

std::string age_text(int64_t seconds) {
    const bool future = seconds < 0;
    const int64_t s = future ? -seconds : seconds;
    std::string n;
    if (s < 60) {
        n = "less than a minute";
    } else if (s < 2 * 3600) {
        n = std::to_string(s / 60) + " min";
    } else if (s < 2 * 86400) {
        n = std::to_string(s / 3600) + " h";
    } else if (s < 2 * 365 * 86400) {
        n = std::to_string(s / 86400) + " days";
    } else {
        char buf[32];
        snprintf(buf, sizeof buf, "%.1f years", double(s) / (365.25 * 86400));
        n = buf;
    }
    return future ? "in " + n : n + " ago";
}

std::string stale_text(int64_t age) {
    if (age > kStaleSeconds) return "The data is old: its newest minute is " + age_text(age) + ".";
    if (age < -kFutureSeconds) {
        return "The newest minute lies in the future (" + age_text(age) +
               "): check the clocks and the time zone (-z).";
    }
    return "";
}

std::string value_text(double v, const char *unit) {
    char buf[64];
    const std::string u = unit != nullptr ? unit : "";
    if (u == "%") {
        snprintf(buf, sizeof buf, "%.2f %%", v);
        return buf;
    }
    static const char *const prefixes[] = {"", "k", "M", "G", "T", "P", "E"};
    size_t k = 0;
    double x = v;
    while (fabs(x) >= 999.995 && k + 1 < sizeof prefixes / sizeof *prefixes) {
        x /= 1000;
        k++;
    }
    if (k == 0 && x == floor(x)) {
        snprintf(buf, sizeof buf, "%.0f", x);
    } else if (k == 0 && fabs(x) < 1) {
        snprintf(buf, sizeof buf, "%.3g", x);
    } else {
        snprintf(buf, sizeof buf, "%.2f", x);
    }
    std::string out = buf;
    if (k > 0 || !u.empty()) out += ' ';
    out += prefixes[k];
    out += u;
    return out;
}

WindowStats window_stats(const std::vector<double> &values) {
    WindowStats w;
    // The newest slot is still filling: the figures are over the complete ones before it.
    const size_t n = values.empty() ? 0 : values.size() - 1;
    const size_t first = n > kWindowSlots - 1 ? n - (kWindowSlots - 1) : 0;
    double sum = 0;
    size_t count = 0;
    for (size_t i = first; i < n; i++) {
        const double v = values[i];
        if (v < 0) continue;
        if (count == 0 || v < w.min) w.min = v;
        if (count == 0 || v > w.max) w.max = v;
        sum += v;
        count++;
        w.last = v;
    }
    w.any = count > 0;
    w.avg = count > 0 ? sum / double(count) : 0;
    w.last_missing = n == 0 || values[n - 1] < 0;
    return w;
}

std::string page_html(const PageData &p) {
    std::string out;
    out.reserve(32768);
    head(out, p, "charts");
    out += "<main>\n";
    range_nav(out, "/?", p.range);
    out += "<p class=\"span\">Each chart shows the last ";
    // What one chart of kWindowSlots slots covers.
    out += span_text(double(charts_range_seconds(p.range)) * kWindowSlots);
    out +=
        " as the command-line chart at its default width; its figures are over the complete "
        "slots (the newest slot is still filling). A chart's title opens it with its table.";
    if (!p.loaded) out += " No data is loaded yet; the charts start when it is.";
    out += "</p>\n";
    out += "<div class=\"grid\" id=\"charts\" data-range=\"";
    out += char('0' + p.range);
    out += "\" data-slots=\"" + std::to_string(kWindowSlots) + "\">\n";
    for (size_t i = 0; p.fields[i] >= 0; i++) panel(out, p, i, kWindowSlots + 50, 320);
    out += "</div>\n";
    // The base statistics: one line each, linking to its own page.
    out += "<details class=\"base\"><summary>The 48 statistics</summary>\n<ul>\n";
    for (int32_t i = 0; statsdump_statdefs[i].name != nullptr; i++) {
        out += "<li><a href=\"/view?f=";
        html_escape(out, statsdump_statdefs[i].name);
        out += "&amp;" + range_arg(p.range) + "\"><code>";
        html_escape(out, statsdump_statdefs[i].name);
        out += "</code> ";
        html_escape(out, text_or(field_title(i), ""));
        out += "</a></li>\n";
    }
    out += "</ul>\n</details>\n</main>\n";
    footer(out);
    return out;
}

namespace {

// The pager of /view: newer, the rows shown, older.
std::string pager(const std::string &base, const ViewRows &v, const char *where) {
    const size_t pages = (v.count + kViewRows - 1) / kViewRows;
    std::string out = "<nav class=\"pager\" aria-label=\"table pages, ";
    out += where;
    out += "\">";
    if (v.page > 0) {
        out += "<a href=\"" + base + "&amp;p=" + std::to_string(v.page - 1) + "\">newer</a> ";
    }
    out += "rows " + std::to_string(size_t(v.page) * kViewRows + 1) + "–" +
           std::to_string(std::min(v.count, size_t(v.page + 1) * kViewRows)) + " of " +
           std::to_string(v.count) + ", newest first";
    if (v.page + 1 < pages) {
        out += " <a href=\"" + base + "&amp;p=" + std::to_string(v.page + 1) + "\">older</a>";
    }
    return out + "</nav>\n";
}

}  // namespace

std::string view_html(const PageData &p, const ViewRows &v) {
    const int32_t type = p.fields[0];
    const char *name = field_name(type);
    const Shown shown = field_shown(type);
    std::string out;
    out.reserve(65536);
    head(out, p, name);
    out += "<main>\n";
    const std::string base = std::string("/view?f=") + name + "&amp;" + range_arg(p.range);
    range_nav(out, std::string("/view?f=") + name + "&amp;", p.range);
    out += "<div class=\"grid single\" id=\"charts\" data-range=\"";
    out += char('0' + p.range);
    out += "\" data-slots=\"" + std::to_string(kWindowSlots) + "\">\n";
    panel(out, p, 0, kWindowSlots + 50, 480);
    out += "</div>\n";
    if (!p.loaded) {
        out += "</main>\n";
        footer(out);
        return out;
    }
    const std::string q = std::string("/table?f=") + name + "&amp;" + range_arg(p.range);
    out +=
        "<p class=\"downloads\">The whole table (4096 slots) as statsdump prints it: <a href=\"" +
        q + "&amp;d=1\" download>TSV</a> · <a href=\"" + q +
        "&amp;d=1&amp;s=,\" download>CSV</a> · <a href=\"" + q +
        "&amp;format=json\">JSON</a></p>\n";
    out += pager(base, v, "above");
    // A combined chart: each stacked series, then the total.
    out += "<table class=\"data\"><caption>";
    html_escape(out, text_or(field_title(type), name));
    if (shown.unit[0] != '\0') {
        out += " (";
        html_escape(out, shown.unit);
        out += ")";
    }
    out += ", newest first</caption><thead><tr><th scope=\"col\">date</th>";
    const Legend lg = legend_of(type);
    for (size_t s = 0; s < v.parts; s++) {
        out += "<th scope=\"col\">";
        html_escape(out, s < lg.series.size() ? lg.series[s].name : std::to_string(s + 1));
        out += "</th>";
    }
    out += "<th scope=\"col\">";
    out += v.parts > 0 ? "total" : name;
    out += "</th></tr></thead>\n<tbody>\n";
    for (size_t k = 0; k < v.local.size(); k++) {
        out += "<tr><td>";
        html_escape(out, local_date(v.local[k]));
        out += "</td>";
        for (size_t c = 0; c < v.columns(); c++) {
            const double x = v.values[k * v.columns() + c];
            out += "<td>";
            html_escape(out, x < 0 ? "-" : value_text(x * shown.scale, shown.unit));
            out += "</td>";
        }
        out += "</tr>\n";
    }
    out += "</tbody></table>\n" + pager(base, v, "below") + "</main>\n";
    footer(out);
    return out;
}

}  // namespace statsweb
