#include "crc.h"

extern "C" void mycrc32_init(void) {}
extern "C" uint32_t mycrc32(uint32_t crc, const void *, uint32_t) {
    return crc;
}
extern "C" uint32_t mycrc32_combine(uint32_t crc1, uint32_t crc2, uint32_t) {
    return crc1 ^ crc2;
}
