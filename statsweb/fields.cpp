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
    // name          title                                      unit
    //               metric                                 metric_unit           factor
    //               help
    {"ucpu",         "processor use, user",                      "%",
                     "zelcs_ucpu_ratio",                    "ratio",              kPercent,
                     "Processor time of the chunk server in user mode, as a ratio of one core (1 is one core fully used)."},
    {"scpu",         "processor use, system",                    "%",
                     "zelcs_scpu_ratio",                    "ratio",              kPercent,
                     "Processor time of the chunk server in system (kernel) mode, as a ratio of one core (1 is one core fully used)."},
    {"masterin",     "traffic from the master",                  "bit/s",
                     "zelcs_masterin_bytes_per_second",     "bytes_per_second",   kBitsToBytes,
                     "Received from the master server, in bytes per second."},
    {"masterout",    "traffic to the master",                    "bit/s",
                     "zelcs_masterout_bytes_per_second",    "bytes_per_second",   kBitsToBytes,
                     "Sent to the master server, in bytes per second."},
    {"csrepin",      "replication traffic in",                   "bit/s",
                     "zelcs_csrepin_bytes_per_second",      "bytes_per_second",   kBitsToBytes,
                     "Received from other chunk servers (replication), in bytes per second."},
    {"csrepout",     "replication traffic out",                  "bit/s",
                     "zelcs_csrepout_bytes_per_second",     "bytes_per_second",   kBitsToBytes,
                     "Sent to other chunk servers (replication), in bytes per second."},
    {"csservin",     "client traffic in",                        "bit/s",
                     "zelcs_csservin_bytes_per_second",     "bytes_per_second",   kBitsToBytes,
                     "Received from clients (data written by clients), in bytes per second."},
    {"csservout",    "client traffic out",                       "bit/s",
                     "zelcs_csservout_bytes_per_second",    "bytes_per_second",   kBitsToBytes,
                     "Sent to clients (data read by clients), in bytes per second."},
    {"hdrbytesr",    "chunk header bytes read",                  "B/s",
                     "zelcs_hdrbytesr_bytes_per_second",    "bytes_per_second",   1,
                     "Read from chunk headers, in bytes per second."},
    {"hdrbytesw",    "chunk header bytes written",               "B/s",
                     "zelcs_hdrbytesw_bytes_per_second",    "bytes_per_second",   1,
                     "Written to chunk headers, in bytes per second."},
    {"hdrllopr",     "chunk header reads (disk operations)",     "/min",
                     "zelcs_hdrllopr_per_second",           "per_second",         kPerMinute,
                     "Low-level read operations on chunk headers, per second."},
    {"hdrllopw",     "chunk header writes (disk operations)",    "/min",
                     "zelcs_hdrllopw_per_second",           "per_second",         kPerMinute,
                     "Low-level write operations on chunk headers, per second."},
    {"databytesr",   "data bytes read",                          "B/s",
                     "zelcs_databytesr_bytes_per_second",   "bytes_per_second",   1,
                     "Read from chunk data, in bytes per second."},
    {"databytesw",   "data bytes written",                       "B/s",
                     "zelcs_databytesw_bytes_per_second",   "bytes_per_second",   1,
                     "Written to chunk data, in bytes per second."},
    {"datallopr",    "data reads (disk operations)",             "/min",
                     "zelcs_datallopr_per_second",          "per_second",         kPerMinute,
                     "Low-level read operations on chunk data, per second."},
    {"datallopw",    "data writes (disk operations)",            "/min",
                     "zelcs_datallopw_per_second",          "per_second",         kPerMinute,
                     "Low-level write operations on chunk data, per second."},
    {"hlopr",        "read requests",                            "/min",
                     "zelcs_hlopr_per_second",              "per_second",         kPerMinute,
                     "High-level read operations (client read requests), per second."},
    {"hlopw",        "write requests",                           "/min",
                     "zelcs_hlopw_per_second",              "per_second",         kPerMinute,
                     "High-level write operations (client write requests), per second."},
    {"rtime",        "time spent reading",                       "busy/1000",
                     "zelcs_rtime_ratio",                   "ratio",              kBusy,
                     "Time spent in disk reads, as a ratio of the time (1 is one disk reading all the time)."},
    {"wtime",        "time spent writing",                       "busy/1000",
                     "zelcs_wtime_ratio",                   "ratio",              kBusy,
                     "Time spent in disk writes, as a ratio of the time (1 is one disk writing all the time)."},
    {"repl",         "chunks replicated",                        "/min",
                     "zelcs_repl_per_second",               "per_second",         kPerMinute,
                     "Chunks replicated to this server, per second."},
    {"create",       "chunks created",                           "/min",
                     "zelcs_create_per_second",             "per_second",         kPerMinute,
                     "Chunks created, per second."},
    {"delete",       "chunks deleted",                           "/min",
                     "zelcs_delete_per_second",             "per_second",         kPerMinute,
                     "Chunks deleted, per second."},
    {"version",      "chunk version changes",                    "/min",
                     "zelcs_version_per_second",            "per_second",         kPerMinute,
                     "Chunk version changes, per second."},
    {"duplicate",    "chunks duplicated",                        "/min",
                     "zelcs_duplicate_per_second",          "per_second",         kPerMinute,
                     "Chunks duplicated under a new identity, per second."},
    {"truncate",     "chunks truncated",                         "/min",
                     "zelcs_truncate_per_second",           "per_second",         kPerMinute,
                     "Chunks truncated, per second."},
    {"duptrunc",     "chunks duplicated and truncated",          "/min",
                     "zelcs_duptrunc_per_second",           "per_second",         kPerMinute,
                     "Chunks duplicated and truncated in one operation, per second."},
    {"test",         "chunks tested",                            "/min",
                     "zelcs_test_per_second",               "per_second",         kPerMinute,
                     "Chunks tested (data read back and checked), per second."},
    {"load",         "load",                                     "",
                     "zelcs_load",                          "",                   1,
                     "Load of the chunk server: disk operations in progress."},
    {"memoryrss",    "resident memory",                          "B",
                     "zelcs_memoryrss_bytes",               "bytes",              1,
                     "Resident memory of the chunk server process, in bytes."},
    {"memoryvirt",   "virtual memory",                           "B",
                     "zelcs_memoryvirt_bytes",              "bytes",              1,
                     "Virtual memory of the chunk server process, in bytes."},
    {"movels",       "chunks moved, low speed",                  "/min",
                     "zelcs_movels_per_second",             "per_second",         kPerMinute,
                     "Low-speed (background) chunk moves between disks, per second."},
    {"movehs",       "chunks moved, high speed",                 "/min",
                     "zelcs_movehs_per_second",             "per_second",         kPerMinute,
                     "High-speed chunk moves between disks, per second."},
    {"change",       "other chunk changes",                      "/min",
                     "zelcs_change_per_second",             "per_second",         kPerMinute,
                     "Chunk changes of other kinds, per second."},
    {"split",        "chunks split",                             "/min",
                     "zelcs_split_per_second",              "per_second",         kPerMinute,
                     "Chunks split into parts, per second."},
    {"usedspace",    "used space",                               "B",
                     "zelcs_usedspace_bytes",               "bytes",              1,
                     "Space used on the server's disks, in bytes."},
    {"totalspace",   "total space",                              "B",
                     "zelcs_totalspace_bytes",              "bytes",              1,
                     "Total space of the server's disks, in bytes."},
    {"chunkcount",   "chunks",                                   "",
                     "zelcs_chunkcount",                    "",                   1,
                     "Chunks stored."},
    {"tdusedspace",  "used space on disks marked for removal",   "B",
                     "zelcs_tdusedspace_bytes",             "bytes",              1,
                     "Space used on disks marked for removal, in bytes."},
    {"tdtotalspace", "total space on disks marked for removal",  "B",
                     "zelcs_tdtotalspace_bytes",            "bytes",              1,
                     "Total space of disks marked for removal, in bytes."},
    {"tdchunkcount", "chunks on disks marked for removal",       "",
                     "zelcs_tdchunkcount",                  "",                   1,
                     "Chunks on disks marked for removal."},
    {"copychunks",   "chunks kept as copies",                    "",
                     "zelcs_copychunks",                    "",                   1,
                     "Chunks stored as plain copies."},
    {"ec4chunks",    "chunk parts, erasure code of 4",           "",
                     "zelcs_ec4chunks",                     "",                   1,
                     "Chunk parts stored with erasure coding of 4 data parts."},
    {"ec8chunks",    "chunk parts, erasure code of 8",           "",
                     "zelcs_ec8chunks",                     "",                   1,
                     "Chunk parts stored with erasure coding of 8 data parts."},
    {"hddok",        "disks in good health",                     "",
                     "zelcs_hddok",                         "",                   1,
                     "Disks in working order."},
    {"hddmfr",       "disks marked for removal",                 "",
                     "zelcs_hddmfr",                        "",                   1,
                     "Disks marked for removal."},
    {"hdddmg",       "damaged disks",                            "",
                     "zelcs_hdddmg",                        "",                   1,
                     "Damaged disks."},
    // Recorded in thousandths of a percentage point, printed divided by 1000: percentage points.
    {"udiff",        "difference of disk usage",                 "%",
                     "zelcs_udiff_ratio",                   "ratio",              kPercent,
                     "Usage difference between the fullest and the emptiest disk, as a ratio (0.01 is one percentage point)."},
    {nullptr,        nullptr,                                   nullptr,
                     nullptr,                               nullptr,              0,
                     nullptr},
};

