// SPDX-License-Identifier: Apache-2.0
#include "statsdump_main.h"

int main(int argc, char **argv) {
    return statsdump_main(argc, argv);
}
