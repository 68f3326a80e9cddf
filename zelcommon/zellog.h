// SPDX-License-Identifier: Apache-2.0
// Process-wide logging: zel_log() formats a message and hands it to an optional sink, the
// system log and standard error, filtered by priority. Without zel_log_init() messages of
// priority info or higher go to standard error with colour sequences.
#ifndef ZELCOMMON_ZELLOG_H
#define ZELCOMMON_ZELLOG_H

#include "zelcommon_export.h"

#ifdef __cplusplus
extern "C" {
#endif

// Priorities.
#define ZEL_LOG_DEBUG 0
#define ZEL_LOG_INFO 1
#define ZEL_LOG_NOTICE 2
#define ZEL_LOG_WARNING 3
#define ZEL_LOG_ERROR 4

// Mode bits of zel_log().
#define ZEL_LOGMODE_ERRNO 1  /* append ": " and the strerr text of errno */
#define ZEL_LOGMODE_STDERR 2 /* print on standard error even when the system log is open */

typedef void (*zel_log_sink_fn)(const char *msg);

ZELCOMMON_API void zel_log(int mode, int priority, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
ZELCOMMON_API void zel_file_log(const char *file, int line, const char *func, int bt,
                                const char *fmt, ...) __attribute__((format(printf, 5, 6)));

ZELCOMMON_API int zel_log_init(const char *ident, int daemonflag);
ZELCOMMON_API void zel_log_term(void);
ZELCOMMON_API void zel_log_detach_stderr(void);
ZELCOMMON_API void zel_log_detach_syslog(void);
ZELCOMMON_API void zel_log_set_min_level(int minlevel);
ZELCOMMON_API void zel_log_set_elevate_to(int elevateto);
ZELCOMMON_API void zel_log_set_sink_function(zel_log_sink_fn s);

// Priority named by any non-empty prefix of "debug", "info", "notice", "warning" or "error",
// in any letter case; -1 otherwise.
ZELCOMMON_API int zel_log_str_to_pri(const char *pristr);

// Helpers behind zel_log(); values outside 0..4 map to "unknown", no colour and level 3.
ZELCOMMON_API int zel_log_priority_convert(int priority);
ZELCOMMON_API const char *zel_log_pri_to_str(int priority);
ZELCOMMON_API const char *zel_log_pri_to_colorstr(int priority);

// The program-wide reaction to a failed allocation: "%s:%u - out of memory: %s is NULL\n" on
// standard error, the same text logged at error priority, then abort.
ZELCOMMON_API void zel_out_of_memory(const char *srcpath, unsigned line, const char *objname)
    __attribute__((noreturn));

// Checks an allocation result; a null one takes the fatal path above.
#define zel_passert(ptr, srcpath, objname)                                    \
    do {                                                                      \
        if ((ptr) == NULL) zel_out_of_memory((srcpath), __LINE__, (objname)); \
    } while (0)

#ifdef __cplusplus
}
#endif

#endif
