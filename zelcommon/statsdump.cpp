#include "statsdump.h"

extern "C" {
const statdef statsdump_statdefs[] = {{nullptr, 0, 0, 0, 0, 0, 0}};
const estatdef statsdump_estatdefs[] = {{nullptr, 0, 0, 0, 0, 0, 0, 0, 0, 0}};
const uint32_t statsdump_calcdefs[] = {2000};
void usage(const char *) {}
int statsdump_parse(int32_t **, const char *) {
    return 0;
}
void statsdump_gencsv(const int32_t *, uint32_t, char, uint8_t) {}
void statsdump_print_date(uint32_t) {}
void statsdump_print_humanize_si(double) {}
void statsdump_print_humanize_iec(double) {}
void statsdump_genpng(const int32_t *, uint32_t, const char *, uint32_t, uint32_t) {}
int statsdump_main(int, char **) {
    return 0;
}
}
