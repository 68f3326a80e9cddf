#include "statsdump_main.h"

int main(int argc, char **argv) {
    return statsdump_main(argc, argv);
}
