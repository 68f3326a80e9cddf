// SPDX-License-Identifier: Apache-2.0
// The two axes of a chart: the value axis (label step, decimals and unit prefix for the largest
// value) and the time axis (grid lines, ticks and labels at hour, day and month boundaries,
// counted back from the newest slot at the right edge of the data area).
#include "charts_priv.h"

namespace charts {

// Step 1 and 2 of the value axis: a label step with a fixed number of decimals and no prefix
// change; true when the step keeps every label below 1000 (in units of 10^-decimals).
static bool fixmax_decimals(uint64_t m, uint32_t ypts, uint64_t unit, uint8_t decimals,
                            uint8_t *mode, uint16_t *base, double *result) {
    *base = static_cast<uint16_t>((m * unit + ypts - 1) / ypts);
    if (uint32_t{*base} * ypts > 999) return false;
    *mode = decimals;
    *result = static_cast<double>(uint32_t{*base} * ypts) / static_cast<double>(unit);
    return true;
}

double charts_fixmax(uint64_t max, uint32_t ypts, uint8_t *scale, uint8_t *mode, uint16_t *base) {
    const uint64_t m = max == 0 ? 1 : max;
    double result;
    if (max <= 9 && fixmax_decimals(m, ypts, 100, 2, mode, base, &result)) return result;
    if (max <= 99 && fixmax_decimals(m, ypts, 10, 1, mode, base, &result)) return result;

    // Every power of ten moves the decimal point one place left; every third one switches to
    // the next unit prefix. cpmax skips the powers whose label step needs more than 3 digits.
    uint64_t cpmax = 999;
    uint64_t factor = ypts;
    uint8_t cmode = 0;
    uint8_t ascale = 0;
    for (;;) {
        if (max <= cpmax) {
            *base = static_cast<uint16_t>((m + factor - 1) / factor);
            if (uint32_t{*base} * ypts <= 999) {
                *mode = cmode;
                *scale = static_cast<uint8_t>(*scale + ascale);
                return static_cast<double>(factor * *base);
            }
        }
        if (cmode == 0) {
            cmode = 2;
            ascale++;
        } else {
            cmode--;
        }
        factor *= 10;
        if (cpmax * 10 <= cpmax) break;  // the next ceiling would pass 2^64
        cpmax *= 10;
    }

    // Maxima near the top of the 64-bit range: round up by tens without wrapping.
    const uint64_t q = max >= UINT64_MAX - 8 ? m / 10 : (m + 9) / 10;
    const uint64_t step = factor / 10;
    *base = static_cast<uint16_t>((q + step - 1) / step);
    *mode = cmode;
    *scale = static_cast<uint8_t>(*scale + ascale);
    return static_cast<double>(*base) * static_cast<double>(factor);
}

uint32_t getmonleng(uint32_t year, uint32_t month) {
    switch (month) {
        case 1:
        case 3:
        case 5:
        case 7:
        case 8:
        case 10:
        case 12:
            return 31;
        case 4:
        case 6:
        case 9:
        case 11:
            return 30;
        case 2:
            return ((year % 4 == 0 && year % 100 != 0) || year % 400 == 0) ? 29 : 28;
        default:
            return 0;
    }
}

namespace {

constexpr int32_t kAreaX = 43;  // bitmap column of data-area column 0
constexpr int32_t kAreaY = 6;   // bitmap row of data-area row 0
constexpr uint8_t kGridColor = 3;
constexpr uint8_t kTickColor = 2;
constexpr uint8_t kLabelColor = 4;
constexpr uint8_t kColon = 11;
constexpr uint8_t kFullStop = 10;

// Draws the time axis of one chart; h counts data-area columns (negative: left of the area).
struct TimeAxis {
    uint32_t width;
    uint32_t height;

    // Vertical grid line at column h: ys 1 dashed (3 on, 1 off), 2 dotted, 4 sparse dots.
    void line(int64_t h, uint32_t ys) const {
        uint8_t *p = g.chart + kAreaY * kChartStride + (kAreaX + h);
        for (uint32_t j = 0; j < height; j++, p += kChartStride) {
            const bool set = ys == 1 ? (j % 4 != 0) : (j % ys == 0);
            if (set) *p = kGridColor;
        }
    }

    void ticks(int64_t h) const {
        g.chart[(height + 7) * kChartStride + (kAreaX + h)] = kTickColor;
        g.chart[(height + 8) * kChartStride + (kAreaX + h)] = kTickColor;
    }

