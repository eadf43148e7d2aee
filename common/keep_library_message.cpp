#include "common/codec_failure.h"

#include <cstdarg>
#include <cstdio>

namespace dispsmooth {

// NOLINTNEXTLINE(cert-dcl50-cpp): printf-style, checked by the format attribute
void keep_library_message(codec_failure *failure, const char *format, ...) {
    if (failure->library_message[0] != '\0') return;
    std::va_list args;
    va_start(args, format);
    (void)std::vsnprintf(failure->library_message, sizeof failure->library_message, format, args);
    va_end(args);
}

}  // namespace dispsmooth
