#include "strerr.h"

extern "C" void strerr_init(void) {}
extern "C" const char *strerr(int) {
    return "Unknown error";
}
extern "C" void strerr_term(void) {}
