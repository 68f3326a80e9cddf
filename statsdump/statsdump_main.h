// SPDX-License-Identifier: Apache-2.0
// The statsdump command as its program runs it. It belongs to the program (and to the tests
// and fuzz targets that run it in-process), not to the library's interface.
#ifndef STATSDUMP_STATSDUMP_MAIN_H
#define STATSDUMP_STATSDUMP_MAIN_H

#ifdef __cplusplus
extern "C" {
#endif

// Writes the help text to standard error.
void usage(const char *appname);

// The whole command: 0 on success, 1 when the data file, a chart file or standard output
// failed, 2 for a usage error. --help and --version print to standard output, status 0.
int statsdump_main(int argc, char **argv);

#ifdef __cplusplus
}
#endif

#endif
