// SPDX-License-Identifier: Apache-2.0
// Helpers shared by the micro-benchmarks: a fixed clock and time zone, a full charts data file
// built through the store itself (48 statistics, 6,296,272 bytes), the store opened on it in tool
// mode, catalogue look-ups by name, and standard output sent to /dev/null for the table writer.
//
// Every benchmark executable builds its own data file once, in a scratch directory that is
// removed at exit. ZEL_BENCH_FILE names an existing data file to use instead (for example the
// demo file of statsgen).
#ifndef ZEL_BENCH_BENCH_UTIL_H
#define ZEL_BENCH_BENCH_UTIL_H

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "charts.h"
#include "charts_priv.h"
#include "crc.h"
#include "statsdump.h"
#include "strerr.h"
#include "zellog.h"

namespace zelbench {

// 2024-06-03 12:00:00 UTC: the store's "now" in every benchmark.
constexpr uint32_t kNow = 1717416000;
inline uint32_t fixed_clock() {
    return kNow;
}

// Chart type of a catalogue name: a base statistic's position, 100 + an extended chart's
// position, or -1 when the catalogue has no such name.
inline int32_t chart_type(const char *name) {
    for (int32_t i = 0; statsdump_statdefs[i].divisor != 0; i++) {
        if (strcmp(statsdump_statdefs[i].name, name) == 0) return i;
    }
    for (int32_t i = 0; statsdump_estatdefs[i].divisor != 0; i++) {
        if (statsdump_estatdefs[i].name != nullptr &&
            strcmp(statsdump_estatdefs[i].name, name) == 0)
            return 100 + i;
    }
    return -1;
}

// Number of sources (1..3) of a chart type, from the catalogue alone.
inline int sources_of(int32_t type) {
    if (type < 100) return 1;
    const estatdef &e = statsdump_estatdefs[type - 100];
    return (e.c1src != 0) + (e.c2src != 0) + (e.c3src != 0);
}

// First extended chart with exactly n sources, or -1.
inline int32_t extended_with_sources(int n) {
    for (int32_t i = 0; statsdump_estatdefs[i].divisor != 0; i++) {
        if (sources_of(100 + i) == n) return 100 + i;
    }
    return -1;
}

inline uint32_t field_count() {
    uint32_t n = 0;
    while (statsdump_statdefs[n].divisor != 0) n++;
    uint32_t e = 0;
    while (statsdump_estatdefs[e].divisor != 0) e++;
    return n + e;
}

// The field list of "-f '*'": every base statistic, then every extended chart, then -1.
inline std::vector<int32_t> all_fields() {
    std::vector<int32_t> f;
    for (int32_t i = 0; statsdump_statdefs[i].divisor != 0; i++) f.push_back(i);
    for (int32_t i = 0; statsdump_estatdefs[i].divisor != 0; i++) f.push_back(100 + i);
    f.push_back(-1);
    return f;
}

inline void process_setup() {
    static bool done = false;
    if (done) return;
    done = true;
    setenv("TZ", "Europe/Warsaw", 1);
    tzset();
    mycrc32_init();
    strerr_init();
    zel_log_detach_stderr();
    charts_set_clock(fixed_clock);
}

// A deterministic value in [0, 1) for one slot.
inline double noise(uint32_t stat, uint32_t range, uint32_t slot) {
    uint64_t x = (uint64_t)stat * 0x9E3779B97F4A7C15ULL ^ (uint64_t)range << 40 ^ slot;
    x ^= x >> 33;
    x *= 0xFF51AFD7ED558CCDULL;
    x ^= x >> 33;
    x *= 0xC4CEB9FE1A85EC53ULL;
    x ^= x >> 33;
    return (double)(x >> 11) / 9007199254740992.0;
}

// Fills every ring of the open store with a daily wave plus noise, about 3 % of slots empty.
// Shown per-minute values stay in a plausible band for each statistic (percentages up to 100).
inline void fill_rings() {
    using charts::g;
    for (uint32_t i = 0; i < g.statdefscount; i++) {
        const statdef &d = g.statdefs[i];
        double shown_max = d.percent ? 60.0 : std::pow(10.0, (double)((i * 7) % 9));
        double unit = (double)d.multiplier / (double)d.divisor;
        static const double kScale[6] = {1e-6, 1e-3, 1.0, 1e3, 1e6, 1e9};
        unit *= d.scale < 6 ? kScale[d.scale] : 1.0;
        for (uint32_t r = 0; r < charts::kRanges; r++) {
            double per_slot = d.mode == 0 ? (double)charts::kRangeMinutes[r] : 1.0;
            uint64_t *ring = g.series[i][r];
            for (uint32_t s = 0; s < charts::kRingLength; s++) {
                double n = noise(i, r, s);
                if (n < 0.03) {
                    ring[s] = CHARTS_NODATA;
                    continue;
                }
                double wave = 0.5 + 0.35 * std::sin(6.283185307179586 * s / (240.0 + 7 * i));
                double shown = shown_max * (wave + 0.15 * n);
                ring[s] = (uint64_t)(shown / unit * per_slot);
            }
        }
    }
}

// Builds a full data file at path with the store: an empty server-mode store at kNow, rings
// filled directly, saved, released.
inline void make_data_file(const std::string &path) {
    process_setup();
    unlink(path.c_str());
    if (charts_init(statsdump_calcdefs, statsdump_statdefs, statsdump_estatdefs, path.c_str(), 0) !=
        0) {
        fprintf(stderr, "bench: charts_init (server mode) failed\n");
        exit(1);
    }
    fill_rings();
    charts_store();
    charts_term();
}

class ScratchDir {
  public:
    ScratchDir() {
        char tmpl[] = "/tmp/zelbench.XXXXXX";
        path_ = mkdtemp(tmpl);
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    std::string file(const char *name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

inline ScratchDir &scratch() {
    static ScratchDir dir;
    return dir;
}

// The data file every benchmark reads.
inline const std::string &data_file() {
    static std::string path = [] {
        const char *env = getenv("ZEL_BENCH_FILE");
        if (env != nullptr && env[0] != '\0') return std::string(env);
        std::string p = scratch().file("csstats.zel");
        make_data_file(p);
        return p;
    }();
    return path;
}

// Opens the store on the data file in tool mode, once per process; later calls are no-ops.
// close_store() releases it so a benchmark can take the store over.
inline bool &store_open_flag() {
    static bool open = false;
    return open;
}

inline void open_store() {
    if (store_open_flag()) return;
    const std::string &path = data_file();
    process_setup();
    if (charts_init(statsdump_calcdefs, statsdump_statdefs, statsdump_estatdefs, path.c_str(), 1) !=
        0) {
        fprintf(stderr, "bench: charts_init (tool mode) failed on %s\n", path.c_str());
        exit(1);
    }
    store_open_flag() = true;
}

inline void close_store() {
    if (!store_open_flag()) return;
    charts_term();
    store_open_flag() = false;
}

// Sends standard output to /dev/null while alive.
class StdoutToNull {
  public:
    StdoutToNull() {
        fflush(stdout);
        saved_ = dup(1);
        int fd = open("/dev/null", O_WRONLY);
        dup2(fd, 1);
        close(fd);
    }
    ~StdoutToNull() {
        fflush(stdout);
        dup2(saved_, 1);
        close(saved_);
    }
    StdoutToNull(const StdoutToNull &) = delete;
    StdoutToNull &operator=(const StdoutToNull &) = delete;

  private:
    int saved_ = -1;
};

}  // namespace zelbench

#endif
