#include "common/checked_alloc.h"

#include <omp.h>

#include <cstdio>
#include <cstdlib>
#include <new>

#include "common/call_settings.h"

namespace dispsmooth {

namespace {

// A refused allocation reported to a caller that can go on: the message the
// process would have printed, kept in the object itself, since nothing more
// can be allocated to hold it.
class allocation_failure : public std::bad_alloc {
public:
    allocation_failure(const char *what, std::size_t count, std::size_t size) {
        (void)std::snprintf(message_, sizeof message_,
                            "dispsmooth: out of memory allocating %s (%zu x %zu bytes)", what,
                            count, size);
    }
    const char *what() const noexcept override { return message_; }

private:
    char message_[192];
};

}  // namespace

void *checked_calloc(std::size_t count, std::size_t size, const char *what, on_failure policy) {
    void *block = calloc_or_null(count, size);
    if (block == nullptr) {
        if (this_thread_settings.throw_at_omp_level == omp_get_level())
            throw allocation_failure(what, count, size);
        (void)std::fprintf(stderr, "dispsmooth: out of memory allocating %s (%zu x %zu bytes)\n",
                           what, count, size);
        if (policy == on_failure::abort_process) std::abort();
        std::exit(1);
    }
    return block;
}

}  // namespace dispsmooth
