// The fast composition of smooth_disparity_weighted_median, which also
// reports the counts of its fast weighted median (settle_stats.h) to a
// caller that asks: the benchmarks and the tests.
#ifndef DISPSMOOTH_SMOOTHING_SMOOTH_DISPARITY_FAST_H
#define DISPSMOOTH_SMOOTHING_SMOOTH_DISPARITY_FAST_H

#include "smoothing/fast/run_weighted_median_fast.h"
#include "smoothing/fast/settle_stats.h"

namespace dispsmooth {

// smooth_disparity_weighted_median; when stats is not null it receives the
// counts of this call.  A masked call (see masked_levels) leaves the invalid
// pixels out of every window.
void smooth_disparity_fast(int width, int height, const int *image_arr, int *disp_arr, int min_d,
                           int max_d, int radius, double sigma_space, double sigma_color,
                           settle_stats *stats = nullptr, masked_levels mask = {});

}  // namespace dispsmooth

#endif
