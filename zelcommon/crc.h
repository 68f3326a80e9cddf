// SPDX-License-Identifier: Apache-2.0
// CRC-32 of ITU-T V.42 (reflected polynomial 0xEDB88320, preset and final inversion), the one
// PNG chunks carry. Its tables are constants made when the program is compiled; every call is
// read-only.
#ifndef ZELCOMMON_CRC_H
#define ZELCOMMON_CRC_H

#include <stdint.h>

#include "zelcommon_export.h"

#ifdef __cplusplus
extern "C" {
#endif

// Set-up of the tables, which are already complete: does nothing. Callers may keep calling it
// first.
ZELCOMMON_API void mycrc32_init(void);

// CRC of leng bytes at data, continued from crc (0 for a fresh computation).
ZELCOMMON_API uint32_t mycrc32(uint32_t crc, const void *data, uint32_t leng);

// CRC of A followed by B, given crc1 = CRC(A), crc2 = CRC(B) and leng2 = length of B.
ZELCOMMON_API uint32_t mycrc32_combine(uint32_t crc1, uint32_t crc2, uint32_t leng2);

#ifdef __cplusplus
}
#endif

#endif