    // Labels stay inside the data area's columns.
    void label(int64_t posx, const uint8_t *text, uint32_t leng) const {
        if (posx < INT32_MIN || posx > INT32_MAX) return;
        charts_puttext(static_cast<int32_t>(posx), static_cast<int32_t>(height + 10), kLabelColor,
                       text, leng, kAreaX, static_cast<int32_t>(width) + 42, 0,
                       static_cast<int32_t>(kChartRows) - 1);
    }

    void hour_label(int64_t posx, uint32_t hour) const {
        const uint8_t text[5] = {static_cast<uint8_t>(hour / 10), static_cast<uint8_t>(hour % 10),
                                 kColon, 0, 0};
        label(posx, text, 5);
    }

    void day_label(int64_t posx, uint32_t month, uint32_t mday) const {
        const uint8_t text[5] = {static_cast<uint8_t>(month / 10), static_cast<uint8_t>(month % 10),
                                 kFullStop, static_cast<uint8_t>(mday / 10),
                                 static_cast<uint8_t>(mday % 10)};
        label(posx, text, 5);
    }

    void month_label(int64_t h, uint32_t year, uint32_t month) const {
        const uint8_t text[2] = {static_cast<uint8_t>(month / 10),
                                 static_cast<uint8_t>(month % 10)};
        // The 11-pixel label about centred over the month's columns.
        const int64_t centre = (static_cast<int64_t>(getmonleng(year, month)) - 11) / 2;
        label(h + 44 + centre, text, 2);
    }
};

// One month back: from January to December of the year before.
void previous_month(uint32_t *month, uint32_t *year) {
    if (*month == 1) {
        *month = 12;
        (*year)--;
    } else {
        (*month)--;
    }
}

// Ranges 0..2: a line every hour (ranges 0 and 1) or every six hours (range 2), labelled with
// the hour (every hour in range 0, every sixth in range 1) or the date (at midnight, range 2).
void hourly_axis(const TimeAxis &ax, uint32_t range) {
    int64_t xs, xoff;
    uint32_t xh, wrap, xbold;
    uint32_t xd = g.lngmday, xm = g.lngmonth, xy = g.lngyear;
    if (range == 0) {
        xs = 60, xoff = g.shmin, xh = g.shhour, wrap = 23, xbold = 1;
    } else if (range == 1) {
        xs = 10, xoff = g.medmin / 6, xh = g.medhour, wrap = 23, xbold = 6;
    } else {
        xs = 12, xoff = g.lnghalfhour % 12, xh = g.lnghalfhour / 12, wrap = 3, xbold = 4;
    }
    int64_t h = int64_t{ax.width} - 1 - xoff;
    while (h >= 0) {
        uint32_t ys;
        if (xh % xbold == 0) {
            const bool strong =
                (range == 0 && xh % 6 == 0) || (range == 1 && xh == 0) || (range == 2 && xd == 1);
            ys = strong ? 1 : 2;
            if (range < 2) {
                ax.hour_label(h + 29, xh);
            } else {
                ax.day_label(h + 53, xm, xd);
                if (xd == 1) {
                    previous_month(&xm, &xy);
                    xd = getmonleng(xy, xm);
                } else {
                    xd--;
                }
            }
            ax.ticks(h);
        } else {
            ys = 4;
        }
        ax.line(h, ys);
        h -= xs;
        xh = xh == 0 ? wrap : xh - 1;
    }
    // The day whose midnight lies left of the data area keeps its (clipped) label.
    if (range == 2) ax.day_label(h - 12 * int64_t{xh} + 53, xm, xd);
}

// Range 3: a line at the first day of every month, dashed at January, labelled with the month.
void monthly_axis(const TimeAxis &ax) {
    uint32_t xy = g.lngyear, xm = g.lngmonth;
    int64_t h = int64_t{ax.width} - g.lngmday;
    while (h >= 0) {
        ax.month_label(h, xy, xm);
        ax.ticks(h);
        ax.line(h, xm == 1 ? 1 : 2);
        previous_month(&xm, &xy);
        const uint32_t days = getmonleng(xy, xm);
        if (days == 0) return;  // no such month: the keys are not a date
        h -= days;
    }
    ax.month_label(h, xy, xm);
}

}  // namespace

void charts_timeaxis(uint32_t range, uint32_t width, uint32_t height) {
    const TimeAxis ax{width, height};
    charts_chart_used(width + 50, height + 20);
    if (range < 3) {
        hourly_axis(ax, range);
    } else if (range == 3) {
        monthly_axis(ax);
    }
}

}  // namespace charts
