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
// mapped at once. Otherwise the block starts on a large-page boundary where one is free (a
// mapping of bytes plus a large page finds the place and is given back), each page mapped when
// first touched.
inline void *map_big_block(size_t bytes, bool populate) {
    const int prot = PROT_READ | PROT_WRITE;
    const int flags = MAP_PRIVATE | MAP_ANONYMOUS;
    if (!populate) {
        void *probe = mmap(nullptr, bytes + kLargePage, prot, flags, -1, 0);
        if (probe != MAP_FAILED) {
            const uintptr_t at = reinterpret_cast<uintptr_t>(probe);
            void *aligned = reinterpret_cast<void *>((at + kLargePage - 1) & ~(kLargePage - 1));
            munmap(probe, bytes + kLargePage);
            // Taken meanwhile (another thread's mapping): anywhere, as below.
            void *p = mmap(aligned, bytes, prot, flags | MAP_FIXED_NOREPLACE, -1, 0);
            if (p != MAP_FAILED) return p;
        }
    }
    void *p = mmap(nullptr, bytes, prot, flags | (populate ? MAP_POPULATE : 0), -1, 0);
    return p == MAP_FAILED ? nullptr : p;
}

// Asks for large pages in [p, p + bytes) (whole large pages of it only; none is touched yet).
inline void want_large_pages(void *p, size_t bytes) {
    madvise(p, bytes, MADV_HUGEPAGE);
}

}  // namespace zelcommon

#endif
