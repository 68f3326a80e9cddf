// SPDX-License-Identifier: Apache-2.0
// Fuzz target: arbitrary command lines for the statsdump command, run in-process.
//
// Input: a control byte, then the argument words, separated by NUL or newline bytes. The words
// follow the program name. Every execution runs statsdump_main in a scratch directory that
// holds a small valid data file "d.zel", a truncated one "t.zel", an empty file "e" and a
// directory "dir"; standard output goes to /dev/null. A '/' in a word becomes '_', so every
// path stays inside the scratch directory (the default data file is only read). The control
// byte chooses:
//   bits 0-3  != 0: '*' in a word becomes ',' (all 60 fields make an execution expensive); 0:
//             '*' stays for one such input in 16, chosen by a hash of the input
//   bit 4     put "-i d.zel" before the words, so most runs get as far as the writers
//   bits 5-7  != 0: put a small picture size ("-x", "-y") before the words (1: "0" "0", the
//             store's own default of 1000 x 120); 0: the default 1600 x 320 pixels for one
//             such input in 16 (by the hash) that keeps no '*', one of the sizes 2..7 for the
//             others; or a size among the words
// The rare inputs that keep '*' or the default size cost ten to a hundred times as much as the
// others (all 60 fields as pictures: sixty of them) and would fill the corpus; the hash keeps
// them rare among the inputs made from them.
// Should a run leave its store set up (the tool may leave it to process exit), the harness
// releases it. Every run must return 0, 1 or 2 and close every descriptor it opened; the
// harness removes the files the run wrote.
//
// The table's number texts are also checked against snprintf: every 8-byte window of the input
// (at steps of 3 bytes) read as a double, as an integer, and as an integer plus a binary tie of
// the 3rd and 7th decimal, each through the four formatters ("%lf", "%.2lf", the base-10 and
// base-2 prefix forms) and their printf references. The double of the first two windows has
// any exponent (infinities and NaNs too); the others have theirs folded into 2^-40 .. 2^40:
// printf takes a hundred times longer for the 300 digits of a large double, and a few such
// numbers per input cover that path (the integers cover every magnitude up to 2^64).
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "charts_priv.h"
#include "fuzz_util.h"
#include "statsdump.h"
#include "statsdump_main.h"
#include "statsdump_priv.h"

using namespace zelfuzz;

