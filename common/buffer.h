// Zero-filled temporary arrays of the smoothing routines, released with
// free() when the holder goes out of scope.  A refused allocation or a size
// that overflows ends the process with a message and exit status 1.
#ifndef DISPSMOOTH_COMMON_BUFFER_H
#define DISPSMOOTH_COMMON_BUFFER_H

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "common/alloc.h"

namespace dispsmooth {

struct free_deleter {
    void operator()(void *block) const noexcept { std::free(block); }
};

template <class T>
using buffer_ptr = std::unique_ptr<T[], free_deleter>;

// Asks the kernel to back the whole 2 MiB pages inside a large block with
// huge pages, so that its first use costs one page fault per 2 MiB rather
// than one per 4 KiB.  Only advice: nothing changes where it is refused.
inline void advise_huge_pages(void *block, std::size_t bytes) {
#ifdef MADV_HUGEPAGE
    constexpr std::uintptr_t huge = std::uintptr_t{1} << 21;
    if (bytes < 2 * huge) return;
    const std::uintptr_t start = (reinterpret_cast<std::uintptr_t>(block) + huge - 1) & ~(huge - 1);
    const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(block) + bytes) & ~(huge - 1);
    // The first whole page as an offset into the block rather than an
    // address turned back into a pointer.
    char *const first =
        static_cast<char *>(block) + (start - reinterpret_cast<std::uintptr_t>(block));
    if (end > start) (void)madvise(first, end - start, MADV_HUGEPAGE);
#else
    (void)block;
    (void)bytes;
#endif
}

template <class T>
buffer_ptr<T> allocate_buffer(std::size_t count, const char *what) {
    T *block = static_cast<T *>(checked_calloc(count, sizeof(T), what, on_failure::exit_status_1));
    advise_huge_pages(block, count * sizeof(T));
    return buffer_ptr<T>(block);
}

}  // namespace dispsmooth

#endif
