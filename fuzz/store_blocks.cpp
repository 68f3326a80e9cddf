// SPDX-License-Identifier: Apache-2.0
// The store's large blocks kept from one execution to the next. A store set-up takes three
// picture buffers of about 4.2 MB each (malloc, and calloc for the bitmap) and one mapping for
// its rings; under AddressSanitizer every fresh large block costs the poisoning of its shadow
// memory, page by page, on allocation and again on release, which made a set-up cost more than
// everything else an execution does. The fuzz targets are linked with --wrap for malloc,
// calloc, free, mmap and munmap: a block of one of those sizes that the store gives back is
// kept and handed out again for the next request of the same size.
//
// While nobody holds a kept block its pages are inaccessible, so that a use after the release
// still stops the process. The blocks live in mappings of whole 2 MB huge pages where the
// system has them: changing the protection of a few huge pages costs about a microsecond,
// where poisoning half a megabyte of shadow memory (or protecting a thousand small pages) cost
// a tenth of an execution. A picture buffer ends where its pages end, with an inaccessible
// page behind it; the slack before it in its pages is poisoned for good, so that an access
// past either end is caught as well. The bitmap comes back all zero, as calloc promises: only
// the area the store marks as drawn is cleared.
//
// The buffers of one series (4096 slots, 32 KB) that the queries and exports take and give back
// many times per execution (several hundred in some targets) are kept too, in a pool of 64 that
// hands out the one released longest ago. A pooled buffer is a real heap block of exactly that
// size, so its redzones stay poisoned, and it is poisoned itself while released (a second
// release stops the process). These wrappers are not thread-safe: the targets linked with them
// run the store in one thread. Each buffer handed
// out is paired with a one-byte block that is released with it and referred to only in a form
// the leak checker does not recognise as a pointer: so the fuzzer's count of allocations and
// releases, and its leak check, still see a buffer that the store never gives back.
//
// Every other request goes to the real functions unchanged.
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/types.h>

#include <algorithm>

#include "charts_priv.h"

extern "C" {
void *__real_malloc(size_t size);
void *__real_calloc(size_t count, size_t size);
void __real_free(void *p);
void *__real_mmap(void *addr, size_t length, int prot, int flags, int fd, off_t offset);
int __real_munmap(void *addr, size_t length);
}

