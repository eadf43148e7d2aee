#include "common/checked_alloc.h"

#include <cstdio>
#include <cstdlib>

namespace dispsmooth {

void *checked_file_calloc(std::size_t count, std::size_t size, const char *what,
                          const char *filename, on_failure policy) {
    void *block = calloc_or_null(count, size);
    if (block == nullptr) {
        (void)std::fprintf(stderr,
                           "dispsmooth: out of memory allocating %s of \"%s\" (%zu x %zu bytes)\n",
                           what, filename, count, size);
        if (policy == on_failure::abort_process) std::abort();
        std::exit(1);
    }
    return block;
}

}  // namespace dispsmooth
