// Checked allocation, for the codecs and the smoothing: sizes are checked
// for overflow, and a refused allocation either ends the process with a
// message (the tool's routines), throws (the error-reporting interface, see
// call_settings.h) or is recorded in a codec failure record (the cores the
// interface calls).  Every variant words its message the same way:
//   dispsmooth: out of memory allocating <what> (<count> x <size> bytes)
//   dispsmooth: out of memory allocating <what> of "<file>" (<count> x <size> bytes)
// Every block is zero-filled and released with free().
#ifndef DISPSMOOTH_COMMON_ALLOC_H
#define DISPSMOOTH_COMMON_ALLOC_H

#include <cstddef>

namespace dispsmooth {

struct codec_failure;

// How a failure ends the process: exit(1), or abort() for the codecs whose
// failures are abnormal terminations.
enum class on_failure { exit_status_1, abort_process };

// calloc(count, size), or null where count * size overflows or the
// allocator refuses; never null otherwise, even for a size of 0.  What the
// helpers below build on.
void *calloc_or_null(std::size_t count, std::size_t size);

// calloc(count, size).  If count * size overflows or the allocator refuses,
// writes the message to standard error and ends the process as policy says.
// Where the calling thread's settings ask for it (call_settings.h), it
// throws instead a std::bad_alloc whose what() is the message, writes
// nothing and leaves the process running.
void *checked_calloc(std::size_t count, std::size_t size, const char *what, on_failure policy);

// checked_calloc for an array of the file filename is read into or written
// from: the message names the file too.
void *checked_file_calloc(std::size_t count, std::size_t size, const char *what,
                          const char *filename, on_failure policy);

// calloc(count, size), or nullptr after recording the out-of-memory failure
// in *failure with the message of checked_calloc.
void *try_calloc(std::size_t count, std::size_t size, const char *what, codec_failure *failure);

// The same for an array of the file filename, with the message of
// checked_file_calloc.
void *try_file_calloc(std::size_t count, std::size_t size, const char *what, const char *filename,
                      codec_failure *failure);

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
