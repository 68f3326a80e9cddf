// SPDX-License-Identifier: Apache-2.0
// Process-wide logging: one filtered message goes to the sink, the system log and standard
// error; debugging lines go to "zeldebug.txt" in the current directory.
#include "zellog.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <syslog.h>
#include <unistd.h>

#include "strerr.h"
#include "zellog_priv.h"

namespace zellog {

State g;

namespace {

constexpr int kPriorityCount = 5;

const char *const zel_log_priority_strings[kPriorityCount] = {
    "debug", "info", "notice", "warning", "error",
};

// Escape sequences that start a line of each priority on a terminal.
const char *const zel_log_priority_colors[kPriorityCount] = {
    "\033[0;90m",  // debug: dark grey
    "",            // info: the terminal's own colour
    "\033[1;97m",  // notice: bright white
    "\033[1;93m",  // warning: bright yellow
    "\033[1;31m",  // error: bold red
};

// Back to the default character set and attributes.
constexpr const char kColorEnd[] = "\033(B\033[m";

constexpr size_t kTextSize = 2048;     // formatted part of a message
constexpr size_t kMessageSize = 4096;  // whole message, with the errno text

inline bool known_priority(int priority) {
    return priority >= 0 && priority < kPriorityCount;
}

}  // namespace
}  // namespace zellog

using zellog::g;

extern "C" int zel_log_priority_convert(int priority) {
    int p = priority > g.zel_log_elevate_to ? priority : g.zel_log_elevate_to;
    return (p >= 0 && p <= 3) ? LOG_DEBUG - p : LOG_ERR;
}

extern "C" const char *zel_log_pri_to_str(int priority) {
    return zellog::known_priority(priority) ? zellog::zel_log_priority_strings[priority]
                                            : "unknown";
}

extern "C" const char *zel_log_pri_to_colorstr(int priority) {
    return zellog::known_priority(priority) ? zellog::zel_log_priority_colors[priority] : "";
}

extern "C" void zel_log(int mode, int priority, const char *fmt, ...) {
    if (priority < g.zel_log_min_level) return;
    const char *errtext = nullptr;
    if (mode & ZEL_LOGMODE_ERRNO) {
        int err = errno;  // before formatting, which may change it
        errtext = strerr(err);
    }

    char text[zellog::kTextSize];
    va_list ap;
    va_start(ap, fmt);
    int r = vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    if (r < 0) return;

    char msg[zellog::kMessageSize];
    if (errtext != nullptr) {
        snprintf(msg, sizeof msg, "%s: %s", text, errtext);
    } else {
        snprintf(msg, sizeof msg, "%s", text);
    }

    if (g.zel_log_sink != nullptr) g.zel_log_sink(msg);
    if (g.syslog_open) {
        g.syslog_fn(zel_log_priority_convert(priority), "[%s] %s", zel_log_pri_to_str(priority),
                    msg);
    }
    if (!g.stderr_active) return;
    if (g.syslog_open && g.force_stderr == 0 && (mode & ZEL_LOGMODE_STDERR) == 0) return;
    if (g.use_colors) {
        fprintf(stderr, "%s%s%s\n", zel_log_pri_to_colorstr(priority), msg, zellog::kColorEnd);
    } else {
        fprintf(stderr, "%s\n", msg);
    }
}

extern "C" void zel_file_log(const char *file, int line, const char *func, int bt, const char *fmt,
                             ...) {
    (void)bt;
    if (fmt == nullptr) {
        if (g.lfd != nullptr) {
            fclose(g.lfd);
            g.lfd = nullptr;
        }
        return;
    }
    if (g.lfd == nullptr) {
        g.lfd = fopen("zeldebug.txt", "a");
        if (g.lfd == nullptr) return;  // dropped; the next line tries to open it again
    }
    fprintf(g.lfd, "%s:%d (%s):", file, line, func);
    va_list ap;
    va_start(ap, fmt);
    vfprintf(g.lfd, fmt, ap);
    va_end(ap);
    fputc('\n', g.lfd);
}

extern "C" int zel_log_init(const char *ident, int daemonflag) {
    if (ident != nullptr) {
        g.openlog_fn(ident, LOG_PID | LOG_NDELAY, daemonflag ? LOG_DAEMON : LOG_USER);
        g.syslog_open = true;
    }
    g.force_stderr = daemonflag ? 0 : 1;
    g.use_colors = isatty(STDERR_FILENO) ? 1 : 0;
    g.stderr_active = true;
    return 0;
}

// Closes what is open; every setting stays as it is.
extern "C" void zel_log_term(void) {
    if (g.syslog_open) g.closelog_fn();
    if (g.lfd != nullptr) {
        fclose(g.lfd);
        g.lfd = nullptr;
    }
}

extern "C" void zel_log_detach_stderr(void) {
    g.stderr_active = false;
}

extern "C" void zel_log_detach_syslog(void) {
    if (g.syslog_open) g.closelog_fn();
    g.syslog_open = false;
}

extern "C" void zel_log_set_min_level(int minlevel) {
    g.zel_log_min_level = minlevel;
}

extern "C" void zel_log_set_elevate_to(int elevateto) {
    g.zel_log_elevate_to = elevateto;
}

extern "C" void zel_log_set_sink_function(zel_log_sink_fn s) {
    g.zel_log_sink = s;
}

// A non-empty prefix of one priority name, in any letter case. The five names start with five
// different letters, so the first letter picks the only possible name.
extern "C" int zel_log_str_to_pri(const char *pristr) {
    if (pristr == nullptr || pristr[0] == '\0') return -1;
    const char *name = nullptr;
    int pri = -1;
    for (size_t i = 0; pristr[i] != '\0'; i++) {
        char ch = pristr[i];
        if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
        if (ch < 'a' || ch > 'z') return -1;
        if (i == 0) {
            for (int p = 0; p < zellog::kPriorityCount; p++) {
                if (zellog::zel_log_priority_strings[p][0] == ch) {
                    pri = p;
                    name = zellog::zel_log_priority_strings[p];
                }
            }
            if (name == nullptr) return -1;
        } else {
            // Past the end of the name its terminator is met, which no letter equals.
            if (name[i] != ch) return -1;
        }
    }
    return pri;
}

extern "C" void zel_out_of_memory(const char *srcpath, unsigned line, const char *objname) {
    fprintf(stderr, "%s:%u - out of memory: %s is NULL\n", srcpath, line, objname);
    zel_log(0, ZEL_LOG_ERROR, "%s:%u - out of memory: %s is NULL", srcpath, line, objname);
    abort();
}
