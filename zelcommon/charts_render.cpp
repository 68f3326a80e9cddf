#include "charts_priv.h"

namespace charts {
const uint8_t kFont[25][9] = {};
const uint8_t kJtab[11] = {};
void png_make_palette() {}
void charts_puttext(int32_t, int32_t, uint8_t, const uint8_t *, uint32_t, int32_t, int32_t, int32_t,
                    int32_t) {}
double charts_fixmax(uint64_t, uint32_t, uint8_t *, uint8_t *, uint16_t *) {
    return 1.0;
}
uint32_t getmonleng(uint32_t, uint32_t) {
    return 0;
}
void charts_timeaxis(uint32_t, uint32_t, uint32_t) {}
void charts_makechart(uint32_t, uint32_t, uint32_t, uint32_t) {}
}  // namespace charts
