// SPDX-License-Identifier: Apache-2.0
// The one lock of the charts store. The store and its imaging are single-threaded: every call
// into them (a load or reload check, drawing a chart, writing a table, a query, an export) is made
// by one thread at a time, under this lock, and nowhere else.
//
// The server answers on a pool of polling threads that never wait for the lock: a handler that
// needs the store calls store_lock(), and on a polling thread that returns false, the handler
// answers deferred() and the server hands the same request to its store worker, which calls the
// handler again with waiting allowed. Answers already made for the current load (kept in shared
// buffers) go out without the lock.
#ifndef STATSWEB_STORE_LOCK_H
#define STATSWEB_STORE_LOCK_H

#include <mutex>

namespace statsweb {

inline std::mutex &store_mutex() {
    static std::mutex mu;
    return mu;
}

// Whether this thread may wait for the store lock. True by default (the store worker, tests,
// fuzz targets); the server's polling threads set it false.
inline bool &store_may_wait() {
    static thread_local bool may = true;
    return may;
}

// Takes the store lock into lock, or returns false without it on a thread that may not wait.
inline bool store_lock(std::unique_lock<std::mutex> &lock) {
    if (!store_may_wait()) return false;
    lock = std::unique_lock<std::mutex>(store_mutex());
    return true;
}

}  // namespace statsweb

#endif
