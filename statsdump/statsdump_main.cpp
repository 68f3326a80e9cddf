// SPDX-License-Identifier: Apache-2.0
// The statsdump command: its help text and command line. The program's main() runs it; the
// library holds the catalogue and the writers it uses.
#include "statsdump_main.h"

#include <errno.h>
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "charts.h"
#include "crc.h"
#include "statsdump.h"
#include "strerr.h"

namespace {

// Help text after the first line; the field names follow it.
constexpr const char *kHelpOptions[] = {
    "\t-f - field names separated by ',' or '*' for all fields\n",
    "\t-i - name of zel binary stats file (default:" STATSDUMP_DEFAULT_DIR
    "/" STATSDUMP_DEFAULT_FILE ")\n",
    "\t-r - range type (see below)\n",
    "\t-s - specify column separator (default: tabulator)\n",
    "\t-p - optional PNG filename (field name will be added before .png ; YYYY -> YYYY_FIELD.png "
    ", YYYY.png -> YYYY_FIELD.png)\n",
    "\t-x - PNG chart width (default: 1600)\n",
    "\t-y - PNG chart height (should be divisible by 20 - if not then it will be adjusted; "
    "default:320)\n",
    "\t-h - \"human-readable\" numbers using base 2 prefixes (IEC 60027)\n",
    "\t-H - \"human-readable\" numbers using base 10 prefixes (SI)\n",
    "\t-d - show timestamps in YYYY-MM-DD HH:MM format\n",
    "\n",
    "\tranges:\n",
    "\t\t0 - short range (minute)\n",
    "\t\t1 - medium range (6 minutes)\n",
    "\t\t2 - long range (30 minutes)\n",
    "\t\t3 - very long range (day)\n",
    "\n",
    "\tfield names:\n",
};

constexpr const char *kOptString = "i:r:f:p:s:x:y:hHd?";
constexpr const char *kDefaultInput = STATSDUMP_DEFAULT_DIR "/" STATSDUMP_DEFAULT_FILE;

// Exit statuses: success, a file that failed (data file, chart file, standard output), a usage
// error (no field, an unknown option or field name, a bad option value).
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

bool crc_ready = false;  // the CRC tables are built once per process

// A field list of the command line, freed with the run.
struct FieldList {
    int32_t *types = nullptr;
    FieldList() = default;
    FieldList(const FieldList &) = delete;
    FieldList &operator=(const FieldList &) = delete;
    ~FieldList() { free(types); }
};

// What the command line asks for.
struct Options {
    FieldList fields;
    const char *input = kDefaultInput;  // the texts of -i and -p live in argv
    const char *png = nullptr;          // -p: charts into files instead of the table
    char sep = '\t';
    uint8_t flags = 0;
    uint32_t range = 0;
    uint32_t width = 1600;
    uint32_t height = 320;
};

// The store of one run; it goes with the run, so that the command can run again in the same
// process (also when the data file could not be loaded).
class StoreSession {
  public:
    StoreSession() = default;
    StoreSession(const StoreSession &) = delete;
    StoreSession &operator=(const StoreSession &) = delete;
    ~StoreSession() {
        if (set_up_) charts_term();
    }
    bool open(const char *file) {
        set_up_ = true;
        return charts_init(statsdump_calcdefs, statsdump_statdefs, statsdump_estatdefs, file,
                           CHARTS_MODE_TOOL) == 0;
    }

