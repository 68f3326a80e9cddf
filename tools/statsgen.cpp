// SPDX-License-Identifier: Apache-2.0
// statsgen: a simulated chunk server that writes a charts data file through the charts store,
// exactly as a running server does: the store runs in server mode on a simulated clock, takes
// one sample vector per minute with charts_add and is saved with charts_store at the end.
//
// The counters are synthetic but follow the catalogue's units: CPU time in microseconds per
// minute, traffic in bytes per minute, operations in counts per minute, disk times in
// microseconds per minute, and levels (load, memory, space, chunk and disk counts) as they
// stand. The story of the run, counted back from its end time E:
//   - daily cycles of client traffic and CPU (peak at 14:00 UTC, quieter weekends), a nightly
//     delete wave, random bursts of disk reads;
//   - used space growing slowly under a fixed total;
//   - E - 12 days + 3:17: one disk fails (hddok 12 -> 11, hdddmg 1), replication and moves;
//   - E - 6 days + 9:40: one disk is marked for removal (hddok 11 -> 10, hddmfr 1, td*);
//   - E - 2 days - 5:00: the server stops (saving the store) and starts again 3 hours 40
//     minutes later (loading it and catching up): no samples in between.
// Everything is driven by one seeded generator, so equal options give byte-identical files
// (in the same time zone: the store merges samples in local time).
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "charts.h"
#include "statsdump.h"
#include "zellog.h"

namespace {

constexpr uint32_t kDefaultEnd = 1709640000;  // 2024-03-05 12:00 UTC
constexpr uint32_t kDefaultDays = 100;
constexpr uint32_t kMaxDays = 4096;
constexpr uint64_t kDefaultSeed = 1;
constexpr const char *kDefaultOutput = "csstats.zel";

constexpr int64_t kMinute = 60;
constexpr int64_t kHour = 3600;
constexpr int64_t kDay = 86400;
constexpr double kCpuMinute = 60e6;  // microseconds of one fully used core in one minute

// Events, as offsets from the end time.
constexpr int64_t kDiskFailAt = -12 * kDay + 3 * kHour + 17 * kMinute;
constexpr int64_t kDiskRemoveAt = -6 * kDay + 9 * kHour + 40 * kMinute;
constexpr int64_t kDownAt = -2 * kDay - 5 * kHour;
constexpr int64_t kDownFor = 3 * kHour + 40 * kMinute;

// The server's disks.
constexpr uint32_t kDisks = 12;
constexpr double kDiskBytes = 8e12;
constexpr double kTotalSpace = kDisks * kDiskBytes;  // fixed total
constexpr double kChunkBytes = 28e6;                 // average chunk size on disk

// Statistic numbers in the catalogue (positions in statsdump_statdefs).
// clang-format off
enum Stat {
    UCPU, SCPU, MASTERIN, MASTEROUT, CSREPIN, CSREPOUT, CSSERVIN, CSSERVOUT,
    HDRBYTESR, HDRBYTESW, HDRLLOPR, HDRLLOPW, DATABYTESR, DATABYTESW, DATALLOPR, DATALLOPW,
    HLOPR, HLOPW, RTIME, WTIME, REPL, CREATE, DELETE, VERSION,
    DUPLICATE, TRUNCATE, DUPTRUNC, TEST, LOAD, MEMORYRSS, MEMORYVIRT, MOVELS,
    MOVEHS, CHANGE, SPLIT, USEDSPACE, TOTALSPACE, CHUNKCOUNT, TDUSEDSPACE, TDTOTALSPACE,
    TDCHUNKCOUNT, COPYCHUNKS, EC4CHUNKS, EC8CHUNKS, HDDOK, HDDMFR, HDDDMG, UDIFF,
    STAT_COUNT
};
// clang-format on

// The whole simulator: options, the simulated clock, the generator and the running bursts.
struct Sim {
    const char *output = kDefaultOutput;
    uint32_t end = kDefaultEnd;
    uint32_t days = kDefaultDays;
    uint64_t seed = kDefaultSeed;

