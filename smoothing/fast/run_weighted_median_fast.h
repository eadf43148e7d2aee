// The engine of weighted_median_fast, which also takes the guide already
// repacked (see guide_rows.h), as the fast composition of the smoothing
// builds it.
#ifndef DISPSMOOTH_SMOOTHING_FAST_RUN_WEIGHTED_MEDIAN_FAST_H
#define DISPSMOOTH_SMOOTHING_FAST_RUN_WEIGHTED_MEDIAN_FAST_H

#include <cstdint>

#include "smoothing/fast/settle_stats.h"

namespace dispsmooth {

// How a call treats invalid pixels.  In a masked call the levels of valid
// pixels lie in 0..max_d (min_d must be 0) and every invalid pixel holds -1:
// an invalid neighbour adds nothing to a window (as a weight of +0.0 would,
// which changes no sum), so a valid pixel receives the weighted median of the
// valid pixels of its window.  An invalid pixel receives -1, unless fill is
// set: it then receives the same weighted median over its window (its own
// guide colour at the centre), or -1 where the valid pixels of its window
// weigh nothing in all.  The disparities are not checked against the range.
//
// coarse_shift (levels of 0 and more only, below 2^24) lets the first pass
// settle bins of 2^coarse_shift levels, then each such lane the level
// inside its bin (settle_within_bins): for levels that spread over many
// values in each window, such as sub-pixel ones.
struct masked_levels {
    bool masked = false;
    bool fill = false;
    int coarse_shift = 0;
};

// weighted_median_fast on the guide guide_arr, or, when packed_guide is not
// null, on that repacked guide (height rows of packed_row_bytes(width)
// bytes; guide_arr is then not read).  When stats is not null it receives
// the counts of this call.
void run_weighted_median_fast(int width, int height, const int *guide_arr,
                              const std::uint8_t *packed_guide, const int *disp_arr, int min_d,
                              int max_d, int radius, double sigma_space, double sigma_color,
                              int *result_arr, settle_stats *stats = nullptr,
                              masked_levels mask = {});

}  // namespace dispsmooth

#endif