const ChartText kChartTexts[] = {
    {"cpu",      "processor use",         "%",     {"user", "system", nullptr}},
    {"bwin",     "network traffic in",    "bit/s", {"replication", "clients", nullptr}},
    {"bwout",    "network traffic out",   "bit/s", {"replication", "clients", nullptr}},
    {"hddread",  "bytes read from disks", "B/s",   {"chunk headers", "data", nullptr}},
    {"hddwrite", "bytes written to disks", "B/s",  {"chunk headers", "data", nullptr}},
    {"hddopsr",  "disk reads",            "/min",  {"chunk headers", "data", nullptr}},
    {"hddopsw",  "disk writes",           "/min",  {"chunk headers", "data", nullptr}},
    {"mem",      "memory",                "B",     {"virtual beyond resident", "resident", nullptr}},
    {"move",     "chunks moved",          "/min",  {"low speed", "high speed", nullptr}},
    {"space",    "disk space",            "B",     {"free", "used", nullptr}},
    {"chunks",   "chunks",                "",      {"copies", "erasure code of 4", "erasure code of 8"}},
    {"hddcnt",   "disks",                 "",      {"good", "marked for removal", "damaged"}},
    {nullptr,    nullptr,                 nullptr, {nullptr, nullptr, nullptr}},
};
// clang-format on

namespace {

template <typename T>
const T *entry(const T *table, int32_t index) {
    if (index < 0) return nullptr;
    for (int32_t i = 0; table[i].name != nullptr; i++) {
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
