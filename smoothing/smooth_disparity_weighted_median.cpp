#include "dispsmooth/smoothing.h"

#include "smoothing/smooth_disparity_fast.h"

void smooth_disparity_weighted_median(int width, int height, const int *image_arr, int *disp_arr,
                                      int min_d, int max_d, int radius, double sigma_space,
                                      double sigma_color) {
    dispsmooth::smooth_disparity_fast(width, height, image_arr, disp_arr, min_d, max_d, radius,
                                      sigma_space, sigma_color);
}