namespace {

const std::set<std::string> kFixtures = {".", "..", "d.zel", "t.zel", "e", "dir"};
constexpr size_t kMaxWords = 48;

// Removes every file the last run created in the scratch directory.
void clean_scratch() {
    DIR *d = opendir(".");
    if (d == nullptr) abort();
    std::vector<std::string> extra;
    while (struct dirent *e = readdir(d)) {
        if (kFixtures.count(e->d_name) == 0) extra.push_back(e->d_name);
    }
    closedir(d);
    for (const auto &name : extra) unlink(name.c_str());
}

// Open descriptors of the process: a run must give back every one it opened.
int open_fds() {
    DIR *d = opendir("/proc/self/fd");
    if (d == nullptr) return -1;
    int n = 0;
    while (readdir(d) != nullptr) n++;
    closedir(d);
    return n;
}

// A text in a fixed buffer: the comparisons run hundreds of times per execution, and a string
// on the heap for each side cost as much as the printing.
struct Text {
    char buf[512];
    size_t len = 0;
    bool operator==(const Text &o) const { return len == o.len && memcmp(buf, o.buf, len) == 0; }
};

Text printed(const char *fmt, double v) {
    Text t;
    int n = snprintf(t.buf, sizeof t.buf, fmt, v);
    t.len = size_t(n < 0 ? 0 : n) < sizeof t.buf ? size_t(n < 0 ? 0 : n) : sizeof t.buf - 1;
    return t;
}

// The base-10 and base-2 forms, the same steps done with printf.
Text printed_si(double n) {
    if (n < 0.0009995) return printed("%.2lfu", n * 1000000.0);
    if (n < 0.9995) return printed("%.2lfm", n * 1000.0);
    if (n < 999.5) return printed("%.2lf", n);
    if (n < 999500.0) return printed("%.2lfk", n / 1000.0);
    if (n < 999500000.0) return printed("%.2lfM", n / 1000000.0);
    if (n < 999500000000.0) return printed("%.2lfG", n / 1000000000.0);
    if (n < 999500000000000.0) return printed("%.2lfT", n / 1000000000000.0);
    return printed("%.2lfP", n / 1000000000000000.0);
}

Text printed_iec(double n) {
    static const char *const kFormats[6] = {"%.2lf",   "%.2lfKi", "%.2lfMi",
                                            "%.2lfGi", "%.2lfTi", "%.2lfPi"};
    if (n < 999.5) return printed(kFormats[0], n);
    for (int i = 1; i <= 5; i++) {
        n *= 0.0009765625;
        if (n < 999.5) return printed(kFormats[i], n);
    }
    return printed("%.2lfEi", n * 0.0009765625);
}

Text formatted(char *(*f)(char *, double), double v) {
    static_assert(statsdump::kNumberMax <= sizeof(Text::buf));
    Text t;
    t.len = size_t(f(t.buf, v) - t.buf);
    return t;
}

void check_number(double v) {
    ZELFUZZ_CHECK(formatted(statsdump::put_fixed6, v) == printed("%lf", v));
    ZELFUZZ_CHECK(formatted(statsdump::put_fixed2, v) == printed("%.2lf", v));
    ZELFUZZ_CHECK(formatted(statsdump::put_si, v) == printed_si(v));
    ZELFUZZ_CHECK(formatted(statsdump::put_iec, v) == printed_iec(v));
}

void check_numbers(const uint8_t *data, size_t size) {
    for (size_t i = 0; i + 8 <= size && i < 96; i += 3) {
        uint64_t bits;
        memcpy(&bits, data + i, 8);
        uint64_t vbits = bits;
        if (i >= 6) {
            const uint64_t exponent = (bits >> 52 & 0x7FF) % 81 + 1023 - 40;
            vbits = (bits & ~(uint64_t{0x7FF} << 52)) | exponent << 52;
        }
        double v;
        memcpy(&v, &vbits, 8);
        check_number(v);
        const double n = double(bits >> (bits & 63));  // integers of every magnitude
        check_number(n);
        // n + odd/8 and n + odd/128: ties of "%.2lf" and "%lf" while exact.
        check_number(double(bits >> (11 + (bits & 31))) + double(2 * (bits & 3) + 1) / 8);
        check_number(double(bits >> (18 + (bits & 31))) + double(2 * (bits & 63) + 1) / 128);
    }
}

// The picture area the words ask for, read roughly as the tool reads them: the last -x and -y
// before "--" win, as 32-bit numbers, clamped as the store clamps them.
uint64_t asked_area(const std::vector<std::string> &words, size_t &end) {
    uint32_t w = 1600, h = 320;
    end = words.size();
    for (size_t i = 1; i < words.size(); i++) {
        const std::string &a = words[i];
        if (a == "--") {
            end = i;
            break;
        }
        if (a.size() < 2 || a[0] != '-') continue;
        for (size_t k = 1; k < a.size(); k++) {
            const char o = a[k];
            if (strchr("irfpsxy", o) == nullptr) continue;  // a flag, or a bad option
            std::string arg;
            if (k + 1 < a.size()) {
                arg = a.substr(k + 1);
            } else if (i + 1 < words.size()) {
                arg = words[++i];
            }
            if (o == 'x') w = uint32_t(strtoul(arg.c_str(), nullptr, 10));
            if (o == 'y') h = uint32_t(strtoul(arg.c_str(), nullptr, 10));
            break;
        }
    }
    if (w == 0 && h == 0) return 1000 * 120;
    return uint64_t{std::clamp(w, 150u, 4146u)} * std::clamp(h, 120u, 1020u);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    setenv("TZ", "UTC", 1);
    const std::string &dir = scratch_dir();
    if (chdir(dir.c_str()) != 0) abort();
    // Six of the real catalogue's statistics (two of them the sources of cpu and mem), 16
    // entries per ring; the rest of the catalogue stays empty.
    std::string file =
        data_file({"ucpu", "scpu", "memoryrss", "memoryvirt", "hddok", "udiff"}, 16, kNewestMinute);
    put_file("d.zel", file.data(), file.size());
    put_file("t.zel", file.data(), file.size() / 2);
    put_file("e", "", 0);
    mkdir("dir", 0700);
    int devnull = open("/dev/null", O_WRONLY);
    if (devnull < 0 || dup2(devnull, 1) < 0) abort();
    close(devnull);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    check_numbers(data, size);
    const uint8_t ctl = data[0];
    uint32_t hash = 2166136261u;
    for (size_t i = 0; i < size; i++) hash = (hash ^ data[i]) * 16777619u;
    const bool star = (ctl & 0x0F) == 0 && hash % 16 == 0;

    std::vector<std::string> words = {"statsdump"};
    if (ctl & 0x10) {
        words.push_back("-i");
        words.push_back("d.zel");
    }
    static const char *const kSmallSizes[8][2] = {
        {nullptr, nullptr}, {"0", "0"},    {"1", "1"},    {"40", "20"},
        {"64", "40"},       {"120", "60"}, {"200", "21"}, {"333", "80"},
    };
    uint32_t sizepick = ctl >> 5;
    if (sizepick == 0 && (star || (hash >> 4) % 16 != 0)) sizepick = 2 + (hash >> 8) % 6;
    if (const char *const *xy = kSmallSizes[sizepick]; xy[0] != nullptr) {
        words.insert(words.end(), {"-x", xy[0], "-y", xy[1]});
    }
    std::string cur;
    for (size_t i = 1; i <= size; i++) {
        if (i == size || data[i] == 0 || data[i] == '\n') {
            if (i < size || !cur.empty()) words.push_back(cur);
            cur.clear();
            if (words.size() > kMaxWords) break;
            continue;
        }
        char ch = (char)data[i];
        if (ch == '/') ch = '_';
        if (ch == '*' && !star) ch = ',';
        cur.push_back(ch);
    }

    // A picture of more than 200,000 pixels that the words ask for (a negative size is the
    // largest) costs up to a hundred ordinary runs per field, and such inputs filled the corpus:
    // for all but one such input in 16 (by the hash) a small size follows the words' own.
    size_t end;
    if (asked_area(words, end) > 200000 && (hash >> 12) % 16 != 0) {
        words.insert(words.begin() + ptrdiff_t(end), {"-x", "150", "-y", "120"});
    }

    std::vector<char *> argv;
    for (auto &w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    const int fds = open_fds();
    int rc = statsdump_main((int)words.size(), argv.data());
    fflush(stdout);
    ZELFUZZ_CHECK(rc >= 0 && rc <= 2);  // success, a failed file or a usage error
    if (charts::g.chart != nullptr) charts_term();
    ZELFUZZ_CHECK(open_fds() == fds);
    clean_scratch();
    return 0;
}
