// SPDX-License-Identifier: Apache-2.0
#include "fields.h"

#include <string.h>

#include <string>
#include <utility>

#include "statsdump.h"

namespace statsweb {

namespace {

// Factors from the printed number to the metric's base unit.
constexpr double kPercent = 0.01;         // percent -> ratio
constexpr double kBitsToBytes = 1.0 / 8;  // bits per second -> bytes per second
constexpr double kPerMinute = 1.0 / 60;   // per minute -> per second
constexpr double kBusy = 1000;            // thousandths of the time busy -> ratio

}  // namespace

// clang-format off
const FieldText kFieldTexts[] = {
    // title                                      unit
    // metric                                 metric_unit           factor
    // help
    {"processor use, user",                      "%",  // ucpu
     "zelcs_ucpu_ratio",                    "ratio",              kPercent,
     "Processor time of the chunk server in user mode, as a ratio of one core (1 is one core fully used)."},
    {"processor use, system",                    "%",  // scpu
     "zelcs_scpu_ratio",                    "ratio",              kPercent,
     "Processor time of the chunk server in system (kernel) mode, as a ratio of one core (1 is one core fully used)."},
    {"traffic from the master",                  "bit/s",  // masterin
     "zelcs_masterin_bytes_per_second",     "bytes_per_second",   kBitsToBytes,
     "Received from the master server, in bytes per second."},
    {"traffic to the master",                    "bit/s",  // masterout
     "zelcs_masterout_bytes_per_second",    "bytes_per_second",   kBitsToBytes,
     "Sent to the master server, in bytes per second."},
    {"replication traffic in",                   "bit/s",  // csrepin
     "zelcs_csrepin_bytes_per_second",      "bytes_per_second",   kBitsToBytes,
     "Received from other chunk servers (replication), in bytes per second."},
    {"replication traffic out",                  "bit/s",  // csrepout
     "zelcs_csrepout_bytes_per_second",     "bytes_per_second",   kBitsToBytes,
     "Sent to other chunk servers (replication), in bytes per second."},
    {"client traffic in",                        "bit/s",  // csservin
     "zelcs_csservin_bytes_per_second",     "bytes_per_second",   kBitsToBytes,
     "Received from clients (data written by clients), in bytes per second."},
    {"client traffic out",                       "bit/s",  // csservout
     "zelcs_csservout_bytes_per_second",    "bytes_per_second",   kBitsToBytes,
     "Sent to clients (data read by clients), in bytes per second."},
    {"chunk header bytes read",                  "B/s",  // hdrbytesr
     "zelcs_hdrbytesr_bytes_per_second",    "bytes_per_second",   1,
     "Read from chunk headers, in bytes per second."},
    {"chunk header bytes written",               "B/s",  // hdrbytesw
     "zelcs_hdrbytesw_bytes_per_second",    "bytes_per_second",   1,
     "Written to chunk headers, in bytes per second."},
    {"chunk header reads (disk operations)",     "/min",  // hdrllopr
     "zelcs_hdrllopr_per_second",           "per_second",         kPerMinute,
     "Low-level read operations on chunk headers, per second."},
    {"chunk header writes (disk operations)",    "/min",  // hdrllopw
     "zelcs_hdrllopw_per_second",           "per_second",         kPerMinute,
     "Low-level write operations on chunk headers, per second."},
    {"data bytes read",                          "B/s",  // databytesr
     "zelcs_databytesr_bytes_per_second",   "bytes_per_second",   1,
     "Read from chunk data, in bytes per second."},
    {"data bytes written",                       "B/s",  // databytesw
     "zelcs_databytesw_bytes_per_second",   "bytes_per_second",   1,
     "Written to chunk data, in bytes per second."},
    {"data reads (disk operations)",             "/min",  // datallopr
     "zelcs_datallopr_per_second",          "per_second",         kPerMinute,
     "Low-level read operations on chunk data, per second."},
    {"data writes (disk operations)",            "/min",  // datallopw
     "zelcs_datallopw_per_second",          "per_second",         kPerMinute,
     "Low-level write operations on chunk data, per second."},
    {"read requests",                            "/min",  // hlopr
     "zelcs_hlopr_per_second",              "per_second",         kPerMinute,
     "High-level read operations (client read requests), per second."},
    {"write requests",                           "/min",  // hlopw
     "zelcs_hlopw_per_second",              "per_second",         kPerMinute,
     "High-level write operations (client write requests), per second."},
    {"time spent reading",                       "busy/1000",  // rtime
     "zelcs_rtime_ratio",                   "ratio",              kBusy,
     "Time spent in disk reads, as a ratio of the time (1 is one disk reading all the time)."},
    {"time spent writing",                       "busy/1000",  // wtime
     "zelcs_wtime_ratio",                   "ratio",              kBusy,
     "Time spent in disk writes, as a ratio of the time (1 is one disk writing all the time)."},
    {"chunks replicated",                        "/min",  // repl
     "zelcs_repl_per_second",               "per_second",         kPerMinute,
     "Chunks replicated to this server, per second."},
    {"chunks created",                           "/min",  // create
     "zelcs_create_per_second",             "per_second",         kPerMinute,
     "Chunks created, per second."},
    {"chunks deleted",                           "/min",  // delete
     "zelcs_delete_per_second",             "per_second",         kPerMinute,
     "Chunks deleted, per second."},
    {"chunk version changes",                    "/min",  // version
     "zelcs_version_per_second",            "per_second",         kPerMinute,
     "Chunk version changes, per second."},
    {"chunks duplicated",                        "/min",  // duplicate
     "zelcs_duplicate_per_second",          "per_second",         kPerMinute,
     "Chunks duplicated under a new identity, per second."},
    {"chunks truncated",                         "/min",  // truncate
     "zelcs_truncate_per_second",           "per_second",         kPerMinute,
     "Chunks truncated, per second."},
    {"chunks duplicated and truncated",          "/min",  // duptrunc
     "zelcs_duptrunc_per_second",           "per_second",         kPerMinute,
     "Chunks duplicated and truncated in one operation, per second."},
    {"chunks tested",                            "/min",  // test
     "zelcs_test_per_second",               "per_second",         kPerMinute,
     "Chunks tested (data read back and checked), per second."},
    {"load",                                     "",  // load
     "zelcs_load",                          "",                   1,
     "Load of the chunk server: disk operations in progress."},
    {"resident memory",                          "B",  // memoryrss
     "zelcs_memoryrss_bytes",               "bytes",              1,
     "Resident memory of the chunk server process, in bytes."},
    {"virtual memory",                           "B",  // memoryvirt
     "zelcs_memoryvirt_bytes",              "bytes",              1,
     "Virtual memory of the chunk server process, in bytes."},
    {"chunks moved, low speed",                  "/min",  // movels
     "zelcs_movels_per_second",             "per_second",         kPerMinute,
     "Low-speed (background) chunk moves between disks, per second."},
    {"chunks moved, high speed",                 "/min",  // movehs
     "zelcs_movehs_per_second",             "per_second",         kPerMinute,
     "High-speed chunk moves between disks, per second."},
    {"other chunk changes",                      "/min",  // change
     "zelcs_change_per_second",             "per_second",         kPerMinute,
     "Chunk changes of other kinds, per second."},
    {"chunks split",                             "/min",  // split
     "zelcs_split_per_second",              "per_second",         kPerMinute,
     "Chunks split into parts, per second."},
    {"used space",                               "B",  // usedspace
     "zelcs_usedspace_bytes",               "bytes",              1,
     "Space used on the server's disks, in bytes."},
    {"total space",                              "B",  // totalspace
     "zelcs_totalspace_bytes",              "bytes",              1,
     "Total space of the server's disks, in bytes."},
    {"chunks",                                   "",  // chunkcount
     "zelcs_chunkcount",                    "",                   1,
     "Chunks stored."},
    {"used space on disks marked for removal",   "B",  // tdusedspace
     "zelcs_tdusedspace_bytes",             "bytes",              1,
     "Space used on disks marked for removal, in bytes."},
    {"total space on disks marked for removal",  "B",  // tdtotalspace
     "zelcs_tdtotalspace_bytes",            "bytes",              1,
     "Total space of disks marked for removal, in bytes."},
    {"chunks on disks marked for removal",       "",  // tdchunkcount
     "zelcs_tdchunkcount",                  "",                   1,
     "Chunks on disks marked for removal."},
    {"chunks kept as copies",                    "",  // copychunks
     "zelcs_copychunks",                    "",                   1,
     "Chunks stored as plain copies."},
    {"chunk parts, erasure code of 4",           "",  // ec4chunks
     "zelcs_ec4chunks",                     "",                   1,
     "Chunk parts stored with erasure coding of 4 data parts."},
    {"chunk parts, erasure code of 8",           "",  // ec8chunks
     "zelcs_ec8chunks",                     "",                   1,
     "Chunk parts stored with erasure coding of 8 data parts."},
    {"disks in good health",                     "",  // hddok
     "zelcs_hddok",                         "",                   1,
     "Disks in working order."},
    {"disks marked for removal",                 "",  // hddmfr
     "zelcs_hddmfr",                        "",                   1,
     "Disks marked for removal."},
    {"damaged disks",                            "",  // hdddmg
     "zelcs_hdddmg",                        "",                   1,
     "Damaged disks."},
    // Recorded in thousandths of a percentage point, printed divided by 1000: percentage points.
    {"difference of disk usage",                 "%",  // udiff
     "zelcs_udiff_ratio",                   "ratio",              kPercent,
     "Usage difference between the fullest and the emptiest disk, as a ratio (0.01 is one percentage point)."},
    {nullptr,                                   nullptr,
     nullptr,                               nullptr,              0,
     nullptr},
};

const ChartText kChartTexts[] = {
    {"processor use",         "%",     {"user", "system", nullptr}},  // cpu
    {"network traffic in",    "bit/s", {"replication", "clients", nullptr}},  // bwin
    {"network traffic out",   "bit/s", {"replication", "clients", nullptr}},  // bwout
    {"bytes read from disks", "B/s",   {"chunk headers", "data", nullptr}},  // hddread
    {"bytes written to disks", "B/s",  {"chunk headers", "data", nullptr}},  // hddwrite
    {"disk reads",            "/min",  {"chunk headers", "data", nullptr}},  // hddopsr
    {"disk writes",           "/min",  {"chunk headers", "data", nullptr}},  // hddopsw
    {"memory",                "B",     {"virtual beyond resident", "resident", nullptr}},  // mem
    {"chunks moved",          "/min",  {"low speed", "high speed", nullptr}},  // move
    {"disk space",            "B",     {"free", "used", nullptr}},  // space
    {"chunks",                "",      {"copies", "erasure code of 4", "erasure code of 8"}},  // chunks
    {"disks",                 "",      {"good", "marked for removal", "damaged"}},  // hddcnt
    {nullptr,                 nullptr, {nullptr, nullptr, nullptr}},
};
// clang-format on

namespace {

template <typename T>
const T *entry(const T *table, int32_t index) {
    if (index < 0) return nullptr;
    for (int32_t i = 0; table[i].title != nullptr; i++) {
        if (i == index) return &table[i];
    }
    return nullptr;
}

// Title and unit of a chart type (0..47 or 100 + k), both null for a type the tables lack.
std::pair<const char *, const char *> texts_of(int32_t type) {
    if (type >= 100) {
        const ChartText *c = entry(kChartTexts, type - 100);
        return c != nullptr ? std::pair(c->title, c->unit)
                            : std::pair<const char *, const char *>();
    }
    const FieldText *f = entry(kFieldTexts, type);
    return f != nullptr ? std::pair(f->title, f->unit) : std::pair<const char *, const char *>();
}

}  // namespace

const char *field_title(int32_t type) {
    return texts_of(type).first;
}

const char *field_unit(int32_t type) {
    return texts_of(type).second;
}

Shown field_shown(int32_t type) {
    const char *unit = field_unit(type);
    if (unit == nullptr) return {"", 1};
    // Printed in thousandths of the time busy (0.001: busy all the time): shown as a share.
    if (strcmp(unit, "busy/1000") == 0) return {"%", 1e5};
    return {unit, 1};
}

std::string metric_help(int32_t stat) {
    const FieldText *f = entry(kFieldTexts, stat);
    if (f == nullptr) return "";
    // Summed statistics (mode 0) are averages over the slot, levels the largest value in it.
    return std::string(f->help) +
           (statsdump_statdefs[stat].mode == 0
                ? " The average of each slot (label resolution): a gauge, so average it over time "
                  "with avg_over_time(), not rate()."
                : " The largest value seen in each slot (label resolution).");
}

}  // namespace statsweb
