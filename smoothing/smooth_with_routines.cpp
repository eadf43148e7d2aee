#include "smoothing/smooth_with_routines.h"

#include <cstddef>

#include "common/buffer.h"
#include "common/call_settings.h"

namespace dispsmooth {

void smooth_with_routines(int width, int height, const int *image_arr, int *disp_arr, int min_d,
                          int max_d, int radius, double sigma_space, double sigma_color,
                          median_routine median_of_channel,
                          const weighted_median_routine &weighted_median_of_map) {
    // No pixels: the map stays as it is.
    if (width <= 0 || height <= 0) return;
    const std::size_t n = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);

    buffer_ptr<int> channel[3], filtered[3];
    for (int c = 0; c < 3; ++c) {
        channel[c] = allocate_buffer<int>(n, "colour channel");
        for (std::size_t p = 0; p < n; ++p) channel[c][p] = image_arr[3 * p + c];
    }

    // 3x3 median of each channel, R, G, B in turn.
    for (int c = 0; c < 3; ++c) {
        filtered[c] = allocate_buffer<int>(n, "filtered colour channel");
        median_of_channel(width, height, channel[c].get(), 1, filtered[c].get());
    }

    auto guide = allocate_buffer<int>(n * 3, "guide image");
    for (std::size_t p = 0; p < n; ++p)
        for (int c = 0; c < 3; ++c) guide[3 * p + c] = filtered[c][p];

    // Every output value comes from the unchanged input map.
    auto result = allocate_buffer<int>(n, "smoothed disparity map");
    weighted_median_of_map(width, height, guide.get(), disp_arr, min_d, max_d, radius, sigma_space,
                           sigma_color, result.get());
    // A cancelled call leaves the map as it was.
    if (call_cancelled()) return;
    for (std::size_t p = 0; p < n; ++p) disp_arr[p] = result[p];
}

}  // namespace dispsmooth
