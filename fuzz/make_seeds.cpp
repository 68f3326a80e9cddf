// SPDX-License-Identifier: Apache-2.0
// Writes the seed corpora of the fuzz targets: make_seeds OUTDIR creates OUTDIR/datafile,
// OUTDIR/command, OUTDIR/calc, OUTDIR/export, OUTDIR/ondemand and OUTDIR/statsweb and fills them
// with valid files of several ring lengths and their truncations, hostile headers and names,
// command lines, calc programs, export requests and web requests. The seeds are made here, from
// the layouts, not collected anywhere.
#include <sys/stat.h>

#include <string>
#include <vector>

#include "fuzz_util.h"
#include "statsdump.h"

using namespace zelfuzz;

namespace {

struct Corpus {
    std::string dir;
    int count = 0;
    void add(const std::string &bytes) {
        char name[32];
        snprintf(name, sizeof name, "/seed_%03d", count++);
        put_file(dir + name, bytes.data(), bytes.size());
    }
};

std::string bytes(std::initializer_list<int> list) {
    std::string out;
    for (int b : list) out.push_back((char)(uint8_t)b);
    return out;
}

std::string le32(uint32_t v) {
    return bytes({(int)(v & 0xFF), (int)(v >> 8 & 0xFF), (int)(v >> 16 & 0xFF), (int)(v >> 24)});
}

// Data files of the small catalogue: valid ones of several ring lengths, their truncations,
// hostile headers and names.
std::vector<std::string> small_files() {
    std::vector<std::string> files;
    for (uint32_t leng : {0u, 1u, 2u, 16u, 100u}) {
        files.push_back(data_file(kSmallNames, leng, kNewestMinute));
    }
    const std::string full = data_file(kSmallNames, 16, kNewestMinute);
    const size_t rec = 100 + 32 * 16;
    for (size_t cut : {0ul, 2ul, 4ul, 6ul, 8ul, 12ul, 15ul, 16ul, 66ul, 116ul, 116ul + 64,
                       116ul + 128 + 64, 16ul + rec, 16ul + 2 * rec, full.size() - 1}) {
        files.push_back(full.substr(0, cut));
    }
    files.push_back(file_header(16, 5, kNewestMinute, 0x00000100) + full.substr(16));  // LE tag
    files.push_back(file_header(0xFFFFFFFFu, 1, kNewestMinute) + file_record("ucpu", 16, 0));
    files.push_back(file_header(0xFFFFFFFFu, 2, kNewestMinute) + file_record("zzz", 16, 0) +
                    file_record("ucpu", 16, 1));
    files.push_back(file_header(8192, 1, kNewestMinute) + file_record("ucpu", 16, 0));
    files.push_back(file_header(4097, 1, kNewestMinute) + file_record("ucpu", 16, 0));
    files.push_back(file_header(16, 0xFFFFFFFFu, kNewestMinute) + file_record("scpu", 16, 0));
    files.push_back(file_header(0, 0xFFFFFFFFu, kNewestMinute) + file_record("scpu", 0, 0));
    files.push_back(file_header(16, 0, kNewestMinute));
    files.push_back(data_file(kSmallNames, 16, 0));
    files.push_back(data_file(kSmallNames, 16, 0xFFFFFFFFu));
    files.push_back(file_header(16, 3, kNewestMinute) + file_record(std::string(100, 'u'), 16, 0) +
                    file_record("ucpu", 16, 1) + file_record("ucpu", 16, 2));
    files.push_back(file_header(16, 2, kNewestMinute) + file_record("UCPU", 16, 0) +
                    file_record(std::string("load\0junk", 9), 16, 1));
    files.push_back(data_file(kSmallNames, 16, kNewestMinute) + "trailing bytes");
    return files;
}

void datafile_seeds(Corpus &c) {
    // Control bytes: the small catalogue's kept store in tool mode, in server mode, drawing,
    // save and load; a fresh small store in tool mode; the real catalogue in both modes.
    const std::vector<std::string> prefixes = {bytes({0x02, 0x21}), bytes({0x0A, 0x11}),
                                               bytes({0x22, 0x52}), bytes({0x4A, 0x03}),
                                               bytes({0x3A, 0xC7}), bytes({0x01, 0x13})};
    const std::vector<std::string> files = small_files();
    for (const auto &f : files) {
        for (const auto &p : prefixes) c.add(p + f);
    }
    // The real catalogue, two entries per ring.
    std::vector<std::string> names;
    for (uint32_t i = 0; i < 48; i++) names.push_back(statsdump_statdefs[i].name);
    const std::string real = data_file(names, 2, kNewestMinute);
    c.add(bytes({0x00, 0x00}) + real);
    c.add(bytes({0x08, 0x21}) + real);
    c.add(bytes({0x60, 0x35}) + real);
}

void ondemand_seeds(Corpus &c) {
    // Control bytes: export widths, summary lengths, queries in both orders (see
    // ondemand_fuzz.cpp).
    for (const auto &f : small_files()) {
        for (int ctl : {0x00, 0x13, 0x7F, 0xF5}) c.add(bytes({ctl}) + f);
    }
}

void command_seeds(Corpus &c) {
    // With "-i d.zel" and without '*' (0x11), with both (0x10), without "-i" (0x01).
    const std::vector<std::pair<int, std::vector<std::string>>> lines = {
        {0x11, {"-f", "ucpu"}},
        {0x11, {"-f", "ucpu,cpu", "-r", "1", "-s", ",", "-d"}},
        {0x10, {"-f", "*", "-H"}},
        {0x11, {"-f", "cpu ucpu;mem", "-h", "-r", "3"}},
        {0x11, {"-p", "out", "-f", "cpu", "-x", "150", "-y", "120"}},
        {0x11, {"-p", "a.b.png", "-f", "ucpu;mem", "-x", "0", "-y", "0"}},
        {0x11, {"-p", ".png", "-f", "hddcnt", "-x", "abc", "-y", "-5", "-r", "2"}},
        {0x11, {"-f", "ucpu", "-i", "t.zel"}},
        {0x11, {"-i", "e", "-f", "ucpu"}},
        {0x11, {"-i", "dir", "-f", "load"}},
        {0x11, {"-i", "missing", "-f", "ucpu"}},
        {0x11, {"-r", "4", "-f", "ucpu"}},
        {0x11, {"-r", "", "-f", "ucpu"}},
        {0x11, {"-s", "", "-f", "ucpu"}},
        {0x11, {"-s", "ab", "-f", "ucpu"}},
        {0x11, {"-q"}},
        {0x11, {"-?"}},
        {0x11, {"-hHd", "-f", "hddcnt,udiff", "-r3"}},
        {0x11, {}},
        {0x11, {"-f", "UCPU"}},
        {0x11, {"-f", ",;, ;"}},
        {0x11, {"-f", "ucpu", "-f", "ucpu;cpu", "-f", "nope"}},
        {0x01, {"-f", "ucpu"}},
        {0x11, {"-dfmem", "-sX", "-r0", "-ie"}},
    };
    for (const auto &[ctl, words] : lines) {
        std::string in(1, (char)ctl);
        for (size_t i = 0; i < words.size(); i++) {
            if (i > 0) in.push_back('\0');
            in += words[i];
        }
        c.add(in);
    }
}

// Token codes of the calc target: the index into its token table.
enum Code {
    S0 = 0,
    S1,
    S2,
    S3,
    S4,
    S7,
    S9,
    CONST,
    ADD,
    SUB,
    MIN,
    MAX,
    MUL,
    DIV,
    NEG,
    END,
    END2,
    JUNK,
    LISTEND
};

std::string konst(uint32_t v) {
    return bytes({CONST}) + le32(v);
}

std::string entry(uint32_t c1, uint32_t c2, uint32_t c3, int mode, int percent, int scale, int mul,
                  int div, int named) {
    return le32(c1) + le32(c2) + le32(c3) +
           bytes({mode, percent, scale, mul & 0xFF, mul >> 8, div & 0xFF, div >> 8, named});
}

void calc_seeds(Corpus &c) {
    const std::string small_entries = entry(1, 2, 0, 0, 1, 0, 100, 60, 1) +
                                      entry(1000, 4, 0, 1, 0, 2, 1, 1, 1) +
                                      entry(3, 1001, 5, 1, 0, 5, 7, 3, 0);
    const std::string small_progs = konst(0) + bytes({S4, S3, SUB, MAX, END}) +
                                    bytes({S0, S1, ADD}) + konst(3) + bytes({DIV, NEG, END});
    const std::vector<std::string> progs = {
        small_progs,
        bytes({END}),
        konst(5) + bytes({NEG, END}),
        konst(7) + konst(0) + bytes({DIV, END}),
        konst(7) + konst(2) + bytes({DIV, END}),
        konst(7) + bytes({ADD, END}),
        konst(0xFFFFFFFFu) + konst(0xFFFFFFFFu) + bytes({MUL}) + konst(0xFFFFFFFFu) +
            konst(0xFFFFFFFFu) + bytes({MUL, ADD, END}),
        konst(5) + konst(1) + bytes({NEG, DIV, END}),
        bytes({S0, S1, S2, S3, S4, MUL, MUL, MUL, MUL, END, S9, S7, JUNK, SUB, END}),
        std::string(60, (char)S2) + bytes({END}) + std::string(10, (char)ADD) + bytes({END}),
        bytes({NEG, SUB, END, LISTEND, S0, END}),
        bytes({0xF0}) + le32(1999) + bytes({0xF1}) + le32(4) + bytes({0xF2}) + le32(0xFFFFFFFFu),
        konst(1999) + bytes({END}) + konst(2000) + bytes({END}),
    };
    for (int ctl : {0x00, 0x03, 0x16, 0x2F, 0xB2, 0xF3}) {
        for (const auto &p : progs) c.add(bytes({ctl, 3}) + small_entries + p);
    }
    // Gapped, invalid and boundary sources.
    const std::string odd_entries =
        entry(1, 0, 2, 0, 0, 9, 1, 1, 0) + entry(0, 1, 2, 1, 1, 1, 65535, 1, 1) +
        entry(6, 999, 1002, 0, 0, 3, 1, 65535, 1) + entry(1001, 1001, 1001, 2, 0, 4, 3, 7, 0) +
        entry(5, 1000, 0xFFFFFFFFu, 0, 0, 0, 0, 1, 1) + entry(1, 1, 1, 0, 0, 2, 1, 0, 1);
    for (int ctl : {0x01, 0x12, 0xA3, 0xE7}) {
        c.add(bytes({ctl, 6}) + odd_entries + small_progs);
        c.add(bytes({ctl, 5}) + odd_entries.substr(0, 5 * 20) + bytes({END}));
    }
}

std::string request(uint32_t number, uint32_t maxentries, int multimode, int flags) {
    return le32(number) + le32(maxentries) + bytes({multimode, flags});
}

void export_seeds(Corpus &c) {
    c.add(request(0, 4096, 0, 0) + request(1, 10, 1, 1) + request(1009, 100, 1, 3));
    c.add(request(sid("TCPU"), 5, 1, 1) + request(sid("UCPu"), 5000, 0, 2));
    c.add(request(479, 4097, 1, 0) + request(1119, 0, 1, 0) + request(1107, 1, 7, 2));
    c.add(request(sid("EC4C"), 7, 1, 0) + request(sid("ec4c"), 7, 1, 2) +
          request(sid("UCPu") | 0x20000000u, 3, 1, 0));
    c.add(request(28, 4096, 0, 4) + request(29, 1, 0, 4) + request(0, 0, 0, 4) +
          request(47, 4097, 0, 4));
    c.add(request(0xFFFFFFFFu, 0xFFFFFFFFu, 0xFF, 0xFF) + request(0x00FFFFFFu, 5, 1, 1) +
          request(0x01000000u, 5, 1, 1) + request(480, 3, 0, 0) + request(1120, 3, 1, 0) +
          request(99 * 10 + 9, 3, 1, 0) + request(9, 3, 0, 0));
}

// Web requests: control bytes (method, endpoint, picture size, file state), then the Accept
// line when asked for, then one "name=value" per line.
void statsweb_seeds(Corpus &c) {
    enum { GET = 0, HEAD = 5, POST = 6, ACCEPT = 0x80, RAWPATH = 0x40, STAR = 0x20 };
    enum { PAGE = 0, CHART, TABLE, DATA, METRICS, OPENMETRICS, STATUS, NOTHING };
    const int small = 3 << 3, reload = 0xC0;
    const std::vector<std::pair<std::pair<int, int>, std::vector<std::string>>> reqs = {
        {{GET, PAGE}, {}},
        {{GET, PAGE}, {"f=ucpu,cpu", "r=2"}},
        {{GET, CHART | small}, {"f=cpu"}},
        {{HEAD, CHART | small}, {"f=ucpu", "r=3"}},
        {{GET, CHART}, {"f=mem", "r=1", "x=150", "y=120"}},
        {{GET, CHART | small}, {"f=nosuch"}},
        {{GET, CHART | small}, {"f=cpu", "x=abc"}},
        {{GET, TABLE}, {"f=ucpu,scpu", "r=1", "d=1"}},
        {{GET, TABLE}, {"f=cpu;mem udiff", "H=1", "s=,"}},
        {{GET, TABLE}, {"f=hddok", "h=1", "r=3", "format=json"}},
        {{GET | STAR, TABLE}, {"f=*", "r=3"}},
        {{GET, TABLE}, {"f=", "r=9"}},
        {{GET, TABLE}, {"f=ucpu", "f=cpu", "f=ucpu", "unknown=1"}},
        {{GET, DATA}, {"n=0", "m=16", "multi=0"}},
        {{GET, DATA}, {"n=1001", "m=5000", "multi=1"}},
        {{GET, DATA}, {"n=UCPu", "m=3", "multi=1"}},
        {{GET, DATA}, {"n=1119", "m=2", "multi=1"}},
        {{GET, DATA}, {"n=4294967295", "m=x"}},
        {{GET | ACCEPT, METRICS}, {"application/openmetrics-text; version=1.0.0"}},
        {{GET, METRICS}, {}},
        {{GET, OPENMETRICS}, {"r=0"}},
        {{GET, OPENMETRICS}, {"r=3"}},
        {{GET, STATUS}, {}},
        {{POST, STATUS}, {}},
        {{GET, NOTHING}, {}},
        {{GET | RAWPATH, PAGE}, {"/chart/../table", "f=ucpu"}},
        {{GET | (1 << 3), STATUS | reload}, {}},
        {{GET | (2 << 3), TABLE | reload}, {"f=ucpu"}},
        {{GET, STATUS | reload}, {}},
    };
    for (const auto &[ctl, lines] : reqs) {
        std::string in = bytes({ctl.first, ctl.second});
        for (size_t i = 0; i < lines.size(); i++) in += (i ? "\n" : "") + lines[i];
        c.add(in);
    }
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s OUTDIR\n", argv[0]);
        return 2;
    }
    const std::string out = argv[1];
    mkdir(out.c_str(), 0755);
    struct Target {
        const char *name;
        void (*make)(Corpus &);
    };
    const Target targets[] = {{"datafile", datafile_seeds},
                              {"command", command_seeds},
                              {"calc", calc_seeds},
                              {"export", export_seeds},
                              {"ondemand", ondemand_seeds},
                              {"statsweb", statsweb_seeds}};
    for (const auto &t : targets) {
        Corpus c;
        c.dir = out + "/" + t.name;
        mkdir(c.dir.c_str(), 0755);
        t.make(c);
        printf("%s: %d seeds\n", t.name, c.count);
    }
    return 0;
}
