// SPDX-License-Identifier: Apache-2.0
// The logging module's state, shared with its tests only: the settings zel_log works from and
// the system-log calls, which tests replace to see what would reach the system log.
#ifndef ZELCOMMON_ZELLOG_PRIV_H
#define ZELCOMMON_ZELLOG_PRIV_H

#include <stdio.h>
#include <syslog.h>

#include "zellog.h"

namespace zellog {

struct State {
    int zel_log_min_level = ZEL_LOG_INFO;     // lower priorities are dropped
    int zel_log_elevate_to = ZEL_LOG_NOTICE;  // lowest priority used for the system-log level
    int use_colors = 1;                       // standard-error lines carry colour sequences
    zel_log_sink_fn zel_log_sink = nullptr;   // extra consumer of every message that passes
    bool syslog_open = false;                 // zel_log_init opened the system log
    bool stderr_active = true;                // standard-error output is on
    int force_stderr = 0;                     // standard error although the system log is open
    FILE *lfd = nullptr;                      // the open debugging file

    void (*openlog_fn)(const char *ident, int option, int facility) = ::openlog;
    void (*syslog_fn)(int level, const char *fmt, ...) = ::syslog;
    void (*closelog_fn)(void) = ::closelog;
};

extern State g;

}  // namespace zellog

#endif
