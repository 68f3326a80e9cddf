// SPDX-License-Identifier: Apache-2.0
// Pieces shared by the fuzz targets and the seed generator: charts data files of any shape
// (tag, ring length, chart count, newest minute, records) made with the shared builder
// (tests/datafile_builder.h), a small catalogue that keeps one execution cheap, and a scratch
// directory per fuzzing process.
#ifndef ZEL_FUZZ_FUZZ_UTIL_H
#define ZEL_FUZZ_FUZZ_UTIL_H

#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "charts.h"
#include "crc.h"
#include "datafile_builder.h"
#include "strerr.h"

// The sanitizer runtime's report of a summary line (absent without a sanitizer).
extern "C" void __sanitizer_report_error_summary(const char *error_summary) __attribute__((weak));

namespace zelfuzz {

constexpr uint64_t kNoData = UINT64_C(0xFFFFFFFFFFFFFFFF);
using zeldata::kNameField;
using zeldata::kTag;

using zeldata::sid;

using zeldata::put32;
using zeldata::put64;

inline uint32_t get32le(const uint8_t *p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

inline uint32_t get32be(const uint8_t *p) {
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | (uint32_t)p[3];
}

// The value of entry k (oldest first) of the ring of record `rec` in `range`: a mix of empty
// slots, small counts, values past 2^63 (negative to the calc machine) and zeros.
inline uint64_t pattern_value(uint32_t rec, uint32_t range, uint32_t k) {
    uint32_t h = (rec * 131u + range * 17u + k * 7u) % 29u;
    if (h == 3 || h == 11) return kNoData;
    if (h == 5) return UINT64_C(0x8000000000000000) + k;
    if (h == 7) return 0;
    return (uint64_t)(rec + 1) * 1000003u * (k % 97u + 1u) + range;
}

// A data file header.
inline std::string file_header(uint32_t ringleng, uint32_t count, uint32_t newest,
                               uint32_t tag = kTag) {
    return zeldata::header(ringleng, count, newest, tag);
}

// One record: the name field (the name cut or zero-padded to 100 bytes) and `entries` entries
// per ring (normally the ring length) from pattern_value.
inline std::string file_record(const std::string &name, uint32_t entries, uint32_t rec) {
    return zeldata::record(name, entries,
                           [rec](uint32_t r, uint32_t k) { return pattern_value(rec, r, k); });
}

// A well-formed data file with one record per name.
inline std::string data_file(const std::vector<std::string> &names, uint32_t ringleng,
                             uint32_t newest) {
    std::string out = file_header(ringleng, (uint32_t)names.size(), newest);
    for (size_t i = 0; i < names.size(); i++) out += file_record(names[i], ringleng, (uint32_t)i);
    return out;
}

// Newest minute of the generated files: 2024-03-05 12:00 in minutes since 1970.
constexpr uint32_t kNewestMinute = 28494000;
// The clock of server-mode executions: ten minutes after that minute, so the catch-up on start
// advances every range a little.
constexpr uint32_t kNow = kNewestMinute * 60 + 600;
inline uint32_t fixed_clock() {
    return kNow;
}

// Process set-up of the store targets: a fixed time zone and clock, the CRC and error tables.
inline void setup_store_process() {
    setenv("TZ", "UTC", 1);
    mycrc32_init();
    strerr_init();
    charts_set_clock(fixed_clock);
}

// The small catalogue: five base statistics named as in the real catalogue (so generated files
// match both), extended charts with two, one calc, three and gapped sources, and two calc
// programs.
inline const statdef kSmallStats[] = {
    {"ucpu", sid("UCPU"), 0, 1, 0, 100, 60},    {"scpu", sid("SCPU"), 0, 1, 0, 100, 60},
    {"load", sid("LOAD"), 1, 0, 2, 1, 1},       {"memoryrss", sid("MEMR"), 1, 0, 2, 1, 1},
    {"memoryvirt", sid("MEMV"), 1, 0, 2, 1, 1}, {nullptr, 0, 0, 0, 0, 0, 0},
};
constexpr uint32_t kSmallStatCount = 5;
inline const estatdef kSmallEstats[] = {
    {"cpu", sid("TCPU"), 1, 2, 0, 0, 1, 0, 100, 60},
    {"mem", sid("TMEM"), 1000, 4, 0, 1, 0, 2, 1, 1},
    {"three", sid("THRE"), 3, 1001, 5, 1, 0, 5, 7, 3},
    {nullptr, sid("GAPX"), 1, 0, 2, 0, 0, 9, 1, 1},
    {nullptr, 0, 0, 0, 0, 0, 0, 0, 0, 0},
};
constexpr uint32_t kSmallEstatCount = 4;
inline const uint32_t kSmallCalcs[] = {1000, 0,    4,    3, 1002, 1004, 1999, 0,
                                       1,    1001, 1000, 3, 1006, 1007, 1999, 2000};
inline const std::vector<std::string> kSmallNames = {"ucpu", "scpu", "load", "memoryrss",
                                                     "memoryvirt"};

// A private scratch directory for this process (on a memory file system when there is one),
// created on first use.
inline const std::string &scratch_dir() {
    static std::string dir = [] {
        const char *base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string tmpl = std::string(base) + "/zelfuzz.XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        if (mkdtemp(buf.data()) == nullptr) abort();
        return std::string(buf.data());
    }();
    return dir;
}

// Replaces the file at path with the given bytes.
inline void put_file(const std::string &path, const void *data, size_t size) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) abort();
    const char *p = static_cast<const char *>(data);
    while (size > 0) {
        ssize_t n = write(fd, p, size);
        if (n <= 0) abort();
        p += n;
        size -= (size_t)n;
    }
    close(fd);
}

// Stops the process with a message when a property of the store does not hold; the fuzzer
// counts it as a crash and keeps the input. The message goes to standard error and, as a
// sanitizer summary, to where the sanitizer reports: a fuzzing run closes standard error
// (-close_fd_mask) and keeps only that.
[[noreturn]] inline void property_failed(const char *file, int line, const char *cond) {
    char msg[512];
    snprintf(msg, sizeof msg, "%s:%d: property failed: %s", file, line, cond);
    fprintf(stderr, "%s\n", msg);
    if (&__sanitizer_report_error_summary != nullptr) __sanitizer_report_error_summary(msg);
    abort();
}

#define ZELFUZZ_CHECK(cond)                                               \
    do {                                                                  \
        if (!(cond)) zelfuzz::property_failed(__FILE__, __LINE__, #cond); \
    } while (0)

}  // namespace zelfuzz

#endif
