#include "common/checked_alloc.h"

#include <cstdint>

namespace dispsmooth {

bool fits_int32(long long width, long long height, long long factor) {
    if (width < 0 || height < 0 || factor < 0) return false;
    const long long limit = INT32_MAX;
    if (width != 0 && height > limit / width) return false;
    const long long pixels = width * height;
    if (factor != 0 && pixels > limit / factor) return false;
    return true;
}

}  // namespace dispsmooth
