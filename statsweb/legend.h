// SPDX-License-Identifier: Apache-2.0
// The colours of each chart's stacked series, read from the chart renderer's palette, so that
// the page's legends and interactive charts match the PNGs. The renderer shades each series
// from its bottom colour (lowest row of the picture) to its top colour (highest row).
#ifndef STATSWEB_LEGEND_H
#define STATSWEB_LEGEND_H

#include <stdint.h>

#include <string>
#include <vector>

namespace statsweb {

struct LegendSeries {
    std::string name;       // "user"; the field's own name for a base statistic
    std::string bottom;     // "#04ecf1"
    std::string top;        // "#2386b4": the colour of the top row
    std::string css_class;  // "sw2-0": the swatch rule of legend_css()
};

struct Legend {
    std::vector<LegendSeries> series;  // bottom first
};

// Takes the palette from the PLTE chunk of a picture the renderer draws, through the library's
// public functions; open_store calls it once the store is set up.
void read_palette();

// The series of a chart type (0..47 or 100 + k) as its chart stacks them, in the palette that
// read_palette() took.
Legend legend_of(int32_t type);

// Style rules of the swatches: one per series count (1..3) and series position.
std::string legend_css();

}  // namespace statsweb

#endif
