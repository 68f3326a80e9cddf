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

#include <string>

#include "charts.h"
#include "crc.h"
#include "statsdump.h"
#include "statsdump_priv.h"
#include "strerr.h"
#include "zellog.h"

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

// strdup, or the out-of-memory message and the end of the process.
char *dup_or_exit(const char *s, const char *objname) {
    char *p = strdup(s);
    zel_passert(p, "../zelcommon/statsdump", objname);  // the library's own message
    return p;
}

// Exit statuses: success, a file that failed (data file, chart file, standard output), a usage
// error (no field, an unknown option or field name, a bad option value).
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

bool crc_ready = false;  // the CRC tables are built once per process

void usage_to(FILE *out, const char *appname) {
    std::string text = "usage: ";
    text += appname;
    text +=
        " -f fields [-i stats_file] [-r range] [-s separator] [-p png_filename [-x chart_width] "
        "[-y "
        "chart_height]] [-hHd]\n";
    for (const char *line : kHelpOptions) text += line;
    // All names, base statistics then extended charts, four to a line.
    uint32_t counter = 0;
    auto put_name = [&](const char *name) {
        char cell[32];
        if (counter % 4 == 0) text += "\t\t";
        int n = snprintf(cell, sizeof cell, "%15s,", name);
        if (n >= int(sizeof cell)) {
            text += std::string(name) + ",";
        } else {
            text.append(cell, size_t(n));
        }
        if (counter % 4 == 3) text += "\n";
        counter++;
    };
    for (const statdef *d = statsdump_statdefs; d->name != nullptr; d++) put_name(d->name);
    for (const estatdef *d = statsdump_estatdefs; d->name != nullptr; d++) put_name(d->name);
    fwrite(text.data(), 1, text.size(), out);
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
    for (int i = 1; i < argc && argv[i] != nullptr && strcmp(argv[i], "--") != 0; i++) {
        if (strcmp(argv[i], "--help") == 0) {
            usage_to(stdout, appname);
            return fflush(stdout) == 0 ? kExitOk : kExitFailure;
        }
        if (strcmp(argv[i], "--version") == 0) {
            fputs("statsdump " ZEL_VERSION "\n", stdout);
            return fflush(stdout) == 0 ? kExitOk : kExitFailure;
        }
    }
    if (argc < 2) {
        usage(appname);
        strerr_term();
        return kExitUsage;
    }

    int32_t *stats = nullptr;
    char *ifile = nullptr;
    char *pfile = nullptr;
    char sep = '\t';
    uint8_t flags = 0;
    uint32_t range = 0;
    uint32_t pngwidth = 1600;
    uint32_t pngheight = 320;
    bool store_set_up = false;
    bool ok = true;
    int status = kExitUsage;
    int ch;
    while (ok && (ch = getopt(argc, argv, kOptString)) != -1) {
        switch (ch) {
            case 'f':
                if (statsdump_parse(&stats, optarg) < 0) goto end;
                break;
            case 'i':
                free(ifile);
                ifile = dup_or_exit(optarg, "ifile");
                break;
            case 'r':
                if (optarg[0] >= '0' && optarg[0] <= '3' && optarg[1] == '\0') {
                    range = uint32_t(optarg[0] - '0');
                } else {
                    ok = false;
                }
                break;
            case 's':
                if (optarg[0] != '\0' && optarg[1] == '\0') {
                    sep = optarg[0];
                } else {
                    ok = false;
                }
                break;
            case 'p':
                free(pfile);
                pfile = dup_or_exit(optarg, "pfile");
                break;
            case 'x':
                pngwidth = uint32_t(strtoul(optarg, nullptr, 10));
                break;
            case 'y':
                pngheight = uint32_t(strtoul(optarg, nullptr, 10));
                break;
            case 'h':
                flags |= statsdump::kFlagIec;
                break;
            case 'H':
                flags |= statsdump::kFlagSi;
                break;
            case 'd':
                flags |= statsdump::kFlagDate;
                break;
            default:
                ok = false;
                break;
        }
    }
    if (!ok) {
        usage(appname);
        goto end;
    }
    if (stats == nullptr || stats[0] < 0) {
        fputs("fields not specified\n", stderr);
        usage(appname);
        goto end;
    }
    if (ifile == nullptr) ifile = dup_or_exit(kDefaultInput, "ifile");

    // The CRC tables serve the pictures only.
    if (pfile != nullptr && !crc_ready) {
        mycrc32_init();
        crc_ready = true;
    }
    strerr_init();
    store_set_up = true;
    status = kExitFailure;
    if (charts_init(statsdump_calcdefs, statsdump_statdefs, statsdump_estatdefs, ifile, 1) == 0) {
        if (pfile != nullptr) {
            if (statsdump_genpng_checked(stats, range, pfile, pngwidth, pngheight) == 0) {
                status = kExitOk;
            }
        } else {
            statsdump_gencsv(stats, range, sep, flags);
            status = kExitOk;
        }
    }
    // A name the catalogue lacks was a usage error, although the known ones were shown.
    if (status == kExitOk && statsdump_parse_unknown() > 0) status = kExitUsage;

end:
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "can't write standard output: %s\n", strerr(errno));
        clearerr(stdout);
        status = kExitFailure;
    }
    strerr_term();
    free(ifile);
    free(pfile);
    free(stats);
    // The store goes too, so that the command can run again in the same process.
    if (store_set_up) charts_term();
    return status;
}

}  // extern "C"
