// Allocation helpers shared by the codecs and the smoothing: sizes are
// checked for overflow and a refused allocation ends the process with a
// message instead of handing a null pointer on.
#ifndef DISPSMOOTH_COMMON_CHECKED_ALLOC_H
#define DISPSMOOTH_COMMON_CHECKED_ALLOC_H

#include <cstddef>

namespace dispsmooth {

// How a failure ends the process: exit(1), or abort() for the codecs whose
// failures are abnormal terminations.
enum class on_failure { exit_status_1, abort_process };

// calloc(count, size), or null where count * size overflows or the
// allocator refuses; never null otherwise, even for a size of 0.  The block
// is released with free().  What the helpers below build on.
void *calloc_or_null(std::size_t count, std::size_t size);

// calloc(count, size).  If count * size overflows or the allocator refuses,
// writes "dispsmooth: out of memory allocating <what> (<count> x <size>
// bytes)" to standard error and ends the process as policy says.  Where the
// calling thread's settings ask for it (call_settings.h), it throws instead
// a std::bad_alloc whose what() is that message, writes nothing and leaves
// the process running.  The block is released with free().
void *checked_calloc(std::size_t count, std::size_t size, const char *what, on_failure policy);

// checked_calloc for an array of the file filename is read into or written
// from: the message names the file too, "dispsmooth: out of memory
// allocating <what> of "<filename>" (<count> x <size> bytes)".
void *checked_file_calloc(std::size_t count, std::size_t size, const char *what,
                          const char *filename, on_failure policy);

// The same policy for what is allocated with new (strings, containers):
// installed with std::set_new_handler by the tool, it writes "dispsmooth:
// out of memory" to standard error and exits with status 1, so that a
// refused allocation never ends the process through an uncaught
// std::bad_alloc, wherever it happens.
[[noreturn]] void exit_out_of_memory();

// True when width * height * factor is representable as a non-negative
// 32-bit int, the bound that every array index of the codecs relies on.
bool fits_int32(long long width, long long height, long long factor = 1);

}  // namespace dispsmooth

#endif
