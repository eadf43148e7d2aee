// smooth_disparity_weighted_median step by step through the straightforward
// routines median and weighted_median.  Kept as the yardstick of the fast
// routines: the differential tests compare against it and the benchmark
// measures it.
#include "dispsmooth/smoothing.h"

#include "smoothing/smooth_with_routines.h"

void smooth_disparity_weighted_median_reference(int width, int height, const int *image_arr,
                                                int *disp_arr, int min_d, int max_d, int radius,
                                                double sigma_space, double sigma_color) {
    dispsmooth::smooth_with_routines(width, height, image_arr, disp_arr, min_d, max_d, radius,
                                     sigma_space, sigma_color, median, weighted_median);
}
