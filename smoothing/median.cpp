#include "dispsmooth/smoothing.h"

#include <algorithm>
#include <cstddef>

#include "common/buffer.h"

void median(int width, int height, const int *src_arr, int radius, int *dst_arr) {
    if (width <= 0 || height <= 0) return;
    // A negative radius leaves every window empty: there is no median.
    if (radius < 0) error_handler("median");

    // The scratch buffer holds one window clipped to the image, which is
    // never larger than (2r + 1)^2 nor than the image.
    const long long side = 2 * static_cast<long long>(radius) + 1;
    const std::size_t capacity = static_cast<std::size_t>(std::min<long long>(side, height)) *
                                 static_cast<std::size_t>(std::min<long long>(side, width));
    auto window = dispsmooth::allocate_buffer<int>(capacity, "median window");
    int *values = window.get();

    const long long r = radius;
    for (long long i = 0; i < height; ++i) {
        for (long long j = 0; j < width; ++j) {
            // Collect the window clipped to the image, dy outer, dx inner.
            const long long dy_lo = std::max(-r, -i), dy_hi = std::min(r, height - 1 - i);
            const long long dx_lo = std::max(-r, -j), dx_hi = std::min(r, width - 1 - j);
            std::size_t k = 0;
            for (long long dy = dy_lo; dy <= dy_hi; ++dy)
                for (long long dx = dx_lo; dx <= dx_hi; ++dx)
                    values[k++] = src_arr[(i + dy) * width + (j + dx)];

            // Exchange sort, ascending.
            for (std::size_t a = 0; a + 1 < k; ++a)
                for (std::size_t c = a + 1; c < k; ++c)
                    if (values[c] < values[a]) std::swap(values[a], values[c]);

            for (std::size_t a = 0; a + 1 < k; ++a)
                for (std::size_t c = a + 1; c < k; ++c)
                    if (values[c] < values[a]) error_handler("median");

            dst_arr[i * width + j] = values[k / 2];
        }
    }
}
