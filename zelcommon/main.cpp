#include "statsdump.h"

int main(int argc, char **argv) {
    return statsdump_main(argc, argv);
}
