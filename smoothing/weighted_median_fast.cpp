#include "dispsmooth/smoothing.h"

#include "smoothing/fast/run_weighted_median_fast.h"

void weighted_median_fast(int width, int height, const int *guide_arr, const int *disp_arr,
                          int min_d, int max_d, int radius, double sigma_space, double sigma_color,
                          int *result_arr) {
    dispsmooth::run_weighted_median_fast(width, height, guide_arr, nullptr, disp_arr, min_d, max_d,
                                         radius, sigma_space, sigma_color, result_arr);
}
