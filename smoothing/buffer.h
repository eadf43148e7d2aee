// Zero-filled temporary arrays of the smoothing routines, released with
// free() when the holder goes out of scope.  A refused allocation or a size
// that overflows ends the process with a message and exit status 1.
#ifndef DISPSMOOTH_SMOOTHING_BUFFER_H
#define DISPSMOOTH_SMOOTHING_BUFFER_H

#include <cstddef>
#include <cstdlib>
#include <memory>

#include "checked_alloc.h"

namespace dispsmooth {

struct free_deleter {
    void operator()(void *block) const noexcept { std::free(block); }
};

template <class T>
using buffer_ptr = std::unique_ptr<T[], free_deleter>;

template <class T>
buffer_ptr<T> allocate_buffer(std::size_t count, const char *what) {
    return buffer_ptr<T>(
        static_cast<T *>(checked_calloc(count, sizeof(T), what, on_failure::exit_status_1)));
}

}  // namespace dispsmooth

#endif
