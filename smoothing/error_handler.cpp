#include "dispsmooth/smoothing.h"

#include <cstdio>
#include <cstdlib>

void error_handler(const char *routine) {
    (void)std::fprintf(stderr, "FATAL ERROR in %s\n", routine);
    std::abort();
}
