#include "zellog.h"

#include <stdio.h>
#include <stdlib.h>

extern "C" void zel_log(int, int, const char *, ...) {}
extern "C" void zel_file_log(const char *, int, const char *, int, const char *, ...) {}
extern "C" int zel_log_init(const char *, int) {
    return 0;
}
extern "C" void zel_log_term(void) {}
extern "C" void zel_log_detach_stderr(void) {}
extern "C" void zel_log_detach_syslog(void) {}
extern "C" void zel_log_set_min_level(int) {}
extern "C" void zel_log_set_elevate_to(int) {}
extern "C" void zel_log_set_sink_function(zel_log_sink_fn) {}
extern "C" int zel_log_str_to_pri(const char *) {
    return -1;
}
extern "C" int zel_log_priority_convert(int) {
    return 3;
}
extern "C" const char *zel_log_pri_to_str(int) {
    return "unknown";
}
extern "C" const char *zel_log_pri_to_colorstr(int) {
    return "";
}
extern "C" void zel_out_of_memory(const char *srcpath, unsigned line, const char *objname) {
    fprintf(stderr, "%s:%u - out of memory: %s is NULL\n", srcpath, line, objname);
    abort();
}
