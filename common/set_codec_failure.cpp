#include "common/codec_failure.h"

#include <cstdarg>
#include <cstdio>

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

}  // namespace dispsmooth
