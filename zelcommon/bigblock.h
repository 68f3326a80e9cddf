// SPDX-License-Identifier: Apache-2.0
// Large anonymous blocks of the library (the ring block, the table's values). A block that
// starts on a large-page boundary can be given large pages (madvise, where the system offers
// them on request), so that filling it takes one page fault per 2 MiB instead of one per 4 KiB:
// a fresh page costs more than the work done on it when a whole block is written once.
#ifndef ZELCOMMON_BIGBLOCK_H
#define ZELCOMMON_BIGBLOCK_H

#include <stddef.h>
#include <stdint.h>
#include <sys/mman.h>

namespace zelcommon {

constexpr size_t kLargePage = size_t(2) << 20;

inline size_t round_up_large(size_t bytes) {
    return (bytes + kLargePage - 1) / kLargePage * kLargePage;
}

// bytes of zeroed memory, or nullptr; freed with munmap(block, bytes). populate: every page
// mapped at once. Otherwise the block starts on a large-page boundary, each page mapped when
// first touched.
inline void *map_big_block(size_t bytes, bool populate) {
    const int flags = MAP_PRIVATE | MAP_ANONYMOUS;
    if (populate) {
        void *p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, flags | MAP_POPULATE, -1, 0);
        return p == MAP_FAILED ? nullptr : p;
    }
    const size_t mapped = bytes + kLargePage;
    void *p = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, flags, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    // The pieces before the boundary and after the block go back.
    const uintptr_t start = reinterpret_cast<uintptr_t>(p);
    const uintptr_t aligned = (start + kLargePage - 1) & ~uintptr_t(kLargePage - 1);
    const uintptr_t end = start + mapped;
    if (aligned > start) munmap(p, aligned - start);
    if (end > aligned + bytes) {
        munmap(reinterpret_cast<void *>(aligned + bytes), end - aligned - bytes);
    }
    return reinterpret_cast<void *>(aligned);
}

// Asks for large pages in [p, p + bytes) (whole large pages of it only; none is touched yet).
inline void want_large_pages(void *p, size_t bytes) {
    madvise(p, bytes, MADV_HUGEPAGE);
}

}  // namespace zelcommon

#endif
