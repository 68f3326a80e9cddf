// SPDX-License-Identifier: Apache-2.0
// The store's large blocks kept from one execution to the next. A store set-up takes three
// picture buffers of about 4.2 MB each (malloc, and calloc for the bitmap) and one mapping for
// its rings; under AddressSanitizer every fresh large block costs the poisoning of its shadow
// memory, page by page, on allocation and again on release, which made a set-up cost more than
// everything else an execution does. The fuzz targets are linked with --wrap for malloc,
// calloc, free, mmap and munmap: a block of one of those sizes that the store gives back is
// kept (poisoned, so that a use after the release is still reported) and handed out again
// for the next request of the same size. The bitmap comes back all zero, as calloc promises:
// only the area the store marks as drawn is cleared. Every other request goes to the real
// functions unchanged.
#include <sanitizer/asan_interface.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/types.h>

#include "charts_priv.h"

extern "C" {
void *__real_malloc(size_t size);
void *__real_calloc(size_t count, size_t size);
void __real_free(void *p);
void *__real_mmap(void *addr, size_t length, int prot, int flags, int fd, off_t offset);
int __real_munmap(void *addr, size_t length);
}

namespace {

struct Kept {
    void *p;
    size_t size;
    bool busy;
};

// The picture buffers (by size) and up to four mappings (a store's rings, a viewer's second
// set, the table's values).
Kept g_heap[3] = {{nullptr, charts::kChartSize, false},
                  {nullptr, charts::kRawChartSize, false},
                  {nullptr, charts::kCompBuffSize, false}};
Kept g_maps[4] = {};
constexpr size_t kMinMap = 256 * 1024;

void *take_heap(size_t size, bool zero) {
    for (Kept &k : g_heap) {
        if (k.size != size) continue;
        if (k.busy) return nullptr;
        if (k.p == nullptr) {
            k.p = zero ? __real_calloc(size, 1) : __real_malloc(size);
            if (k.p == nullptr) return nullptr;
        } else {
            ASAN_UNPOISON_MEMORY_REGION(k.p, size);
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
        ASAN_POISON_MEMORY_REGION(p, k.size);
        k.busy = false;
        return true;
    }
    return false;
}

}  // namespace

extern "C" {

void *__wrap_malloc(size_t size) {
    if (size == charts::kRawChartSize || size == charts::kCompBuffSize) {
        if (void *p = take_heap(size, false)) return p;
    }
    return __real_malloc(size);
}

void *__wrap_calloc(size_t count, size_t size) {
    if (count == charts::kChartSize && size == 1) {
        if (void *p = take_heap(count, true)) return p;
    }
    return __real_calloc(count, size);
}

void __wrap_free(void *p) {
    if (p != nullptr && give_heap(p)) return;
    __real_free(p);
}

void *__wrap_mmap(void *addr, size_t length, int prot, int flags, int fd, off_t offset) {
    const bool keepable = addr == nullptr && fd == -1 && length >= kMinMap &&
                          (flags & MAP_ANONYMOUS) && (flags & MAP_PRIVATE) &&
                          prot == (PROT_READ | PROT_WRITE);
    if (keepable) {
        for (Kept &k : g_maps) {
            if (k.p != nullptr && !k.busy && k.size == length) {
                ASAN_UNPOISON_MEMORY_REGION(k.p, length);
                k.busy = true;
                return k.p;
            }
        }
        void *p = __real_mmap(addr, length, prot, flags, fd, offset);
        if (p == MAP_FAILED) return p;
        for (Kept &k : g_maps) {
            if (k.p == nullptr) {
                k = {p, length, true};
                break;
            }
        }
        return p;
    }
    return __real_mmap(addr, length, prot, flags, fd, offset);
}

int __wrap_munmap(void *addr, size_t length) {
    for (Kept &k : g_maps) {
        if (k.p == addr && k.size == length && k.busy) {
            ASAN_POISON_MEMORY_REGION(addr, length);
            k.busy = false;
            return 0;
        }
    }
    return __real_munmap(addr, length);
}

}  // extern "C"
