#include "common/alloc.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <new>

#include "common/call_settings.h"
#include "common/codec_failure.h"
#include "common/parallel.h"

namespace dispsmooth {

namespace {

// The one wording of a refused allocation, with or without a file name.
// Formats into a buffer of the caller's: nothing more can be allocated.
void format_out_of_memory(char *message, std::size_t room, std::size_t count, std::size_t size,
                          const char *what, const char *filename) {
    if (filename == nullptr)
        (void)std::snprintf(message, room,
                            "dispsmooth: out of memory allocating %s (%zu x %zu bytes)", what,
                            count, size);
    else
        (void)std::snprintf(message, room,
                            "dispsmooth: out of memory allocating %s of \"%s\" (%zu x %zu bytes)",
                            what, filename, count, size);
}

// A refused allocation reported to a caller that can go on: the message the
// process would have printed, kept in the object itself.
class allocation_failure : public std::bad_alloc {
public:
    allocation_failure(std::size_t count, std::size_t size, const char *what,
                       const char *filename) {
        format_out_of_memory(message_, sizeof message_, count, size, what, filename);
    }
    const char *what() const noexcept override { return message_; }

private:
    char message_[4608];
};

// checked_calloc and checked_file_calloc: the block, or the failure as the
// calling thread's settings and the policy say.
void *calloc_or_fail(std::size_t count, std::size_t size, const char *what, const char *filename,
                     on_failure policy) {
    void *block = calloc_or_null(count, size);
    if (block != nullptr) return block;
    if (this_thread_settings.throw_on_failure && !inside_parallel_work())
        throw allocation_failure(count, size, what, filename);
    char message[4608];
    format_out_of_memory(message, sizeof message, count, size, what, filename);
    (void)std::fprintf(stderr, "%s\n", message);
    if (policy == on_failure::abort_process) std::abort();
    std::exit(1);
}

void *calloc_or_record(std::size_t count, std::size_t size, const char *what, const char *filename,
                       codec_failure *failure) {
    void *block = calloc_or_null(count, size);
    if (block == nullptr) {
        char message[sizeof failure->message];
        format_out_of_memory(message, sizeof message, count, size, what, filename);
        set_codec_failure(failure, codec_failure_kind::out_of_memory, "%s", message);
    }
    return block;
}

}  // namespace

void *calloc_or_null(std::size_t count, std::size_t size) {
    if (size != 0 && count > std::numeric_limits<std::size_t>::max() / size) return nullptr;
    // calloc(0, ...) may return nullptr legitimately; ask for one byte so
    // that a null result always means failure.
    return std::calloc(count == 0 ? 1 : count, size == 0 ? 1 : size);
}

void *checked_calloc(std::size_t count, std::size_t size, const char *what, on_failure policy) {
    return calloc_or_fail(count, size, what, nullptr, policy);
}

void *checked_file_calloc(std::size_t count, std::size_t size, const char *what,
                          const char *filename, on_failure policy) {
    return calloc_or_fail(count, size, what, filename, policy);
}

void *try_calloc(std::size_t count, std::size_t size, const char *what, codec_failure *failure) {
    return calloc_or_record(count, size, what, nullptr, failure);
}

void *try_file_calloc(std::size_t count, std::size_t size, const char *what, const char *filename,
                      codec_failure *failure) {
    return calloc_or_record(count, size, what, filename, failure);
}

void exit_out_of_memory() {
    // Nothing here allocates: standard error is unbuffered and standard
    // output's buffer already exists.
    (void)std::fflush(stdout);
    (void)std::fputs("dispsmooth: out of memory\n", stderr);
    std::exit(1);
}

bool fits_int32(long long width, long long height, long long factor) {
    if (width < 0 || height < 0 || factor < 0) return false;
    const long long limit = INT32_MAX;
    if (width != 0 && height > limit / width) return false;
    const long long pixels = width * height;
    if (factor != 0 && pixels > limit / factor) return false;
    return true;
}

}  // namespace dispsmooth
