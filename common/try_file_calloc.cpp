#include "common/codec_failure.h"

#include "common/checked_alloc.h"

namespace dispsmooth {

void *try_file_calloc(std::size_t count, std::size_t size, const char *what, const char *filename,
                      codec_failure *failure) {
    void *block = calloc_or_null(count, size);
    if (block == nullptr) {
        set_codec_failure(failure, codec_failure_kind::out_of_memory,
                          "dispsmooth: out of memory allocating %s of \"%s\" (%zu x %zu bytes)",
                          what, filename, count, size);
    }
    return block;
}

}  // namespace dispsmooth
