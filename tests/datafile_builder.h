// SPDX-License-Identifier: Apache-2.0
// Builder of charts data files byte by byte, of any shape, shared by the tests, the fuzz targets
// and their seed generator: a 16-byte header (format tag 00 01 00 00, ring length, chart count,
// newest minute), then per record a 100-byte zero-padded name field and four rings of ring-length
// 8-byte entries, range 0 first, each oldest first. Everything big-endian.
//
// Depends on the standard library and the library's header-only datapack.h, so that every kind
// of program can include it.
#ifndef ZEL_TESTS_DATAFILE_BUILDER_H
#define ZEL_TESTS_DATAFILE_BUILDER_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>

#include "datapack.h"

namespace zeldata {

constexpr uint32_t kTag = 0x00010000;
constexpr size_t kHeaderSize = 16;
constexpr size_t kNameField = 100;
constexpr uint32_t kRanges = 4;
constexpr uint32_t kFullRing = 4096;
// Size of one record with full rings.
constexpr size_t kRecordSize = kNameField + kRanges * 8 * kFullRing;

inline void put32(std::string &out, uint32_t v) {
    for (int sh = 24; sh >= 0; sh -= 8) out.push_back(char(uint8_t(v >> sh)));
}

inline void put64(std::string &out, uint64_t v) {
    put32(out, uint32_t(v >> 32));
    put32(out, uint32_t(v));
}

// The big-endian number at offset off of a byte string or vector.
template <typename Bytes>
uint32_t be32_at(const Bytes &s, size_t off) {
    const uint8_t *p = reinterpret_cast<const uint8_t *>(s.data()) + off;
    return get32bit(&p);
}

template <typename Bytes>
uint64_t be64_at(const Bytes &s, size_t off) {
    const uint8_t *p = reinterpret_cast<const uint8_t *>(s.data()) + off;
    return get64bit(&p);
}

// A statid from its four characters, the first in the most significant byte.
inline uint32_t sid(const char (&s)[5]) {
    const uint8_t *p = reinterpret_cast<const uint8_t *>(s);
    return get32bit(&p);
}

inline std::string header(uint32_t ringleng, uint32_t count, uint32_t newest, uint32_t tag = kTag) {
    std::string out;
    put32(out, tag);
    put32(out, ringleng);
    put32(out, count);
    put32(out, newest);
    return out;
}

// The name field: the given bytes cut or zero-padded to 100 bytes.
inline std::string name_field(const std::string &name) {
    std::string out(kNameField, '\0');
    memcpy(out.data(), name.data(), name.size() < kNameField ? name.size() : kNameField);
    return out;
}

// One record: the name field and `entries` entries per ring, entry k of range r being
// value(r, k).
template <typename Value>
std::string record(const std::string &name, uint32_t entries, Value value) {
    std::string out = name_field(name);
    out.reserve(out.size() + size_t(entries) * 8 * kRanges);
    for (uint32_t r = 0; r < kRanges; r++) {
        for (uint32_t k = 0; k < entries; k++) put64(out, value(r, k));
    }
    return out;
}

// Offset of entry k of range r in record c of a file with full rings.
inline size_t entry_offset(uint32_t c, uint32_t r, uint32_t k) {
    return kHeaderSize + size_t(c) * kRecordSize + kNameField + size_t(r) * 8 * kFullRing +
           size_t(k) * 8;
}

}  // namespace zeldata

#endif