    uint32_t now = 0;    // the simulated clock the store reads
    uint64_t rng = 0;    // splitmix64 state
    uint32_t burst = 0;  // minutes left of the current read burst
    double burstops = 0;
    uint32_t upsince = 0;  // time the server (re)started
    uint64_t sample[STAT_COUNT] = {};
};

Sim sim;

uint32_t sim_clock() {
    return sim.now;
}

uint64_t next_u64() {
    uint64_t z = (sim.rng += UINT64_C(0x9E3779B97F4A7C15));
    z = (z ^ (z >> 30)) * UINT64_C(0xBF58476D1CE4E5B9);
    z = (z ^ (z >> 27)) * UINT64_C(0x94D049BB133111EB);
    return z ^ (z >> 31);
}

// Uniform in [0, 1).
double uniform() {
    return (double)(next_u64() >> 11) * (1.0 / 9007199254740992.0);
}

// A multiplicative jitter around 1 of at most +-spread.
double jitter(double spread) {
    return 1.0 + spread * (2.0 * uniform() - 1.0);
}

// Events per minute with the given mean (Poisson, small means).
uint64_t poisson(double mean) {
    double limit = std::exp(-mean), p = 1.0;
    uint64_t k = 0;
    while ((p *= uniform()) > limit && k < 1000) k++;
    return k;
}

uint64_t count(double v) {
    return v <= 0.0 ? 0 : (uint64_t)std::llround(v);
}

// Client activity 0..1: a daily wave peaking at 14:00 UTC, lower at weekends.
double activity(uint32_t t) {
    const double pi = 3.14159265358979323846;
    double tod = (double)(t % kDay) / (double)kDay;
    double wave = 0.5 + 0.5 * std::cos(2.0 * pi * (tod - 14.0 / 24.0));
    uint32_t weekday = (t / kDay + 4) % 7;  // 0 Sunday (1970-01-01 was a Thursday)
    return wave * ((weekday == 0 || weekday == 6) ? 0.55 : 1.0);
}

// Fraction 1 -> 0 over the given seconds after an event, 0 before it.
double decay(int64_t since, double seconds) {
    return since < 0 ? 0.0 : std::exp(-(double)since / seconds);
}

// The minute that ends at t: where it stands against the end of the run and its events.
struct Moment {
    uint32_t t;
    int64_t rel;  // seconds from the end of the run (negative before it)
    double act;   // client activity
    bool failed, removing;
    double afterfail, afterremove;
};

// What the sections of one sample share.
struct Flows {
    double used, chunks;                    // space in bytes and chunks
    double servout, servin, repin, repout;  // bytes per minute
    double hlopr, hlopw;                    // operations per minute
    double burstops;                        // disk operations of a chunk-test burst
};

void client_traffic(uint64_t *s, const Moment &m, Flows &f) {
    const uint32_t t = m.t;
    const int64_t rel = m.rel;
    const double act = m.act, afterfail = m.afterfail, afterremove = m.afterremove;
    // Client and replication traffic, bytes per minute.
    double servout = (2.0e8 + 5.5e9 * act) * jitter(0.15);
    double servin = (1.0e8 + 2.2e9 * act) * jitter(0.2);
    double repin = 1.0e7 * jitter(0.5) + 2.4e9 * afterfail * jitter(0.1);
    double repout = 1.0e7 * jitter(0.5) + 1.8e9 * afterremove * jitter(0.1);
    s[CSSERVOUT] = count(servout);
    s[CSSERVIN] = count(servin);
    s[CSREPIN] = count(repin);
    s[CSREPOUT] = count(repout);

    // Operations per minute.
    double hlopr = servout / 262144.0 * jitter(0.1);
    double hlopw = servin / 524288.0 * jitter(0.1);
    s[HLOPR] = count(hlopr);
    s[HLOPW] = count(hlopw);
    s[TEST] = poisson(6.0);
    s[REPL] = poisson(0.3 + 80.0 * afterfail);
    s[CREATE] = count(hlopw * 0.02 * jitter(0.3)) + s[REPL];
    uint32_t tod = t % kDay;
    bool nightly = tod >= 2 * kHour && tod < 2 * kHour + 50 * kMinute;
    s[DELETE] = nightly ? count(700.0 * jitter(0.4)) : poisson(1.5);
    s[VERSION] = count(s[CREATE] * 1.5 * jitter(0.2)) + poisson(2.0);
    s[DUPLICATE] = poisson(0.05);
    s[TRUNCATE] = poisson(0.2);
    s[DUPTRUNC] = poisson(0.02);
    s[CHANGE] = poisson(0.05);
    s[SPLIT] = poisson(0.01);
    s[MOVEHS] = poisson(25.0 * afterfail);
    s[MOVELS] = poisson(0.4 + 3.0 * decay(rel - kDiskFailAt, 3.0 * kDay));
    f.servout = servout, f.servin = servin, f.repin = repin, f.repout = repout;
    f.hlopr = hlopr, f.hlopw = hlopw;
}

void disk_traffic(uint64_t *s, Flows &f) {
    const double servout = f.servout, servin = f.servin, repin = f.repin, repout = f.repout;
    const double hlopr = f.hlopr, hlopw = f.hlopw;
    // Disk traffic: reads serve clients, replication out and chunk tests; writes take clients
    // and replication in.
    if (sim.burst == 0 && uniform() < 1.0 / 720.0) {
        sim.burst = 5 + (uint32_t)(uniform() * 40.0);
        sim.burstops = 1500.0 + 5000.0 * uniform();
    }
    double burstops = 0.0;
    if (sim.burst > 0) {
        burstops = sim.burstops * jitter(0.2);
        sim.burst--;
    }
    double datar = servout + repout + (double)s[TEST] * kChunkBytes + burstops * 65536.0;
    double dataw = servin + repin;
    s[DATABYTESR] = count(datar);
    s[DATABYTESW] = count(dataw);
    s[DATALLOPR] = count(datar / 65536.0 * jitter(0.05));
    s[DATALLOPW] = count(dataw / 65536.0 * jitter(0.05));
    double opens = (hlopr + hlopw) * 0.08 + (double)s[TEST] + (double)s[REPL];
    s[HDRLLOPR] = count(opens * jitter(0.1));
    s[HDRLLOPW] =
        count(((double)s[CREATE] + (double)s[VERSION] + (double)s[DELETE] * 0.1) * jitter(0.1));
    s[HDRBYTESR] = s[HDRLLOPR] * 5120;
    s[HDRBYTESW] = s[HDRLLOPW] * 5120;
    s[RTIME] = count((double)s[DATALLOPR] * 420.0 * jitter(0.2) + (double)s[HDRLLOPR] * 300.0);
    s[WTIME] = count((double)s[DATALLOPW] * 260.0 * jitter(0.2) + (double)s[HDRLLOPW] * 500.0);
    f.burstops = burstops;
}

// Master connection and CPU time; returns how busy the server was.
double master_and_cpu(uint64_t *s, const Moment &m, const Flows &f) {
    // Master connection: registration, chunk reports and operation results.
    s[MASTERIN] =
        count((60000.0 + 300.0 * (double)(s[CREATE] + s[DELETE] + s[REPL])) * jitter(0.1));
    s[MASTEROUT] =
        count((90000.0 + 450.0 * (double)(s[CREATE] + s[DELETE] + s[REPL])) * jitter(0.1));

    // CPU time, microseconds per minute.
    double busy = m.act + 0.5 * m.afterfail + 0.4 * m.afterremove + f.burstops / 20000.0;
    s[UCPU] = count(kCpuMinute * (0.03 + 0.30 * busy) * jitter(0.12));
    s[SCPU] = count(kCpuMinute * (0.02 + 0.14 * busy) * jitter(0.12));
    return busy;
}

void levels(uint64_t *s, const Moment &m, const Flows &f, double busy) {
    const uint32_t t = m.t;
    const int64_t rel = m.rel;
    const double used = f.used, chunks = f.chunks, burstops = f.burstops;
    const bool failed = m.failed, removing = m.removing;
    s[LOAD] = count(40.0 * busy * jitter(0.3) + burstops / 200.0);
    double uptime = (double)(t - sim.upsince) / (48.0 * kHour);
    s[MEMORYRSS] =
        count((7.0e8 + chunks * 180.0 + 3.0e8 * (uptime < 1.0 ? uptime : 1.0)) * jitter(0.01));
    s[MEMORYVIRT] = s[MEMORYRSS] + count(1.9e9 * jitter(0.005));
    s[TOTALSPACE] = count(kTotalSpace);
    s[USEDSPACE] = count(used);
    s[CHUNKCOUNT] = count(chunks);
    s[COPYCHUNKS] = count(chunks * 0.72);
    s[EC4CHUNKS] = count(chunks * 0.19);
    s[EC8CHUNKS] = s[CHUNKCOUNT] - s[COPYCHUNKS] - s[EC4CHUNKS];
    if (removing) {
        double tdused = kDiskBytes * 0.6;
        s[TDTOTALSPACE] = count(kDiskBytes);
        s[TDUSEDSPACE] = count(tdused);
        s[TDCHUNKCOUNT] = count(tdused / kChunkBytes);
    } else {
        s[TDTOTALSPACE] = s[TDUSEDSPACE] = s[TDCHUNKCOUNT] = 0;
    }
    s[HDDDMG] = failed ? 1 : 0;
    s[HDDMFR] = removing ? 1 : 0;
    s[HDDOK] = kDisks - s[HDDDMG] - s[HDDMFR];
    // Usage difference between the fullest and the emptiest disk, thousandths of a point.
    s[UDIFF] = count((1800.0 + 6500.0 * decay(rel - kDiskFailAt, 2.0 * kDay)) * jitter(0.1));
}

// Fills sim.sample with the counters of the minute that ends at t.
void make_sample(uint32_t t) {
    uint64_t *s = sim.sample;
    Moment m;
    m.t = t;
    m.rel = (int64_t)t - (int64_t)sim.end;
    m.act = activity(t);
    m.failed = m.rel >= kDiskFailAt;
    m.removing = m.rel >= kDiskRemoveAt;
    m.afterfail = decay(m.rel - kDiskFailAt, 10.0 * kHour);
    m.afterremove = decay(m.rel - kDiskRemoveAt, 20.0 * kHour);

    Flows f;
    // Space grows from 55% to 62% of the total over the 100 days before the end (never below
    // 5% in longer runs), with a small daily dip from the nightly deletes.
    double frac = std::max(0.05, 0.62 + 0.07 * (double)m.rel / (100.0 * kDay));
    f.used = kTotalSpace * (frac - 0.002 * activity(t + 12 * kHour));
    f.chunks = f.used / kChunkBytes;

    client_traffic(s, m, f);
    disk_traffic(s, f);
    const double busy = master_and_cpu(s, m, f);
    levels(s, m, f, busy);
}

void help(FILE *out, const char *appname) {
    fprintf(out,
            "usage: %s [-o output_file] [-e end_time] [-d days] [-s seed] [-h]\n"
            "Simulates a chunk server and writes its charts data file: one sample per minute\n"
            "for the given number of days up to the end time, then saves the store.\n"
            "\t-o - charts data file to write, replaced if it exists (default: %s)\n"
            "\t-e - time of the last sample, seconds since 1970\n"
            "\t     (default: %u = 2024-03-05 12:00 UTC)\n"
            "\t-d - number of days to simulate, 1..%u (default: %u)\n"
            "\t-s - seed of the pseudo-random generator (default: %llu);\n"
            "\t     equal options give byte-identical files\n"
            "\t-h - show this help\n"
            "Samples are merged into slots in local time (TZ). The server is down for 3 hours\n"
            "40 minutes from 2 days 5 hours before the end time; a disk fails 12 days and\n"
            "another is marked for removal 6 days before it.\n",
            appname, kDefaultOutput, kDefaultEnd, kMaxDays, kDefaultDays,
            (unsigned long long)kDefaultSeed);
}

// Reads a whole unsigned decimal number; false for anything else.
bool parse_number(const char *text, unsigned long long max, unsigned long long *value) {
    if (text[0] < '0' || text[0] > '9') return false;
    char *endp = nullptr;
    errno = 0;
    unsigned long long v = strtoull(text, &endp, 10);
    if (errno != 0 || *endp != '\0' || v > max) return false;
    *value = v;
    return true;
}

bool parse_options(int argc, char **argv) {
    int ch;
    unsigned long long v;
    while ((ch = getopt(argc, argv, "o:e:d:s:h")) != -1) {
        switch (ch) {
            case 'o':
                if (optarg[0] == '\0') return false;
                sim.output = optarg;
                break;
            case 'e':
                if (!parse_number(optarg, 0x7FFFFFFFULL - 2 * kDay, &v)) return false;
                sim.end = (uint32_t)v;
                break;
            case 'd':
                if (!parse_number(optarg, kMaxDays, &v) || v == 0) return false;
                sim.days = (uint32_t)v;
                break;
            case 's':
                if (!parse_number(optarg, UINT64_MAX, &v)) return false;
                sim.seed = v;
                break;
            case 'h':
                help(stdout, argv[0]);
                exit(0);
            default:
                return false;
        }
    }
    return optind == argc;
}

// Sets up the store as a server does: server mode on the simulated clock, loading the data
// file when there is one and catching up to the clock.
bool start_server(const char *appname) {
    if (charts_init(statsdump_calcdefs, statsdump_statdefs, statsdump_estatdefs, sim.output,
                    CHARTS_MODE_SERVER) == 0) {
        return true;
    }
    fprintf(stderr, "%s: can't set up the charts store\n", appname);
    charts_set_clock(nullptr);
    return false;
}

}  // namespace

