// SPDX-License-Identifier: Apache-2.0
// Big-endian cursor helpers.
//
// Every multi-byte number that leaves the program (the charts data file, export records, PNG
// chunks) is stored most significant byte first, at any alignment. Each put helper writes one
// value at *ptr and advances the cursor past it; each get helper reads one value and advances.
// REQUIRES: the cursor has room for the value.
#ifndef ZELCOMMON_DATAPACK_H
#define ZELCOMMON_DATAPACK_H

#include <stdint.h>

static inline void put8bit(uint8_t **ptr, uint8_t val) {
    (*ptr)[0] = val;
    (*ptr) += 1;
}

static inline void put16bit(uint8_t **ptr, uint16_t val) {
    (*ptr)[0] = (uint8_t)(val >> 8);
    (*ptr)[1] = (uint8_t)val;
    (*ptr) += 2;
}

static inline void put32bit(uint8_t **ptr, uint32_t val) {
    (*ptr)[0] = (uint8_t)(val >> 24);
    (*ptr)[1] = (uint8_t)(val >> 16);
    (*ptr)[2] = (uint8_t)(val >> 8);
    (*ptr)[3] = (uint8_t)val;
    (*ptr) += 4;
}

static inline void put64bit(uint8_t **ptr, uint64_t val) {
    put32bit(ptr, (uint32_t)(val >> 32));
    put32bit(ptr, (uint32_t)val);
}

static inline uint8_t get8bit(const uint8_t **ptr) {
    uint8_t val = (*ptr)[0];
    (*ptr) += 1;
    return val;
}

static inline uint16_t get16bit(const uint8_t **ptr) {
    uint16_t val = (uint16_t)(((uint16_t)(*ptr)[0] << 8) | (*ptr)[1]);
    (*ptr) += 2;
    return val;
}

static inline uint32_t get32bit(const uint8_t **ptr) {
    uint32_t val = ((uint32_t)(*ptr)[0] << 24) | ((uint32_t)(*ptr)[1] << 16) |
                   ((uint32_t)(*ptr)[2] << 8) | (uint32_t)(*ptr)[3];
    (*ptr) += 4;
    return val;
}

static inline uint64_t get64bit(const uint8_t **ptr) {
    uint64_t hi = get32bit(ptr);
    return (hi << 32) | get32bit(ptr);
}

#endif
