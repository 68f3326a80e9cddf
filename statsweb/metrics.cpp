// Prometheus text exposition and OpenMetrics text of the base statistics: one gauge family
// zelcs_<name> per statistic, its value the table's plain value.
#include "metrics.h"

#include <inttypes.h>
#include <stdio.h>
#include <string.h>

#include "statsdump.h"
#include "text.h"

namespace statsweb {

namespace {

// What each base statistic measures and in which unit, by catalogue name. The values are the
// table's: per minute values, in ranges 1..3 the average minute of the slot; levels are the
// largest value seen in the slot.
struct Help {
    const char *name;
    const char *text;
};

// clang-format off
constexpr Help kHelp[] = {
    {"ucpu",         "Processor time of the chunk server in user mode, in percent of one core."},
    {"scpu",         "Processor time of the chunk server in system mode, in percent of one core."},
    {"masterin",     "Received from the master server, in bits per second."},
    {"masterout",    "Sent to the master server, in bits per second."},
    {"csrepin",      "Received from other chunk servers (replication), in bits per second."},
    {"csrepout",     "Sent to other chunk servers (replication), in bits per second."},
    {"csservin",     "Received from clients (data written by clients), in bits per second."},
    {"csservout",    "Sent to clients (data read by clients), in bits per second."},
    {"hdrbytesr",    "Read from chunk headers, in bytes per second."},
    {"hdrbytesw",    "Written to chunk headers, in bytes per second."},
    {"hdrllopr",     "Low-level read operations on chunk headers, per minute."},
    {"hdrllopw",     "Low-level write operations on chunk headers, per minute."},
    {"databytesr",   "Read from chunk data, in bytes per second."},
    {"databytesw",   "Written to chunk data, in bytes per second."},
    {"datallopr",    "Low-level read operations on chunk data, per minute."},
    {"datallopw",    "Low-level write operations on chunk data, per minute."},
    {"hlopr",        "High-level read operations (client read requests), per minute."},
    {"hlopw",        "High-level write operations (client write requests), per minute."},
    {"rtime",        "Time spent in disk reads, as a fraction of the minute divided by 1000 (a disk busy reading the whole minute shows 0.001)."},
    {"wtime",        "Time spent in disk writes, as a fraction of the minute divided by 1000 (a disk busy writing the whole minute shows 0.001)."},
    {"repl",         "Chunks replicated to this server, per minute."},
    {"create",       "Chunks created, per minute."},
    {"delete",       "Chunks deleted, per minute."},
    {"version",      "Chunk version changes, per minute."},
    {"duplicate",    "Chunks duplicated under a new identity, per minute."},
    {"truncate",     "Chunks truncated, per minute."},
    {"duptrunc",     "Chunks duplicated and truncated in one operation, per minute."},
    {"test",         "Chunks tested (data read back and checked), per minute."},
    {"load",         "Load of the chunk server: disk operations in progress, the largest count seen."},
    {"memoryrss",    "Resident memory of the chunk server process, in bytes, the largest seen."},
    {"memoryvirt",   "Virtual memory of the chunk server process, in bytes, the largest seen."},
    {"movels",       "Low-speed (background) chunk moves between disks, per minute."},
    {"movehs",       "High-speed chunk moves between disks, per minute."},
    {"change",       "Chunk changes of other kinds, per minute."},
    {"split",        "Chunks split into parts, per minute."},
    {"usedspace",    "Space used on the server's disks, in bytes, the largest seen."},
    {"totalspace",   "Total space of the server's disks, in bytes, the largest seen."},
    {"chunkcount",   "Chunks stored, a count, the largest seen."},
    {"tdusedspace",  "Space used on disks marked for removal, in bytes, the largest seen."},
    {"tdtotalspace", "Total space of disks marked for removal, in bytes, the largest seen."},
    {"tdchunkcount", "Chunks on disks marked for removal, a count, the largest seen."},
    {"copychunks",   "Chunks stored as plain copies, a count, the largest seen."},
    {"ec4chunks",    "Chunk parts stored with erasure coding of 4 data parts, a count, the largest seen."},
    {"ec8chunks",    "Chunk parts stored with erasure coding of 8 data parts, a count, the largest seen."},
    {"hddok",        "Disks in working order, a count, the largest seen."},
    {"hddmfr",       "Disks marked for removal, a count, the largest seen."},
    {"hdddmg",       "Damaged disks, a count, the largest seen."},
    {"udiff",        "Usage difference between the fullest and the emptiest disk, as a fraction (1 is 100 percent), the largest seen."},
};
// clang-format on

const char *help_of(const char *name) {
    for (const Help &h : kHelp) {
        if (strcmp(h.name, name) == 0) return h.text;
    }
    return "Chunk server statistic.";
}

void family_head(std::string &out, const char *name, const char *help) {
    out += "# HELP zelcs_";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE zelcs_";
    out += name;
    out += " gauge\n";
}

void put_i64(std::string &out, int64_t v) {
    char buf[32];
    const int n = snprintf(buf, sizeof buf, "%" PRId64, v);
    out.append(buf, size_t(n));
}

}  // namespace

std::string metrics_text(const PlainTable &t, bool openmetrics) {
    std::string out;
    out.reserve(16384);
    const uint32_t row = t.rows >= 2 ? t.rows - 2 : 0;
    for (uint32_t f = 0; f < t.fields && statsdump_statdefs[f].name != nullptr; f++) {
        const char *name = statsdump_statdefs[f].name;
        family_head(out, name, help_of(name));
        std::string_view v = t.rows >= 2 ? t.cell(row, f) : std::string_view();
        if (!v.empty()) {
            out += "zelcs_";
            out += name;
            out += ' ';
            out += v;
            out += '\n';
        }
    }
    if (t.rows >= 2) {
        out +=
            "# HELP zelcs_sample_timestamp_seconds Start of the minute the statistics describe "
            "(the newest complete minute of the data file), in seconds since 1970 UTC.\n"
            "# TYPE zelcs_sample_timestamp_seconds gauge\nzelcs_sample_timestamp_seconds ";
        put_i64(out, local_to_utc(t.timestamps[row]));
        out +=
            "\n# HELP zelcs_data_file_newest_minute_seconds Start of the newest minute of the "
            "data file, in seconds since 1970 UTC.\n"
            "# TYPE zelcs_data_file_newest_minute_seconds gauge\n"
            "zelcs_data_file_newest_minute_seconds ";
        put_i64(out, local_to_utc(t.timestamps[t.rows - 1]));
        out += '\n';
    }
    if (openmetrics) out += "# EOF\n";
    return out;
}

std::string openmetrics_history(const PlainTable &t) {
    // UTC time of each row, computed once for all families.
    std::vector<int64_t> utc(t.rows);
    for (uint32_t r = 0; r < t.rows; r++) utc[r] = local_to_utc(t.timestamps[r]);
    std::string out;
    out.reserve(t.text.size() + size_t(t.fields) * t.rows * 16);
    std::string prefix;
    for (uint32_t f = 0; f < t.fields && statsdump_statdefs[f].name != nullptr; f++) {
        const char *name = statsdump_statdefs[f].name;
        family_head(out, name, help_of(name));
        prefix = "zelcs_";
        prefix += name;
        prefix += ' ';
        bool any = false;
        int64_t last = 0;
        for (uint32_t r = 0; r < t.rows; r++) {
            std::string_view v = t.cell(r, f);
            // Samples of a family go forward in time; a slot whose instant is not later than
            // the one before (a local time that never occurred) is left out.
            if (v.empty() || (any && utc[r] <= last)) continue;
            out += prefix;
            out += v;
            out += ' ';
            put_i64(out, utc[r]);
            out += '\n';
            any = true;
            last = utc[r];
        }
    }
    out += "# EOF\n";
    return out;
}

}  // namespace statsweb