int main(int argc, char **argv) {
    // Exit statuses: 0 done, 1 the data file could not be written, 2 a usage error.
    for (int i = 1; i < argc && strcmp(argv[i], "--") != 0; i++) {
        if (strcmp(argv[i], "--help") == 0) {
            help(stdout, argv[0]);
            return 0;
        }
        if (strcmp(argv[i], "--version") == 0) {
            puts("statsgen " ZEL_VERSION);
            return 0;
        }
    }
    if (!parse_options(argc, argv)) {
        help(stderr, argv[0]);
        return 2;
    }
    if ((uint64_t)sim.days * kDay + kDay > sim.end) {
        fprintf(stderr, "%s: end time %u is too early for %u days\n", argv[0], sim.end, sim.days);
        return 2;
    }
    uint32_t start = sim.end - sim.days * (uint32_t)kDay;
    sim.rng = sim.seed;
    sim.now = start;
    sim.upsince = start;

    // A fresh server: no old file to load. Its notices (no file, file loaded) stay quiet.
    if (unlink(sim.output) != 0 && errno != ENOENT) {
        fprintf(stderr, "%s: can't remove %s: %s\n", argv[0], sim.output, strerror(errno));
        return 1;
    }
    zel_log_set_min_level(ZEL_LOG_WARNING);
    charts_set_clock(sim_clock);
    if (!start_server(argv[0])) return 1;

    // One sample vector per minute. The restart saves the store and ends it; the new server
    // loads the file and catches up to its start, leaving the minutes in between empty.
    const int64_t downfrom = (int64_t)sim.end + kDownAt;
    const int64_t downto = downfrom + kDownFor;
    bool running = true;
    for (uint32_t t = start + kMinute; t <= sim.end; t += kMinute) {
        sim.now = t;
        if ((int64_t)t >= downfrom && (int64_t)t < downto) {
            if (running) {
                charts_store();
                charts_term();
                running = false;
            }
            continue;
        }
        if (!running) {
            sim.upsince = t;
            if (!start_server(argv[0])) return 1;
            running = true;
        }
        make_sample(t);
        charts_add(sim.sample, t);
    }
    if (running) {
        charts_store();
        charts_term();
    }
    charts_set_clock(nullptr);

    struct stat st;
    if (stat(sim.output, &st) != 0 || st.st_size <= 16) {
        fprintf(stderr, "%s: charts data file %s was not written\n", argv[0], sim.output);
        return 1;
    }
    return 0;
}
