// The steps of smooth_disparity_weighted_median with the median and weighted
// median routines as parameters, so that the fast routines and the
// straightforward ones run through one and the same composition.
#ifndef DISPSMOOTH_SMOOTHING_SMOOTH_WITH_ROUTINES_H
#define DISPSMOOTH_SMOOTHING_SMOOTH_WITH_ROUTINES_H

#include <functional>

namespace dispsmooth {

using median_routine = void (*)(int width, int height, const int *src_arr, int radius,
                                int *dst_arr);
// A weighted median routine, or a closure around one (the fast composition
// passes its counts along).
using weighted_median_routine = std::function<void(
    int width, int height, const int *guide_arr, const int *disp_arr, int min_d, int max_d,
    int radius, double sigma_space, double sigma_color, int *result_arr)>;

void smooth_with_routines(int width, int height, const int *image_arr, int *disp_arr, int min_d,
                          int max_d, int radius, double sigma_space, double sigma_color,
                          median_routine median_of_channel,
                          const weighted_median_routine &weighted_median_of_map);

}  // namespace dispsmooth

#endif
