#include "dispsmooth/smoothing.h"

#include "smooth_with_routines.h"

// The fast routines give the results of median and weighted_median to the
// last bit; smooth_disparity_weighted_median_reference runs the same steps
// through the straightforward ones.
void smooth_disparity_weighted_median(int width, int height, const int *image_arr, int *disp_arr,
                                      int min_d, int max_d, int radius, double sigma_space,
                                      double sigma_color) {
    dispsmooth::smooth_with_routines(width, height, image_arr, disp_arr, min_d, max_d, radius,
                                     sigma_space, sigma_color, median_fast, weighted_median_fast);
}
