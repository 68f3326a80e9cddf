// SPDX-License-Identifier: Apache-2.0
// What the processor offers beyond the baseline the library is compiled for. The loops that use
// 256-bit vectors (checksums, byte order, conversions of stored numbers) ask here and keep a
// plain loop for processors without them.
#ifndef ZELCOMMON_CPU_H
#define ZELCOMMON_CPU_H

// The vector loops are written for x86 processors; elsewhere the plain loops serve.
#if defined(__x86_64__) || defined(__i386__)
#define ZELCOMMON_X86_VECTORS 1
#include <immintrin.h>
#else
#define ZELCOMMON_X86_VECTORS 0
#endif

namespace zelcommon {

// Whether the processor and the system support 256-bit integer vectors. Asked of the processor
// once, when first needed; threads that ask at once get the same answer.
bool has_avx2();

// The tests compare the vector loops with the plain ones: after allow_vectors(false), has_avx2()
// answers false until allow_vectors(true).
void allow_vectors(bool allowed);

}  // namespace zelcommon

#endif
