// The same result as smooth_disparity_weighted_median_reference to the last
// bit, computed faster.  For a reference image of 0..255 values (every image
// the readers yield), the 3x3 median of each channel is written straight into
// the compact guide rows the fast weighted median reads, instead of going
// through three channel arrays, three filtered ones and an int guide; other
// values take the same steps as the reference through median_fast and
// weighted_median_fast.
#include "smoothing/smooth_disparity_fast.h"

#include <cstddef>
#include <cstdint>

#include "common/buffer.h"
#include "common/call_settings.h"
#include "common/parallel.h"
#include "dispsmooth/smoothing.h"
#include "smoothing/fast/guide_rows.h"
#include "smoothing/fast/pack_filtered_guide.h"
#include "smoothing/fast/run_weighted_median_fast.h"
#include "smoothing/smooth_with_routines.h"

void dispsmooth::smooth_disparity_fast(int width, int height, const int *image_arr, int *disp_arr,
                                       int min_d, int max_d, int radius, double sigma_space,
                                       double sigma_color, settle_stats *stats,
                                       masked_levels mask) {
    if (stats != nullptr) *stats = settle_stats{};
    // No pixels: the map stays as it is.
    if (width <= 0 || height <= 0) return;
    const std::size_t n = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);

    auto packed = allocate_buffer<std::uint8_t>(
        packed_row_bytes(width) * static_cast<std::size_t>(height), "guide image");
    if (!pack_filtered_guide(width, height, image_arr, packed.get())) {
        packed.reset();
        // weighted_median_fast, with the counts passed along.
        smooth_with_routines(
            width, height, image_arr, disp_arr, min_d, max_d, radius, sigma_space, sigma_color,
            median_fast,
            [stats, mask](int w, int h, const int *guide_arr, const int *map, int lo, int hi, int r,
                          double ss, double sc, int *result_arr) {
                run_weighted_median_fast(w, h, guide_arr, nullptr, map, lo, hi, r, ss, sc,
                                         result_arr, stats, mask);
            });
        return;
    }

    // Every output value comes from the unchanged input map.
    auto result = allocate_buffer<int>(n, "smoothed disparity map");
    run_weighted_median_fast(width, height, nullptr, packed.get(), disp_arr, min_d, max_d, radius,
                             sigma_space, sigma_color, result.get(), stats, mask);
    // A cancelled call leaves the map as it was.
    if (call_cancelled()) return;
    const int threads = n >= (std::size_t{1} << 18) ? thread_count_for_call() : 1;
    for_each_chunk(threads, height, (height + threads - 1) / threads,
                   [&](int, long long begin, long long end) {
                       for (std::size_t p = static_cast<std::size_t>(begin) * width,
                                        last = static_cast<std::size_t>(end) * width;
                            p < last; ++p)
                           disp_arr[p] = result[p];
                   });
}
