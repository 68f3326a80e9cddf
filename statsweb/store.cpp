// statsweb's view of the charts store: set-up as a viewer, reload on change, plain tables.
#include "store.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>

#include "charts.h"
#include "crc.h"
#include "handler.h"
#include "statsdump.h"
#include "strerr.h"
#include "text.h"
#include "zellog.h"

namespace statsweb {

namespace {

// What identifies one version of the data file.
struct FileId {
    bool present = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    struct timespec mtime = {0, 0};
    bool operator==(const FileId &o) const {
        return present == o.present && dev == o.dev && ino == o.ino && size == o.size &&
               mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec;
    }
};

struct Store {
    bool open = false;
    FileId seen;  // the file as it was before the last load attempt
    StoreState state;
};

Store s;

FileId file_id(const std::string &path) {
    FileId id;
    struct stat st;
    if (stat(path.c_str(), &st) == 0) {
        id.present = true;
        id.dev = st.st_dev;
        id.ino = st.st_ino;
        id.size = st.st_size;
        id.mtime = st.st_mtim;
    }
    return id;
}

void note_load(bool ok) {
    if (ok) {
        s.state.loaded = true;
        s.state.generation++;
        s.state.last_load = time(nullptr);
        s.state.message.clear();
        const std::string warning = store_clock_warning();
        if (!warning.empty()) zel_log(0, ZEL_LOG_WARNING, "%s", warning.c_str());
    } else {
        const char *msg = charts_load_message();
        s.state.message = (msg != nullptr && msg[0] != '\0') ? msg : "file loading error";
        s.state.failures++;
    }
}

}  // namespace

void open_store(const std::string &datafile) {
    if (s.open) return;
    s.open = true;
    s.state.path = datafile;
    mycrc32_init();
    strerr_init();
    s.seen = file_id(datafile);
    errno = 0;
    charts_init(statsdump_calcdefs, statsdump_statdefs, statsdump_estatdefs, datafile.c_str(),
                CHARTS_MODE_VIEWER);
    const char *msg = charts_load_message();
    const bool ok = msg == nullptr || msg[0] == '\0';
    note_load(ok);
    if (ok) {
        zel_log(0, ZEL_LOG_INFO, "data file %s loaded", datafile.c_str());
    } else {
        zel_log(0, ZEL_LOG_WARNING, "data file %s not loaded: %s", datafile.c_str(),
                s.state.message.c_str());
    }
}

const StoreState &store_state() {
    return s.state;
}

const StoreState &store_refresh() {
    if (!s.open) return s.state;
    const FileId now = file_id(s.state.path);
    if (now == s.seen) return s.state;
    s.seen = now;
    // A short read reports the errno it finds; the server's own calls must not show through.
    errno = 0;
    const bool ok = charts_reload() == 0;
    note_load(ok);
    if (ok) {
        zel_log(0, ZEL_LOG_INFO, "data file %s reloaded", s.state.path.c_str());
    } else {
        zel_log(0, ZEL_LOG_WARNING, "data file %s not reloaded (%s): %s", s.state.path.c_str(),
                s.state.loaded ? "keeping the last good load" : "nothing loaded",
                s.state.message.c_str());
    }
    return s.state;
}

uint32_t store_newest(uint32_t range) {
    // The head of a single-range export with no samples: the range's time stamp.
    uint8_t head[8];
    if (range > 3 || charts_makedata(nullptr, range, 0, 0) != sizeof head) return 0;
    charts_makedata(head, range, 0, 0);
    return (uint32_t(head[0]) << 24) | (uint32_t(head[1]) << 16) | (uint32_t(head[2]) << 8) |
           uint32_t(head[3]);
}

std::string store_clock_warning() {
    if (!s.state.loaded) return "";
    const uint32_t newest = store_newest(0);
    const int64_t ahead = local_to_utc(newest) - int64_t(time(nullptr));
    if (ahead <= kFutureSeconds) return "";
    return "the newest minute of the data file (" + local_date(newest) + ") lies " +
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
