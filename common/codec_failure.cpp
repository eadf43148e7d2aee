#include "common/codec_failure.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace dispsmooth {

// NOLINTNEXTLINE(cert-dcl50-cpp): printf-style, checked by the format attribute
void set_codec_failure(codec_failure *failure, codec_failure_kind kind, const char *format, ...) {
    if (failure->kind != codec_failure_kind::none) return;
    failure->kind = kind;
    std::va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(failure->message, sizeof failure->message - 1, format, args);
    va_end(args);
    // A message cut at the buffer's end still ends its line.
    std::size_t end = n < 0 ? 0 : static_cast<std::size_t>(n);
    if (end > sizeof failure->message - 2) end = sizeof failure->message - 2;
    failure->message[end] = '\n';
    failure->message[end + 1] = '\0';
}

// NOLINTNEXTLINE(cert-dcl50-cpp): printf-style, checked by the format attribute
void keep_library_message(codec_failure *failure, const char *format, ...) {
    if (failure->library_message[0] != '\0') return;
    std::va_list args;
    va_start(args, format);
    (void)std::vsnprintf(failure->library_message, sizeof failure->library_message, format, args);
    va_end(args);
}

void end_process_after(const codec_failure &failure, bool abort_process) {
    (void)std::fputs(failure.message, stderr);
    if (abort_process) std::abort();
    std::exit(1);
}

}  // namespace dispsmooth
