// SPDX-License-Identifier: Apache-2.0
// statsweb's view of the charts store: set-up as a viewer, reload on change once the file has
// settled, plain tables.
#include "store.h"

#include <assert.h>
#include <errno.h>
#include <string.h>
#include <sys/stat.h>

#include <chrono>
#include <mutex>
#include <thread>

#include "charts.h"
#include "crc.h"
#include "settings.h"
#include "statsdump.h"
#include "store_lock.h"
#include "strerr.h"
#include "text.h"
#include "zellog.h"

namespace statsweb {

namespace {

using Steady = std::chrono::steady_clock;

// What identifies one version of the data file.
struct FileId {
    bool present = false;
    bool regular = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    struct timespec mtime = {0, 0};
    struct timespec ctime = {0, 0};
    bool operator==(const FileId &o) const {
        return present == o.present && regular == o.regular && dev == o.dev && ino == o.ino &&
               size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
               mtime.tv_nsec == o.mtime.tv_nsec && ctime.tv_sec == o.ctime.tv_sec &&
               ctime.tv_nsec == o.ctime.tv_nsec;
    }
};

// The path is set once by open_store, before any other thread runs. The rest is written under
// the store lock and state_mu together and read under either.
struct Store {
    std::string path;
    bool open = false;
    FileId seen;  // the file as it was at the last load attempt; never matches after a torn one
    StoreState state;
    // A changed identity seen while it had not settled yet, and since when (steady clock).
    FileId pending;
    Steady::time_point pending_since;
};

Store store;
std::mutex state_mu;
void (*read_hook)() = nullptr;

// An identity no file has: the next check reads the file again.
FileId torn_id() {
    FileId id;
    id.present = true;
    id.size = -1;
    return id;
}

FileId file_id(const std::string &path) {
    FileId id;
    struct stat st;
    if (stat(path.c_str(), &st) == 0) {
        id.present = true;
        id.regular = S_ISREG(st.st_mode);
        id.dev = st.st_dev;
        id.ino = st.st_ino;
        id.size = st.st_size;
        id.mtime = st.st_mtim;
        id.ctime = st.st_ctim;
    }
    return id;
}

int64_t ns_of(const struct timespec &t) {
    return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// Whether a file of this identity may be read: it has not changed for the settle interval, by
// its own time stamps against the clock, or (a time stamp ahead of the clock) as this process
// saw it unchanged for the interval. Missing files and others than regular ones need no wait.
// Under the store lock.
bool settled(const FileId &id) {
    const int64_t settle_ns = int64_t(settings().settle_ms) * 1000000;
    if (settle_ns == 0 || !id.present || !id.regular) return true;
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    const int64_t changed = std::max(ns_of(id.mtime), ns_of(id.ctime));
    if (ns_of(now) - changed >= settle_ns) return true;
    const auto t = Steady::now();
    if (!(store.pending == id)) {
        store.pending = id;
        store.pending_since = t;
        return false;
    }
    return t - store.pending_since >= std::chrono::nanoseconds(settle_ns);
}

// Waits (the store lock held) until the file has settled, a few settle intervals at most, and
// returns its identity then.
FileId wait_settled() {
    const auto give_up = Steady::now() + std::chrono::milliseconds(4 * settings().settle_ms);
    FileId id = file_id(store.path);
    while (!settled(id) && Steady::now() < give_up) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        id = file_id(store.path);
    }
    return id;
}

// Called with state_mu held.
void note_load(bool ok) {
    StoreState &st = store.state;
    if (ok) {
        st.loaded = true;
        st.generation++;
        st.last_load = time(nullptr);
        st.message.clear();
        st.newest = store_newest(0);
        const std::string warning = clock_warning(st);
        if (!warning.empty()) web_log(ZEL_LOG_WARNING, "%s", warning.c_str());
    } else {
        const char *msg = charts_load_message();
        st.message = (msg != nullptr && msg[0] != '\0') ? msg : "file loading error";
        st.failures++;
    }
}

constexpr int kLoadAttempts = 3;

// Reads the file (the store lock held); `now` is its settled identity just before.
const StoreState &load(FileId now) {
    bool ok = false, whole = false;
    for (int attempt = 0; attempt < kLoadAttempts && !whole; attempt++) {
        if (attempt > 0) now = wait_settled();
        if (now.present && !now.regular) {
            // A FIFO, a directory or a device is never opened; the last good load stays.
            std::lock_guard<std::mutex> g(state_mu);
            store.seen = now;
            store.state.settling = false;
            store.state.message = "file loading error: not a regular file";
            store.state.failures++;
            web_log(ZEL_LOG_WARNING, "data file %s not reloaded: not a regular file",
                    store.path.c_str());
            return store.state;
        }
        // A short read reports the errno it finds; the server's own calls must not show through.
        errno = 0;
        ok = charts_reload() == 0;
        if (read_hook != nullptr) read_hook();
        whole = file_id(store.path) == now;
    }
    std::lock_guard<std::mutex> g(state_mu);
    note_load(ok);
    store.seen = whole ? now : torn_id();
    store.state.settling = false;
    if (!whole) {
        // The store shows what was read last; it is read again at the next request. A torn read
        // counts as a failed load (a failed read was counted already).
        if (ok) store.state.failures++;
        store.state.message =
            "the file changed while it was read; it is read again once it has settled";
        web_log(ZEL_LOG_WARNING, "data file %s changed while it was read", store.path.c_str());
    } else if (ok) {
        web_log(ZEL_LOG_INFO, "data file %s reloaded", store.path.c_str());
    } else {
        web_log(ZEL_LOG_WARNING, "data file %s not reloaded (%s): %s", store.path.c_str(),
                store.state.loaded ? "keeping the last good load" : "nothing loaded",
                store.state.message.c_str());
    }
    return store.state;
}

}  // namespace

void open_store(const std::string &datafile) {
    if (store.open) return;
    // Before the threads start: nobody else can hold the store lock.
    std::unique_lock<std::mutex> lock(store_mutex(), std::try_to_lock);
    assert(lock.owns_lock());
    store.path = datafile;
    mycrc32_init();
    strerr_init();
    const FileId before = wait_settled();
    errno = 0;
    charts_init(statsdump_calcdefs, statsdump_statdefs, statsdump_estatdefs, datafile.c_str(),
                CHARTS_MODE_VIEWER);
    const char *msg = charts_load_message();
    const bool ok = msg == nullptr || msg[0] == '\0';
    std::lock_guard<std::mutex> g(state_mu);
    store.open = true;
    store.state.path = datafile;
    store.seen = before;
    note_load(ok);
    // A file that changed while it was read is read again at the first request.
    if (!(file_id(datafile) == store.seen)) store.seen = torn_id();
    if (ok) {
        web_log(ZEL_LOG_INFO, "data file %s loaded", datafile.c_str());
    } else {
        web_log(ZEL_LOG_WARNING, "data file %s not loaded: %s", datafile.c_str(),
                store.state.message.c_str());
    }
}

StoreState store_snapshot() {
    std::lock_guard<std::mutex> g(state_mu);
    return store.state;
}

bool store_current(StoreState &out) {
    const FileId now = file_id(store.path);  // the path is set once, before any other thread
    std::lock_guard<std::mutex> g(state_mu);
    out = store.state;
    return store.open && now == store.seen;
}

void store_set_read_hook(void (*hook)()) {
    read_hook = hook;
}

const StoreState &store_refresh() {
    if (!store.open) return store.state;
    const FileId now = file_id(store.path);
    if (now == store.seen) return store.state;
    if (!settled(now)) {
        std::lock_guard<std::mutex> g(state_mu);
        store.state.settling = true;
        return store.state;
    }
    return load(now);
}

const StoreState &store_reload() {
    if (!store.open) return store.state;
    return load(wait_settled());
}

uint32_t store_newest(uint32_t range) {
    // The head of a single-range export with no samples: the range's time stamp.
    uint8_t head[8];
    if (range > 3 || charts_makedata(nullptr, range, 0, 0) != sizeof head) return 0;
    charts_makedata(head, range, 0, 0);
    return (uint32_t(head[0]) << 24) | (uint32_t(head[1]) << 16) | (uint32_t(head[2]) << 8) |
           uint32_t(head[3]);
}

std::string clock_warning(const StoreState &st) {
    if (!st.loaded) return "";
    const int64_t ahead = local_to_utc(st.newest) - int64_t(time(nullptr));
    if (ahead <= kFutureSeconds) return "";
    return "the newest minute of the data file (" + local_date(st.newest) + ") lies " +
           std::to_string(ahead / 60) + " minutes ahead of the clock: is its time zone right (-z)?";
}

void append_text(void *ctx, const char *text, size_t length) {
    static_cast<std::string *>(ctx)->append(text, length);
}

bool plain_table(const int32_t *stats, uint32_t range, PlainTable &out) {
    out.text.clear();
    out.timestamps.clear();
    out.cells.clear();
    uint32_t fields = 0;
    while (stats[fields] >= 0) fields++;
    const uint32_t rows = charts_getmaxleng();
    // Plain numbers take at most about 24 characters each.
    out.text.reserve(size_t(rows) * (12 + size_t(fields) * 16));
    statsdump_gencsv_to(stats, range, '\t', 0, append_text, &out.text);
    out.fields = fields;
    out.rows = rows;
    out.timestamps.resize(rows);
    out.cells.resize(size_t(rows) * fields);

    std::string_view text = out.text;
    size_t nl = text.find('\n');
    if (nl == std::string_view::npos) return false;
    size_t pos = nl + 1;
    for (uint32_t r = 0; r < rows; r++) {
        nl = text.find('\n', pos);
        if (nl == std::string_view::npos) return false;
        std::string_view line = text.substr(pos, nl - pos);
        pos = nl + 1;
        size_t tab = line.find('\t');
        std::string_view ts = line.substr(0, tab);
        uint32_t t = 0;
        for (char c : ts) t = t * 10 + uint32_t(c - '0');
        out.timestamps[r] = t;
        for (uint32_t f = 0; f < fields; f++) {
            if (tab == std::string_view::npos) return false;
            const size_t start = tab + 1;
            tab = line.find('\t', start);
            std::string_view cell =
                line.substr(start, tab == std::string_view::npos ? line.npos : tab - start);
            if (cell == "-") cell = {};
            if (!cell.empty() && cell.back() == '%') cell.remove_suffix(1);
            out.cells[size_t(r) * fields + f] = cell;
        }
    }
    return true;
}

}  // namespace statsweb
