// SPDX-License-Identifier: Apache-2.0
// A small catalogue, a settable clock, a store opened for one test, and a builder of charts
// data files byte by byte (datafile_builder.h), for the store, data file and sampling suites.
#ifndef ZEL_TESTS_CHARTS_STORE_UTIL_H
#define ZEL_TESTS_CHARTS_STORE_UTIL_H

#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "charts_priv.h"
#include "datafile_builder.h"
#include "strerr.h"
#include "test_util.h"

namespace zeltest {

inline uint32_t store_clock_now = 0;
inline uint32_t store_clock() {
    return store_clock_now;
}

using zeldata::sid;

// clang-format off
inline const statdef kStoreStats[] = {
    // name     statid       mode percent scale multiplier divisor
    {"alpha",   sid("ALFA"), 0,   0,      2,    1,         1},   // additive
    {"beta",    sid("BETA"), 1,   1,      2,    100,       60},  // level
    {"gamma",   sid("GAMA"), 0,   0,      3,    8,         60},  // additive
    {nullptr,   0,           0,   0,      0,    0,         0},
};

inline const estatdef kStoreEstats[] = {
    // name     statid       c1src c2src c3src mode percent scale multiplier divisor
    {"ab",      sid("XXAB"), 1,    2,    0,    0,   0,      2,    1,         1},
    {nullptr,   sid("XNUL"), 1000, 3,    0,    1,   0,      2,    1,         1},
    {nullptr,   0,           0,    0,    0,    0,   0,      0,    0,         0},
};

inline const uint32_t kStoreCalcs[] = {1000, 0, 0, 2, 1002, 1004, 1999, 2000};
inline const statdef kNoStats[] = {{nullptr, 0, 0, 0, 0, 0, 0}};
inline const estatdef kNoEstats[] = {{nullptr, 0, 0, 0, 0, 0, 0, 0, 0, 0}};
inline const uint32_t kNoCalcs[] = {2000};
// clang-format on

inline void store_process_setup() {
    static bool done = false;
    if (done) return;
    done = true;
    strerr_init();
}

// The store from charts_init to charts_term, on the settable clock.
class StoreFixture {
  public:
    StoreFixture(const std::string &path, uint8_t mode, const statdef *stats = kStoreStats,
                 const estatdef *estats = kStoreEstats, const uint32_t *calcs = kStoreCalcs) {
        store_process_setup();
        charts_set_clock(store_clock);
        rc = charts_init(calcs, stats, estats, path.c_str(), mode);
    }
    ~StoreFixture() {
        charts_term();
        charts_set_clock(nullptr);
    }
    StoreFixture(const StoreFixture &) = delete;
    StoreFixture &operator=(const StoreFixture &) = delete;
    int rc;
};

inline void append_be32(std::string &out, uint32_t v) {
    zeldata::put32(out, v);
}

inline void append_be64(std::string &out, uint64_t v) {
    zeldata::put64(out, v);
}

using zeldata::be32_at;
using zeldata::be64_at;
using zeldata::entry_offset;

inline std::string file_header(uint32_t ringleng, uint32_t count, uint32_t newest,
                               uint32_t tag = charts::kFileTag) {
    return zeldata::header(ringleng, count, newest, tag);
}

// Value of file entry k (oldest first) of range r in a generated record.
inline uint64_t entry_value(uint32_t tag, uint32_t r, uint32_t k) {
    return (uint64_t(tag) << 40) | (uint64_t(r) << 32) | (k + 1);
}

// One record: the name field and four rings of ringleng entries made by entry_value.
inline std::string file_record(const std::string &name, uint32_t ringleng, uint32_t tag) {
    return zeldata::record(name, ringleng,
                           [tag](uint32_t r, uint32_t k) { return entry_value(tag, r, k); });
}

inline bool ring_is_empty(const uint64_t *ring) {
    for (uint32_t s = 0; s < charts::kRingLength; s++) {
        if (ring[s] != CHARTS_NODATA) return false;
    }
    return true;
}

}  // namespace zeltest

#endif