namespace {

constexpr size_t kHuge = size_t{2} << 20;
constexpr size_t kPage = 4096;

struct Kept {
    void *p;         // what the store was given
    size_t size;     // what it asked for
    bool busy;       // the store holds it
    uint8_t *pages;  // the accessible part of the mapping: whole huge pages
    size_t pagebytes;
};

// The picture buffers (by size) and up to eight mappings (a store's rings, a viewer's second
// set, the table's values, and the mappings that find a large-page boundary for the tool's
// rings and a large table's values: those are given back at once, so they are kept too).
Kept g_heap[3] = {{nullptr, charts::kChartSize, false, nullptr, 0},
                  {nullptr, charts::kRawChartSize, false, nullptr, 0},
                  {nullptr, charts::kCompBuffSize, false, nullptr, 0}};
Kept g_maps[8] = {};
constexpr size_t kMinMap = 256 * 1024;

// The pool of series buffers: blocks in the order of their release, the oldest first.
constexpr size_t kTabSize = sizeof(uint64_t) * charts::kRingLength;
constexpr size_t kPoolSize = 64;
struct Pooled {
    void *p;
    uintptr_t token;  // the paired block, inverted; 0 while released
};
Pooled g_pool[kPoolSize];
size_t g_pooled = 0;           // blocks made
size_t g_released[kPoolSize];  // indexes of released blocks, a ring from g_first
size_t g_first = 0, g_nreleased = 0;
uintptr_t g_pool_lo = UINTPTR_MAX, g_pool_hi = 0;  // address range of the blocks

// The pool grows to its full size before it hands a block out again, so that a released
// block waits for 63 other releases before its next use (as the sanitizer's quarantine keeps
// a released block out of use for a while).
void *take_pooled() {
    size_t i;
    if (g_pooled < kPoolSize) {
        void *p = __real_malloc(kTabSize);
        if (p == nullptr) return nullptr;
        i = g_pooled++;
        g_pool[i] = {p, 0};
        g_pool_lo = std::min(g_pool_lo, reinterpret_cast<uintptr_t>(p));
        g_pool_hi = std::max(g_pool_hi, reinterpret_cast<uintptr_t>(p));
    } else if (g_nreleased > 0) {
        i = g_released[g_first];
        g_first = (g_first + 1) % kPoolSize;
        g_nreleased--;
        ASAN_UNPOISON_MEMORY_REGION(g_pool[i].p, kTabSize);
    } else {
        return nullptr;  // every block is out: the real allocator
    }
    void *token = __real_malloc(1);
    if (token == nullptr) abort();
    g_pool[i].token = ~reinterpret_cast<uintptr_t>(token);
    return g_pool[i].p;
}

bool give_pooled(void *p) {
    const uintptr_t a = reinterpret_cast<uintptr_t>(p);
    if (a < g_pool_lo || a > g_pool_hi) return false;
    for (size_t i = 0; i < g_pooled; i++) {
        if (g_pool[i].p != p) continue;
        if (g_pool[i].token == 0) {
            // Released twice: the sanitizer would say so; the pool must not hand it out twice.
            fprintf(stderr, "ERROR: double free of a pooled series buffer %p\n", p);
            __sanitizer_print_stack_trace();
            abort();
        }
        __real_free(reinterpret_cast<void *>(~g_pool[i].token));
        g_pool[i].token = 0;
        ASAN_POISON_MEMORY_REGION(p, kTabSize);
        g_released[(g_first + g_nreleased++) % kPoolSize] = i;
        return true;
    }
    return false;
}

// Whole huge pages for at least size bytes, zero-filled, with at least one inaccessible page
// before and after them; null when there is no room.
uint8_t *map_huge(size_t size, size_t &pagebytes) {
    pagebytes = (size + kHuge - 1) / kHuge * kHuge;
    const size_t total = pagebytes + 2 * kHuge;
    void *base =
        __real_mmap(nullptr, total, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (base == MAP_FAILED) return nullptr;
    uint8_t *pages = reinterpret_cast<uint8_t *>(
        (reinterpret_cast<uintptr_t>(base) + kPage + kHuge - 1) & ~(kHuge - 1));
    if (mprotect(pages, pagebytes, PROT_READ | PROT_WRITE) != 0) {
        __real_munmap(base, total);
        return nullptr;
    }
    madvise(pages, pagebytes, MADV_HUGEPAGE);  // small pages where the system has no huge ones
    return pages;
}

void *take_heap(size_t size) {
    for (Kept &k : g_heap) {
        if (k.size != size) continue;
        if (k.busy) return nullptr;
        if (k.p == nullptr) {
            // The block ends where its pages end (16-byte aligned, as malloc's blocks are).
            k.pages = map_huge(size, k.pagebytes);
            if (k.pages == nullptr) return nullptr;
            uint8_t *end = k.pages + k.pagebytes;
            uint8_t *p = reinterpret_cast<uint8_t *>(reinterpret_cast<uintptr_t>(end - size) &
                                                     ~uintptr_t{15});
            ASAN_POISON_MEMORY_REGION(k.pages, size_t(p - k.pages));
            ASAN_POISON_MEMORY_REGION(p + size, size_t(end - (p + size)));
            k.p = p;
        } else if (mprotect(k.pages, k.pagebytes, PROT_READ | PROT_WRITE) != 0) {
            return nullptr;
        }
        k.busy = true;
        return k.p;
    }
    return nullptr;
}

// Back into the keeping: false for a block that is not one of them.
bool give_heap(void *p) {
    for (Kept &k : g_heap) {
        if (k.p != p || !k.busy) continue;
        if (k.size == charts::kChartSize) {
            // Only the drawn area of the bitmap can hold anything but zeros.
            const auto &g = charts::g;
            if (g.chart == p) {
                const uint32_t w =
                    g.chartusedw < charts::kChartStride ? g.chartusedw : charts::kChartStride;
                const uint32_t h =
                    g.chartusedh < charts::kChartRows ? g.chartusedh : charts::kChartRows;
                for (uint32_t y = 0; y < h; y++) {
                    memset(static_cast<uint8_t *>(p) + size_t(y) * charts::kChartStride, 0, w);
                }
            } else {
                memset(p, 0, k.size);
            }
        }
        if (mprotect(k.pages, k.pagebytes, PROT_NONE) != 0) abort();
        k.busy = false;
        return true;
    }
    return false;
}

}  // namespace

extern "C" {

void *__wrap_malloc(size_t size) {
    if (size == kTabSize) {
        if (void *p = take_pooled()) return p;
    }
    if (size == charts::kRawChartSize || size == charts::kCompBuffSize) {
        if (void *p = take_heap(size)) return p;
    }
    return __real_malloc(size);
}

void *__wrap_calloc(size_t count, size_t size) {
    if (count == charts::kChartSize && size == 1) {
        if (void *p = take_heap(count)) return p;
    }
    return __real_calloc(count, size);
}

void __wrap_free(void *p) {
    if (p != nullptr && (give_pooled(p) || give_heap(p))) return;
    __real_free(p);
}

// A private anonymous read-write mapping of a quarter of a megabyte or more (the store's rings,
// the table's values) is kept the same way; a kept one is handed out again for a request of the
// same length, with what it held (the store fills its rings before reading them). The store
// gives its rings back with their shadow memory clean.
void *__wrap_mmap(void *addr, size_t length, int prot, int flags, int fd, off_t offset) {
    const bool keepable = addr == nullptr && fd == -1 && length >= kMinMap &&
                          (flags & MAP_ANONYMOUS) && (flags & MAP_PRIVATE) &&
                          prot == (PROT_READ | PROT_WRITE);
    if (!keepable) return __real_mmap(addr, length, prot, flags, fd, offset);
    for (Kept &k : g_maps) {
        if (k.p != nullptr && !k.busy && k.size == length) {
            if (mprotect(k.pages, k.pagebytes, PROT_READ | PROT_WRITE) != 0) break;
            k.busy = true;
            return k.p;
        }
    }
    for (Kept &k : g_maps) {
        if (k.p != nullptr) continue;
        size_t pagebytes;
        uint8_t *pages = map_huge(length, pagebytes);
        if (pages == nullptr) break;
        k = {pages, length, true, pages, pagebytes};
        return pages;
    }
    return __real_mmap(addr, length, prot, flags, fd, offset);
}

int __wrap_munmap(void *addr, size_t length) {
    for (Kept &k : g_maps) {
        if (k.p == addr && k.size == length && k.busy) {
            if (mprotect(k.pages, k.pagebytes, PROT_NONE) != 0) abort();
            k.busy = false;
            return 0;
        }
    }
    return __real_munmap(addr, length);
}

}  // extern "C"
