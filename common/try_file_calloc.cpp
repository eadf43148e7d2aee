#include "codec_failure.h"

#include <cstdlib>
#include <limits>

namespace dispsmooth {

void *try_file_calloc(std::size_t count, std::size_t size, const char *what, const char *filename,
                      codec_failure *failure) {
    void *block = nullptr;
    if (size == 0 || count <= std::numeric_limits<std::size_t>::max() / size) {
        // As in checked_calloc: a null result always means failure.
        block = std::calloc(count == 0 ? 1 : count, size == 0 ? 1 : size);
    }
    if (block == nullptr) {
        set_codec_failure(failure, codec_failure_kind::out_of_memory,
                          "dispsmooth: out of memory allocating %s of \"%s\" (%zu x %zu bytes)",
                          what, filename, count, size);
    }
    return block;
}

}  // namespace dispsmooth
