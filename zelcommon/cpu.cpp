// SPDX-License-Identifier: Apache-2.0
#include "cpu.h"

#include <stdint.h>

#if ZELCOMMON_X86_VECTORS
#include <cpuid.h>
#endif

#include <atomic>

namespace zelcommon {

namespace {

bool ask_avx2() {
#if !ZELCOMMON_X86_VECTORS
    return false;
#else
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & bit_OSXSAVE) || !(c & bit_AVX)) return false;
    uint32_t xcr0_lo, xcr0_hi;
    __asm__("xgetbv" : "=a"(xcr0_lo), "=d"(xcr0_hi) : "c"(0));
    if ((xcr0_lo & 6) != 6) return false;  // the system saves the vector registers
    return __get_cpuid_count(7, 0, &a, &b, &c, &d) && (b & bit_AVX2);
#endif
}

// 0 until asked, then 1 (no) or 2 (yes).
std::atomic<int> g_avx2{0};

}  // namespace

bool has_avx2() {
    int known = g_avx2.load(std::memory_order_relaxed);
    if (known == 0) {
        known = ask_avx2() ? 2 : 1;
        g_avx2.store(known, std::memory_order_relaxed);
    }
    return known == 2;
}

void allow_vectors(bool allowed) {
    g_avx2.store(allowed ? 0 : 1, std::memory_order_relaxed);
}

}  // namespace zelcommon
