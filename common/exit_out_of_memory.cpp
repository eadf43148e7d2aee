#include "common/checked_alloc.h"

#include <cstdio>
#include <cstdlib>

namespace dispsmooth {

void exit_out_of_memory() {
    // Nothing here allocates: standard error is unbuffered and standard
    // output's buffer already exists.
    (void)std::fflush(stdout);
    (void)std::fputs("dispsmooth: out of memory\n", stderr);
    std::exit(1);
}

}  // namespace dispsmooth
