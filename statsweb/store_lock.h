// SPDX-License-Identifier: Apache-2.0
// statsweb's two locks and what each thread may do.
//
// The store lock: the store and its imaging are single-threaded, so every call into them (a
// load or reload check, drawing a chart, writing a table, a query, an export) is made by one
// thread at a time, under store_mutex(), and nowhere else. open_store() runs before any other
// thread starts.
//
// The log lock: every log line of statsweb is written by web_log(), under log_mutex(), from
// whichever thread; nothing else writes to the log.
//
// Thread roles: the server answers on a pool of polling threads that never wait for the store
// lock and never compress a large answer. A handler that needs the store calls store_lock(); on
// a polling thread that returns false, the handler answers a deferral (Work::store) and the
// server hands the request to its store worker. A kept answer whose gzip form is still to be
// made is deferred likewise (Work::gzip) to the gzip worker. Answers already made for the
// current load (kept in shared buffers) go out from any thread without the lock.
#ifndef STATSWEB_STORE_LOCK_H
#define STATSWEB_STORE_LOCK_H

#include <stdarg.h>
#include <stdio.h>

#include <mutex>

#include "zellog.h"

namespace statsweb {

inline std::mutex &store_mutex() {
    static std::mutex mu;
    return mu;
}

// What the calling thread may do. Anything (tests, fuzz targets, the start-up) unless set.
enum class ThreadRole { any, polling, store_worker, gzip_worker };

namespace detail {
inline ThreadRole &role_slot() {
    static thread_local ThreadRole role = ThreadRole::any;
    return role;
}
}  // namespace detail

inline void set_thread_role(ThreadRole role) {
    detail::role_slot() = role;
}
inline ThreadRole thread_role() {
    return detail::role_slot();
}
// Whether this thread may wait for the store lock: not a polling thread or the gzip worker.
inline bool may_wait_for_store() {
    const ThreadRole r = thread_role();
    return r == ThreadRole::any || r == ThreadRole::store_worker;
}
// Whether this thread may compress a large kept answer (seconds of work for the largest).
inline bool may_compress_large() {
    const ThreadRole r = thread_role();
    return r == ThreadRole::any || r == ThreadRole::gzip_worker;
}

// Takes the store lock into lock, or returns false without it on a thread that may not wait.
inline bool store_lock(std::unique_lock<std::mutex> &lock) {
    if (!may_wait_for_store()) return false;
    lock = std::unique_lock<std::mutex>(store_mutex());
    return true;
}

inline std::mutex &log_mutex() {
    static std::mutex mu;
    return mu;
}

// One log line at a zel_log priority, under the log lock.
inline void web_log(int priority, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
inline void web_log(int priority, const char *fmt, ...) {
    char buf[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    std::lock_guard<std::mutex> g(log_mutex());
    zel_log(0, priority, "%s", buf);
}

}  // namespace statsweb

#endif
