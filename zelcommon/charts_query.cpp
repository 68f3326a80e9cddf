#include "charts_priv.h"

extern "C" void charts_statid_converter(uint32_t number, uint32_t *chtype, uint32_t *chrange) {
    *chtype = number / 10;
    *chrange = number % 10;
}
extern "C" uint32_t charts_getmaxleng(void) {
    return 4096;
}
extern "C" double charts_data_multiplier(uint32_t, uint32_t) {
    return 1.0;
}
extern "C" void charts_getdata(double *, uint32_t *, uint32_t *, uint32_t) {}
