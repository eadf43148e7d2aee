// The engine of weighted_median_fast, which also takes the guide already
// repacked (see guide_rows.h), as the fast composition of the smoothing
// builds it.
#ifndef DISPSMOOTH_SMOOTHING_FAST_RUN_WEIGHTED_MEDIAN_FAST_H
#define DISPSMOOTH_SMOOTHING_FAST_RUN_WEIGHTED_MEDIAN_FAST_H

#include <cstdint>

#include "smoothing/fast/settle_stats.h"

namespace dispsmooth {

// weighted_median_fast on the guide guide_arr, or, when packed_guide is not
// null, on that repacked guide (height rows of packed_row_bytes(width)
// bytes; guide_arr is then not read).  When stats is not null it receives
// the counts of this call.
void run_weighted_median_fast(int width, int height, const int *guide_arr,
                              const std::uint8_t *packed_guide, const int *disp_arr, int min_d,
                              int max_d, int radius, double sigma_space, double sigma_color,
                              int *result_arr, settle_stats *stats = nullptr);

}  // namespace dispsmooth

#endif
