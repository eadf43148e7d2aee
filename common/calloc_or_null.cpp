#include "common/checked_alloc.h"

#include <cstdlib>
#include <limits>

namespace dispsmooth {

void *calloc_or_null(std::size_t count, std::size_t size) {
    if (size != 0 && count > std::numeric_limits<std::size_t>::max() / size) return nullptr;
    // calloc(0, ...) may return nullptr legitimately; ask for one byte so
    // that a null result always means failure.
    return std::calloc(count == 0 ? 1 : count, size == 0 ? 1 : size);
}

}  // namespace dispsmooth
