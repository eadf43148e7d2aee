// Disparity maps as stereo matchers produce them: integer levels in any
// range, some pixels invalid, and invalid pixels optionally filled.
//
// The result of every pixel p:
// - p valid: the weighted median of the valid pixels of its clipped window,
//   with the weights, the per-level summation in window scan order, the
//   total, the search and the tie rule (the lower level) of weighted_histo
//   and median_histo; invalid pixels add nothing, as a weight of +0.0 would.
//   The guide is the 3x3 median of the reference image whatever the
//   validity.
// - p invalid, fill not set: p keeps its value and stays invalid.
// - p invalid, fill set: the same weighted median over the valid pixels of
//   its own window, with its own guide colour at the centre; p stays invalid
//   where the valid pixels of its window weigh nothing in all (in
//   particular where there are none).
// With every pixel valid the result is smooth_disparity_weighted_median's.
#ifndef DISPSMOOTH_SMOOTHING_LEVELS_H
#define DISPSMOOTH_SMOOTHING_LEVELS_H

#include <cstddef>
#include <cstdint>

#include "common/buffer.h"
#include "smoothing/fast/settle_stats.h"

namespace dispsmooth {

// The most distinct valid levels one map may hold: the histograms of the
// smoothing have one bin per distinct level, 8 bytes each per thread, so
// this caps them at 32 MiB a thread whatever min_d..max_d is.
inline constexpr std::size_t max_ranked_levels = std::size_t{1} << 22;

// Ranges up to this many levels are ranked through a table of one rank per
// level (at most 4 MiB); wider ones by sorting the map's levels.
inline constexpr long long max_rank_table_levels = 1LL << 20;

// The distinct valid levels of a map in ascending order, and every pixel's
// rank among them (-1 for an invalid pixel).  Ranks keep the order of the
// levels, so a histogram over ranks has the same non-zero bins in the same
// order as one over the levels, and the same sums, search and ties.
struct ranked_levels {
    std::size_t count = 0;   // distinct valid levels
    buffer_ptr<int> levels;  // count levels, ascending
    buffer_ptr<int> ranks;   // one per pixel
};

// Ranks the n levels of disp_arr (valid ones in min_d..max_d; valid null
// for every pixel valid, else nonzero marks a valid pixel).  The ranks are
// formed only when count <= max_ranked_levels; otherwise ranks is null.
ranked_levels rank_levels(std::size_t n, const int *disp_arr, const std::uint8_t *valid, int min_d,
                          int max_d);

// The smoothing defined above, computed through the fast engine on the
// ranks of the map's levels.  disp_arr is replaced by the result; valid_arr
// (null: every pixel valid) marks on return the pixels that hold a level
// (the valid ones and the filled ones).  Valid levels must lie in
// min_d..max_d (else the process ends through error_handler, as
// smooth_disparity_weighted_median's other failures end it).  Returns
// false, having changed nothing and smoothed nothing, for a map of more
// than max_ranked_levels distinct valid levels.
bool smooth_levels(int width, int height, const int *image_arr, int *disp_arr,
                   std::uint8_t *valid_arr, int min_d, int max_d, int radius, double sigma_space,
                   double sigma_color, bool fill, settle_stats *stats = nullptr);

// The same evaluated straight from the definition, with a per-level sum
// over the valid pixels of each window: the yardstick of the tests.
void smooth_levels_reference(int width, int height, const int *image_arr, int *disp_arr,
                             std::uint8_t *valid_arr, int min_d, int max_d, int radius,
                             double sigma_space, double sigma_color, bool fill);

}  // namespace dispsmooth

#endif
