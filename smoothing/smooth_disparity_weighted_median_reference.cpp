// smooth_disparity_weighted_median step by step through the straightforward
// routines median and weighted_median.  Kept as the yardstick of the fast
// routines: the differential tests compare against it and the benchmark
// measures it.
#include "dispsmooth/smoothing.h"

#include <cstddef>

#include "buffer.h"

void smooth_disparity_weighted_median_reference(int width, int height, const int *image_arr,
                                                int *disp_arr, int min_d, int max_d, int radius,
                                                double sigma_space, double sigma_color) {
    // No pixels: the map stays as it is.
    if (width <= 0 || height <= 0) return;
    const std::size_t n = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);

    using dispsmooth::allocate_buffer;
    using dispsmooth::buffer_ptr;
    buffer_ptr<int> channel[3], filtered[3];
    for (int c = 0; c < 3; ++c) {
        channel[c] = allocate_buffer<int>(n, "colour channel");
        for (std::size_t p = 0; p < n; ++p) channel[c][p] = image_arr[3 * p + c];
    }

    // 3x3 median of each channel, R, G, B in turn.
    for (int c = 0; c < 3; ++c) {
        filtered[c] = allocate_buffer<int>(n, "filtered colour channel");
        median(width, height, channel[c].get(), 1, filtered[c].get());
    }

    auto guide = allocate_buffer<int>(n * 3, "guide image");
    for (std::size_t p = 0; p < n; ++p)
        for (int c = 0; c < 3; ++c) guide[3 * p + c] = filtered[c][p];

    // Every output value comes from the unchanged input map.
    auto result = allocate_buffer<int>(n, "smoothed disparity map");
    weighted_median(width, height, guide.get(), disp_arr, min_d, max_d, radius, sigma_space,
                    sigma_color, result.get());
    for (std::size_t p = 0; p < n; ++p) disp_arr[p] = result[p];
}
