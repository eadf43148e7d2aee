#include "checked_alloc.h"

#include <cstdio>
#include <cstdlib>
#include <limits>

namespace dispsmooth {

void *checked_calloc(std::size_t count, std::size_t size, const char *what, on_failure policy) {
    void *block = nullptr;
    if (size == 0 || count <= std::numeric_limits<std::size_t>::max() / size) {
        // calloc(0, ...) may return nullptr legitimately; ask for one byte so
        // that a null result always means failure.
        block = std::calloc(count == 0 ? 1 : count, size == 0 ? 1 : size);
    }
    if (block == nullptr) {
        std::fprintf(stderr, "dispsmooth: out of memory allocating %s (%zu x %zu bytes)\n", what,
                     count, size);
        if (policy == on_failure::abort_process) std::abort();
        std::exit(1);
    }
    return block;
}

}  // namespace dispsmooth
