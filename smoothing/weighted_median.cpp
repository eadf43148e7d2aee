#include "dispsmooth/smoothing.h"

#include <cstddef>

#include "common/buffer.h"
#include "smoothing/progress.h"

void weighted_median(int width, int height, const int *guide_arr, const int *disp_arr, int min_d,
                     int max_d, int radius, double sigma_space, double sigma_color,
                     int *result_arr) {
    if (min_d > max_d) error_handler("weighted_median");
    if (width <= 0 || height <= 0) return;

    const std::size_t n = static_cast<std::size_t>(static_cast<long long>(max_d) - min_d + 1);
    auto histo = dispsmooth::allocate_buffer<double>(n, "disparity histogram");
    dispsmooth::progress_meter *const progress = dispsmooth::progress_start(height);
    for (int i = 0; i < height; ++i) {
        for (int j = 0; j < width; ++j) {
            weighted_histo(width, height, guide_arr, disp_arr, min_d, max_d, radius, sigma_space,
                           sigma_color, i, j, histo.get());
            // min_d + k lies in min_d..max_d.  Added modulo 2^32 so that an
            // index beyond INT_MAX (a range wider than int) still lands there.
            const unsigned k = static_cast<unsigned>(median_histo(min_d, max_d, histo.get()));
            result_arr[static_cast<std::ptrdiff_t>(i) * width + j] =
                static_cast<int>(static_cast<unsigned>(min_d) + k);
        }
        dispsmooth::progress_row_done(progress);
    }
    dispsmooth::progress_finish(progress);
}
