#include "charts_priv.h"

namespace charts {
uint64_t charts_calc(uint32_t, uint32_t, uint32_t) {
    return CHARTS_NODATA;
}
}  // namespace charts

extern "C" uint8_t charts_seriescnt(uint32_t) {
    return 0;
}
extern "C" uint64_t *charts_prepare_buff(uint64_t **datatab_ptr) {
    return *datatab_ptr;
}
extern "C" uint8_t charts_filltab(uint64_t **, uint32_t, uint32_t, uint32_t, uint32_t) {
    return 0;
}
