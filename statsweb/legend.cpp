// SPDX-License-Identifier: Apache-2.0
#include "legend.h"

#include <stdio.h>
#include <string.h>

#include "charts.h"
#include "fields.h"
#include "statsdump.h"

namespace statsweb {

namespace {

constexpr uint32_t kPaletteOffset = 41;  // first palette byte of the PNG header template
constexpr uint32_t kFirstDataEntry = 50;

// How the renderer spreads the data entries 50..199 over the series of one chart.
uint32_t span_of(size_t series) {
    return series >= 3 ? 50 : series == 2 ? 75 : 150;
}

// The renderer's palette as read_palette() found it in a picture the renderer drew.
uint8_t palette[3 * 256];

std::string entry_hex(uint32_t entry) {
    const uint8_t *c = palette + 3 * entry;
    char buf[8];
    snprintf(buf, sizeof buf, "#%02x%02x%02x", c[0], c[1], c[2]);
    return buf;
}

void colours(size_t count, size_t s, std::string &bottom, std::string &top) {
    const uint32_t span = span_of(count);
    const uint32_t first = kFirstDataEntry + span * uint32_t(s);
    bottom = entry_hex(first);
    top = entry_hex(first + span - 1);
}

}  // namespace

void read_palette() {
    const uint32_t size = charts_make_png(0, 150, 120);
    std::vector<uint8_t> png(size);
    charts_get_png(png.data());
    if (size >= kPaletteOffset + sizeof palette) {
        memcpy(palette, png.data() + kPaletteOffset, sizeof palette);
    }
}

Legend legend_of(int32_t type) {
    Legend lg;
    std::vector<std::string> names;
    if (type >= 100) {
        for (int32_t j = 0; kChartTexts[j].name != nullptr; j++) {
            if (j != type - 100) continue;
            for (const char *s : kChartTexts[j].series) {
                if (s != nullptr) names.emplace_back(s);
            }
        }
        if (names.empty() && statsdump_estatdefs[type - 100].name != nullptr) {
            names.emplace_back(statsdump_estatdefs[type - 100].name);
        }
    } else {
        names.emplace_back(statsdump_statdefs[type].name);
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
