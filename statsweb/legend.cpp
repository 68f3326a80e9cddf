// SPDX-License-Identifier: Apache-2.0
#include "legend.h"

#include <stdio.h>

#include "charts.h"
#include "fields.h"
#include "statsdump.h"

namespace statsweb {

namespace {

std::string hex(uint32_t rgb) {
    char buf[8];
    snprintf(buf, sizeof buf, "#%06x", rgb & 0xFFFFFFu);
    return buf;
}

// The renderer's colours of series s of a chart with count series.
void colours(size_t count, size_t s, std::string &bottom, std::string &top) {
    uint32_t b = 0, t = 0;
    charts_series_colours(uint32_t(count), uint32_t(s), &b, &t);
    bottom = hex(b);
    top = hex(t);
}

}  // namespace

Legend legend_of(int32_t type) {
    Legend lg;
    std::vector<std::string> names;
    if (type >= 100 && field_title(type) != nullptr) {
        for (const char *s : kChartTexts[type - 100].series) {
            if (s != nullptr) names.emplace_back(s);
        }
    }
    if (names.empty() && statsdump_field_name(type) != nullptr) {
        names.emplace_back(statsdump_field_name(type));
    }
    for (size_t s = 0; s < names.size(); s++) {
        LegendSeries ls;
        ls.name = names[s];
        colours(names.size(), s, ls.bottom, ls.top);
        ls.css_class = "sw" + std::to_string(names.size()) + "-" + std::to_string(s);
        lg.series.push_back(std::move(ls));
    }
    return lg;
}

std::string legend_css() {
    std::string out;
    for (size_t count = 1; count <= 3; count++) {
        for (size_t s = 0; s < count; s++) {
            std::string bottom, top;
            colours(count, s, bottom, top);
            out += ".sw" + std::to_string(count) + "-" + std::to_string(s) +
                   "{background:linear-gradient(to top," + bottom + "," + top + ")}\n";
        }
    }
    return out;
}

}  // namespace statsweb
