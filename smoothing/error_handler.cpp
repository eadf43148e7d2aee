#include "dispsmooth/smoothing.h"

#include <cstdio>
#include <cstdlib>

void error_handler(const char *routine) {
    std::fprintf(stderr, "FATAL ERROR in %s\n", routine);
    std::abort();
}
