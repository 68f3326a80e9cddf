#include "charts_priv.h"

extern "C" uint32_t charts_makedata(uint8_t *, uint32_t, uint32_t, uint8_t) {
    return 0;
}
extern "C" uint32_t charts_monotonic_data(uint8_t *) {
    return 0;
}
extern "C" uint64_t charts_get(uint32_t, uint32_t) {
    return 0;
}
