#include "checked_alloc.h"

#include <cstdio>
#include <cstdlib>
#include <limits>

namespace dispsmooth {

void *checked_file_calloc(std::size_t count, std::size_t size, const char *what,
                          const char *filename, on_failure policy) {
    void *block = nullptr;
    if (size == 0 || count <= std::numeric_limits<std::size_t>::max() / size) {
        // As in checked_calloc: a null result always means failure.
        block = std::calloc(count == 0 ? 1 : count, size == 0 ? 1 : size);
    }
    if (block == nullptr) {
        std::fprintf(stderr,
                     "dispsmooth: out of memory allocating %s of \"%s\" (%zu x %zu bytes)\n", what,
                     filename, count, size);
        if (policy == on_failure::abort_process) std::abort();
        std::exit(1);
    }
    return block;
}

}  // namespace dispsmooth
