// SPDX-License-Identifier: Apache-2.0
// Error-number texts: "ENOENT (No such file or directory)". strerr_init() builds the lookup
// table, strerr_term() releases it; numbers the table lacks read "Unknown error: N".
#ifndef ZELCOMMON_STRERR_H
#define ZELCOMMON_STRERR_H

#include "zelcommon_export.h"

#ifdef __cplusplus
extern "C" {
#endif

ZELCOMMON_API void strerr_init(void);
// The text for error; never null. The caller does not free it. An unknown number's text lives
// in one shared buffer that the next unknown lookup overwrites.
ZELCOMMON_API const char *strerr(int error);
ZELCOMMON_API void strerr_term(void);

#ifdef __cplusplus
}
#endif

#endif
