// Error-number texts: "ENOENT (No such file or directory)". strerr_init() builds the lookup
// table, strerr_term() releases it; numbers the table lacks read "Unknown error: N".
#ifndef ZELCOMMON_STRERR_H
#define ZELCOMMON_STRERR_H

#ifdef __cplusplus
extern "C" {
#endif

void strerr_init(void);
// The text for error; never null. The caller does not free it. An unknown number's text lives
// in one shared buffer that the next unknown lookup overwrites.
const char *strerr(int error);
void strerr_term(void);

#ifdef __cplusplus
}
#endif

#endif
