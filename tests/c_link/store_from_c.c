// SPDX-License-Identifier: Apache-2.0
/* Proof that the installed charts store links from C: a server-mode store with a tiny
 * catalogue of two statistics takes samples on a fixed clock, exports them as single-range
 * records and saves its data file. Usage: store_from_c DIRECTORY. Exit status 0 on success. */
#define _POSIX_C_SOURCE 200809L

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include "charts.h"
#include "datapack.h"
#include "zellog.h"

#define START 1709640000u /* 2024-03-05 12:00 UTC, a whole minute */

static const statdef stats[] = {
    {"requests", 0x52455153u, 0, 0, 2, 1, 1}, /* REQS: summed per slot */
    {"queue", 0x51554555u, 1, 0, 2, 1, 1},    /* QUEU: largest per slot */
    {0, 0, 0, 0, 0, 0, 0},
};
static const estatdef estats[] = {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0}};
static const uint32_t calcs[] = {2000};

static uint32_t clock_now = START;
static uint32_t fixed_clock(void) {
    return clock_now;
}

static int failures = 0;

static void expect(int ok, const char *what) {
    if (!ok) {
        fprintf(stderr, "store_from_c: %s\n", what);
        failures++;
    }
}

/* Reads the newest `width` range-0 samples of statistic `type` into out[], newest first. */
static int export_range0(uint32_t type, uint32_t width, uint32_t *ts, uint64_t *out) {
    uint32_t size = charts_makedata(NULL, type * 10 + 0, width, 0);
    if (size != 8 + 8 * width) return -1;
    uint8_t *buff = malloc(size);
    if (buff == NULL) return -1;
    if (charts_makedata(buff, type * 10 + 0, width, 0) != 0) {
        free(buff);
        return -1;
    }
    const uint8_t *rp = buff;
    *ts = get32bit(&rp);
    uint32_t got = get32bit(&rp);
    for (uint32_t i = 0; i < width && got == width; i++) out[i] = get64bit(&rp);
    free(buff);
    return got == width ? 0 : -1;
}

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s directory\n", argv[0]);
        return 2;
    }
    setenv("TZ", "UTC", 1);
    tzset();

    char path[4096];
    snprintf(path, sizeof path, "%s/c_store.zel", argv[1]);
    remove(path);

    zel_log_set_min_level(ZEL_LOG_WARNING); /* no notice about the missing data file */
    charts_set_clock(fixed_clock);
    if (charts_init(calcs, stats, estats, path, 0) != 0) {
        fprintf(stderr, "store_from_c: charts_init failed\n");
        return 1;
    }

    /* Minutes 1..4 after the start: requests 10, 20, 30, 40; queue 5 then 9 within minute 4. */
    for (uint32_t m = 1; m <= 4; m++) {
        uint64_t sample[2] = {10 * m, 5};
        clock_now = START + 60 * m;
        charts_add(sample, clock_now);
    }
    uint64_t late[2] = {2, 9};
    charts_add(late, START + 60 * 4 + 30); /* same minute: requests summed, queue maximum */

    uint32_t ts = 0;
    uint64_t v[6];
    expect(export_range0(0, 6, &ts, v) == 0, "requests: export failed");
    expect(ts == START + 240, "requests: time of the newest slot");
    expect(v[0] == 42 && v[1] == 30 && v[2] == 20 && v[3] == 10, "requests: values");
    expect(v[4] == CHARTS_NODATA && v[5] == CHARTS_NODATA, "requests: empty slots");
    expect(export_range0(1, 2, &ts, v) == 0, "queue: export failed");
    expect(v[0] == 9 && v[1] == 5, "queue: values");
    expect(charts_makedata(NULL, 1000, 4, 0) == 0, "no such statistic: size 0");

    uint8_t totals[2 + 8 * 2];
    expect(charts_monotonic_data(NULL) == sizeof totals, "running totals: size");
    charts_monotonic_data(totals);
    const uint8_t *tp = totals;
    expect(get16bit(&tp) == 2, "running totals: count");
    expect(get64bit(&tp) == 102 && get64bit(&tp) == 29, "running totals: values");

    charts_store();
    charts_term();
    charts_set_clock(NULL);

    struct stat st;
    expect(stat(path, &st) == 0 && st.st_size == 16 + 2 * (100 + 4 * 8 * 4096), "data file: size");
    remove(path);

    if (failures == 0) printf("store_from_c: ok\n");
    return failures == 0 ? 0 : 1;
}