  private:
    bool set_up_ = false;
};

// The text is made whole first and written at once.
void usage_to(FILE *out, const char *appname) {
    char *text = nullptr;
    size_t size = 0;
    FILE *mem = open_memstream(&text, &size);
    if (mem == nullptr) return;
    fprintf(mem,
            "usage: %s -f fields [-i stats_file] [-r range] [-s separator] [-p png_filename [-x "
            "chart_width] [-y chart_height]] [-hHd]\n",
            appname);
    for (const char *line : kHelpOptions) fputs(line, mem);
    // All names, base statistics then extended charts, four to a line.
    uint32_t counter = 0;
    auto put_name = [&](const char *name) {
        fprintf(mem, "%s%15s,%s", counter % 4 == 0 ? "\t\t" : "", name,
                counter % 4 == 3 ? "\n" : "");
        counter++;
    };
    for (const statdef *d = statsdump_statdefs; d->name != nullptr; d++) put_name(d->name);
    for (const estatdef *d = statsdump_estatdefs; d->name != nullptr; d++) put_name(d->name);
    if (fclose(mem) == 0) fwrite(text, 1, size, out);
    free(text);
}

// --help and --version anywhere before "--": the text on standard output. True when one was
// answered, with the exit status in status.
bool answer_help_or_version(int argc, char **argv, const char *appname, int &status) {
    for (int i = 1; i < argc && argv[i] != nullptr && strcmp(argv[i], "--") != 0; i++) {
        if (strcmp(argv[i], "--help") == 0) {
            usage_to(stdout, appname);
        } else if (strcmp(argv[i], "--version") == 0) {
            fputs("statsdump " ZEL_VERSION "\n", stdout);
        } else {
            continue;
        }
        status = fflush(stdout) == 0 ? kExitOk : kExitFailure;
        return true;
    }
    return false;
}

// One option of the command line into opt.
enum class OptionResult { kTaken, kBad, kNoMemory };

OptionResult take_option(int ch, const char *arg, Options &opt) {
    switch (ch) {
        case 'f':
            if (statsdump_parse(&opt.fields.types, arg) < 0) return OptionResult::kNoMemory;
            return OptionResult::kTaken;
        case 'i':
            opt.input = arg;
            return OptionResult::kTaken;
        case 'r':
            if (arg[0] < '0' || arg[0] > '3' || arg[1] != '\0') return OptionResult::kBad;
            opt.range = uint32_t(arg[0] - '0');
            return OptionResult::kTaken;
        case 's':
            if (arg[0] == '\0' || arg[1] != '\0') return OptionResult::kBad;
            opt.sep = arg[0];
            return OptionResult::kTaken;
        case 'p':
            opt.png = arg;
            return OptionResult::kTaken;
        case 'x':
            opt.width = uint32_t(strtoul(arg, nullptr, 10));
            return OptionResult::kTaken;
        case 'y':
            opt.height = uint32_t(strtoul(arg, nullptr, 10));
            return OptionResult::kTaken;
        case 'h':
            opt.flags |= STATSDUMP_TABLE_IEC;
            return OptionResult::kTaken;
        case 'H':
            opt.flags |= STATSDUMP_TABLE_SI;
            return OptionResult::kTaken;
        case 'd':
            opt.flags |= STATSDUMP_TABLE_DATE;
            return OptionResult::kTaken;
        default:
            return OptionResult::kBad;
    }
}

// The whole command line into opt: kExitOk, or kExitUsage after its message.
int read_options(int argc, char **argv, const char *appname, Options &opt) {
    int ch;
    while ((ch = getopt(argc, argv, kOptString)) != -1) {
        const OptionResult r = take_option(ch, optarg, opt);
        if (r == OptionResult::kNoMemory) return kExitUsage;  // statsdump_parse said why
        if (r == OptionResult::kBad) {
            usage(appname);
            return kExitUsage;
        }
    }
    if (opt.fields.types == nullptr || opt.fields.types[0] < 0) {
        fputs("fields not specified\n", stderr);
        usage(appname);
        return kExitUsage;
    }
    return kExitOk;
}

// The table or the chart files of the options.
int run(const Options &opt, StoreSession &store) {
    // The CRC tables serve the pictures only.
    if (opt.png && !crc_ready) {
        mycrc32_init();
        crc_ready = true;
    }
    strerr_init();
    int status = kExitFailure;
    if (store.open(opt.input)) {
        if (opt.png) {
            if (statsdump_genpng_checked(opt.fields.types, opt.range, opt.png, opt.width,
                                         opt.height) == 0) {
                status = kExitOk;
            }
        } else {
            statsdump_gencsv(opt.fields.types, opt.range, opt.sep, opt.flags);
            status = kExitOk;
        }
    }
    // A name the catalogue lacks was a usage error, although the known ones were shown.
    if (status == kExitOk && statsdump_parse_unknown() > 0) status = kExitUsage;
    return status;
}

// The end of every run past the first checks: standard output must have taken the table.
int finish(int status) {
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "can't write standard output: %s\n", strerr(errno));
        clearerr(stdout);
        status = kExitFailure;
    }
    strerr_term();
    return status;
}

}  // namespace

extern "C" {

void usage(const char *appname) {
    usage_to(stderr, appname);
}

int statsdump_main(int argc, char **argv) {
    // A fresh run: option scanning and field selection start over.
#ifdef __GLIBC__
    optind = 0;
#else
    optind = 1;
#endif
    statsdump_parse_reset();

    const char *appname = (argc > 0 && argv[0] != nullptr) ? argv[0] : "statsdump";
    int status;
    if (answer_help_or_version(argc, argv, appname, status)) return status;
    if (argc < 2) {
        usage(appname);
        strerr_term();
        return kExitUsage;
    }
    Options opt;
    StoreSession store;
    status = read_options(argc, argv, appname, opt);
    if (status == kExitOk) status = run(opt, store);
    return finish(status);
}

}  // extern "C"
