#include "fields.h"

namespace statsweb {

// clang-format off
const FieldText kFieldTexts[] = {
    {"ucpu",         "processor use, user",                     "%"},
    {"scpu",         "processor use, system",                   "%"},
    {"masterin",     "traffic from the master",                 "bit/s"},
    {"masterout",    "traffic to the master",                   "bit/s"},
    {"csrepin",      "replication traffic in",                  "bit/s"},
    {"csrepout",     "replication traffic out",                 "bit/s"},
    {"csservin",     "client traffic in",                       "bit/s"},
    {"csservout",    "client traffic out",                      "bit/s"},
    {"hdrbytesr",    "chunk header bytes read",                 "B/s"},
    {"hdrbytesw",    "chunk header bytes written",              "B/s"},
    {"hdrllopr",     "chunk header reads (disk operations)",    "/min"},
    {"hdrllopw",     "chunk header writes (disk operations)",   "/min"},
    {"databytesr",   "data bytes read",                         "B/s"},
    {"databytesw",   "data bytes written",                      "B/s"},
    {"datallopr",    "data reads (disk operations)",            "/min"},
    {"datallopw",    "data writes (disk operations)",           "/min"},
    {"hlopr",        "read requests",                           "/min"},
    {"hlopw",        "write requests",                          "/min"},
    {"rtime",        "time spent reading (0.001 = always busy)", "busy/1000"},
    {"wtime",        "time spent writing (0.001 = always busy)", "busy/1000"},
    {"repl",         "chunks replicated",                       "/min"},
    {"create",       "chunks created",                          "/min"},
    {"delete",       "chunks deleted",                          "/min"},
    {"version",      "chunk version changes",                   "/min"},
    {"duplicate",    "chunks duplicated",                       "/min"},
    {"truncate",     "chunks truncated",                        "/min"},
    {"duptrunc",     "chunks duplicated and truncated",         "/min"},
    {"test",         "chunks tested",                           "/min"},
    {"load",         "load",                                    ""},
    {"memoryrss",    "resident memory",                         "B"},
    {"memoryvirt",   "virtual memory",                          "B"},
    {"movels",       "chunks moved, low speed",                 "/min"},
    {"movehs",       "chunks moved, high speed",                "/min"},
    {"change",       "chunk format changes",                    "/min"},
    {"split",        "chunks split",                            "/min"},
    {"usedspace",    "used space",                              "B"},
    {"totalspace",   "total space",                             "B"},
    {"chunkcount",   "chunks",                                  ""},
    {"tdusedspace",  "used space on disks marked for removal",  "B"},
    {"tdtotalspace", "total space on disks marked for removal", "B"},
    {"tdchunkcount", "chunks on disks marked for removal",      ""},
    {"copychunks",   "chunks kept as copies",                   ""},
    {"ec4chunks",    "chunk parts, erasure code of 4",          ""},
    {"ec8chunks",    "chunk parts, erasure code of 8",          ""},
    {"hddok",        "disks in good health",                    ""},
    {"hddmfr",       "disks marked for removal",                ""},
    {"hdddmg",       "damaged disks",                           ""},
    {"udiff",        "difference of disk usage",                "%"},
    {nullptr,        nullptr,                                   nullptr},
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

}  // namespace

const char *field_title(int32_t type) {
    if (type >= 100) {
        const ChartText *c = entry(kChartTexts, type - 100);
        return c != nullptr ? c->title : nullptr;
    }
    const FieldText *f = entry(kFieldTexts, type);
    return f != nullptr ? f->title : nullptr;
}

const char *field_unit(int32_t type) {
    if (type >= 100) {
        const ChartText *c = entry(kChartTexts, type - 100);
        return c != nullptr ? c->unit : nullptr;
    }
    const FieldText *f = entry(kFieldTexts, type);
    return f != nullptr ? f->unit : nullptr;
}

}  // namespace statsweb
