// SPDX-License-Identifier: Apache-2.0
// statsweb's view of the charts store: set-up as a viewer, reload on change, plain tables.
#include "store.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>

#include <mutex>

#include "charts.h"
#include "crc.h"
#include "handler.h"
#include "legend.h"
#include "statsdump.h"
#include "strerr.h"
#include "text.h"
#include "zellog.h"

namespace statsweb {

namespace {

// What identifies one version of the data file.
struct FileId {
    bool present = false;
    bool regular = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    struct timespec mtime = {0, 0};
    bool operator==(const FileId &o) const {
        return present == o.present && regular == o.regular && dev == o.dev && ino == o.ino &&
               size == o.size && mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec;
    }
};

// Written under the store lock and state_mu together; read under either.
struct Store {
    bool open = false;
    FileId seen;  // the file as it was at the last load attempt; never matches after a torn one
    StoreState state;
};

Store s;
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
    }
    return id;
}

// Called with state_mu held.
void note_load(bool ok) {
    if (ok) {
        s.state.loaded = true;
        s.state.generation++;
        s.state.last_load = time(nullptr);
        s.state.message.clear();
        s.state.newest = store_newest(0);
        const std::string warning = clock_warning(s.state);
        if (!warning.empty()) zel_log(0, ZEL_LOG_WARNING, "%s", warning.c_str());
    } else {
        const char *msg = charts_load_message();
        s.state.message = (msg != nullptr && msg[0] != '\0') ? msg : "file loading error";
        s.state.failures++;
    }
}

constexpr int kLoadAttempts = 3;

// Reads the file (the store lock held); `now` is its identity just before.
const StoreState &load(FileId now) {
    bool ok = false, whole = false;
    for (int attempt = 0; attempt < kLoadAttempts && !whole; attempt++) {
        if (attempt > 0) now = file_id(s.state.path);
        if (now.present && !now.regular) {
            // A FIFO, a directory or a device is never opened; the last good load stays.
            std::lock_guard<std::mutex> g(state_mu);
            s.seen = now;
            s.state.message = "file loading error: not a regular file";
            s.state.failures++;
            zel_log(0, ZEL_LOG_WARNING, "data file %s not reloaded: not a regular file",
                    s.state.path.c_str());
            return s.state;
        }
        // A short read reports the errno it finds; the server's own calls must not show through.
        errno = 0;
        ok = charts_reload() == 0;
        if (read_hook != nullptr) read_hook();
        whole = file_id(s.state.path) == now;
    }
    std::lock_guard<std::mutex> g(state_mu);
    note_load(ok);
    s.seen = whole ? now : torn_id();
    if (!whole) {
        // The store shows what was read; it is read again at the next request. A torn read
        // counts as a failed load (a failed read was counted already).
        if (ok) s.state.failures++;
        s.state.message =
            "the file changed while it was read; it is read again at the next request";
        zel_log(0, ZEL_LOG_WARNING, "data file %s changed while it was read", s.state.path.c_str());
    } else if (ok) {
        zel_log(0, ZEL_LOG_INFO, "data file %s reloaded", s.state.path.c_str());
    } else {
        zel_log(0, ZEL_LOG_WARNING, "data file %s not reloaded (%s): %s", s.state.path.c_str(),
                s.state.loaded ? "keeping the last good load" : "nothing loaded",
                s.state.message.c_str());
    }
    return s.state;
}

}  // namespace

void open_store(const std::string &datafile) {
    if (s.open) return;
    std::lock_guard<std::mutex> g(state_mu);
    s.open = true;
    s.state.path = datafile;
    mycrc32_init();
    strerr_init();
    s.seen = file_id(datafile);
    errno = 0;
    charts_init(statsdump_calcdefs, statsdump_statdefs, statsdump_estatdefs, datafile.c_str(),
                CHARTS_MODE_VIEWER);
    read_palette();
    const char *msg = charts_load_message();
    const bool ok = msg == nullptr || msg[0] == '\0';
    note_load(ok);
    // A file that changed while it was read is read again at the first request.
    if (!(file_id(datafile) == s.seen)) s.seen = torn_id();
    if (ok) {
        zel_log(0, ZEL_LOG_INFO, "data file %s loaded", datafile.c_str());
    } else {
        zel_log(0, ZEL_LOG_WARNING, "data file %s not loaded: %s", datafile.c_str(),
                s.state.message.c_str());
    }
}

StoreState store_snapshot() {
    std::lock_guard<std::mutex> g(state_mu);
    return s.state;
}

bool store_current(StoreState &out) {
    const FileId now = file_id(s.state.path);  // set once, before any other thread runs
    std::lock_guard<std::mutex> g(state_mu);
    out = s.state;
    return s.open && now == s.seen;
}

void store_set_read_hook(void (*hook)()) {
    read_hook = hook;
}

const StoreState &store_refresh() {
    if (!s.open) return s.state;
    const FileId now = file_id(s.state.path);
    if (now == s.seen) return s.state;
    return load(now);
}

const StoreState &store_reload() {
    if (!s.open) return s.state;
    return load(file_id(s.state.path));
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

namespace {

void append_text(void *ctx, const char *text, size_t length) {
    static_cast<std::string *>(ctx)->append(text, length);
}

}  // namespace

bool plain_table(const int32_t *stats, uint32_t range, PlainTable &out) {
    out = PlainTable();
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
