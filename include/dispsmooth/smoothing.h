// Guided weighted-median smoothing of disparity maps, and pixel conversions.
//
// Arrays are plain int blocks, row-major, with the pixel in row y and column
// x at index y * width + x.  RGB image arrays hold three ints per pixel (R, G,
// B).  None of these routines keep or free the caller's arrays.
#ifndef DISPSMOOTH_SMOOTHING_H
#define DISPSMOOTH_SMOOTHING_H

// Replaces every disparity of disp_arr (width x height, values in
// min_d..max_d) by the weighted median of its (2 radius + 1)^2 window.  The
// weight of a neighbour at offset (dx, dy) with squared colour distance C in
// the 3x3-median-filtered reference image is
//     exp(-(C / (sigma_color^2) + (dx^2 + dy^2) / (sigma_space^2))).
// Every output value is computed from the input map.  Windows are clipped
// to the image, so a radius larger than the image costs no more than one
// covering it.  An image with no pixels (width or height <= 0) leaves the map
// as it was.  Internal failures end the process through error_handler: a zero
// or undefined total weight ("median_histo": sigma 0, negative radius),
// disparities outside min_d..max_d ("weighted_histo"), min_d > max_d
// ("weighted_median").  A refused allocation ends the process with a message
// and exit status 1.
void smooth_disparity_weighted_median(int width, int height, const int *image_arr, int *disp_arr,
                                      int min_d, int max_d, int radius, double sigma_space,
                                      double sigma_color);

// The same smoothing through the straightforward routines median and
// weighted_median (one exponential per window pixel), with the same results
// and failures: the reference that the fast routines are checked and
// measured against.
void smooth_disparity_weighted_median_reference(int width, int height, const int *image_arr,
                                                int *disp_arr, int min_d, int max_d, int radius,
                                                double sigma_space, double sigma_color);

// Weighted median of every pixel's window: result_arr[i * width + j] receives
// min_d + median_histo() of the window's weighted histogram.  min_d > max_d
// ends the process through error_handler("weighted_median"); an image with no
// pixels writes nothing.
void weighted_median(int width, int height, const int *guide_arr, const int *disp_arr, int min_d,
                     int max_d, int radius, double sigma_space, double sigma_color,
                     int *result_arr);

// Gives results identical to weighted_median, bit for bit, for every input,
// with the same fatal errors, computed faster and with rows shared among
// threads started for the call (one per processor, or the first value of
// OMP_NUM_THREADS; at most 1024); the result does not depend on the thread
// count.  Beyond one histogram and at most about 1 MiB of window scratch per
// thread it uses at most 40 MiB of remembered weights and 16 MiB of repacked
// guide rows, whatever the radius.
void weighted_median_fast(int width, int height, const int *guide_arr, const int *disp_arr,
                          int min_d, int max_d, int radius, double sigma_space, double sigma_color,
                          int *result_arr);

// Fills histo (max_d - min_d + 1 doubles) with the summed weights of the
// disparities in the window of pixel (i, j), the window clipped to the image.
// min_d > max_d, a window disparity outside min_d..max_d or a pixel (i, j)
// outside the image end the process through error_handler("weighted_histo").
void weighted_histo(int width, int height, const int *guide_arr, const int *disp_arr, int min_d,
                    int max_d, int radius, double sigma_space, double sigma_color, int i, int j,
                    double *histo);

// Index k of the weighted median of histo (max_d - min_d + 1 entries): the
// first index whose cumulative weight reaches half the total; on an exact
// split the lower index wins.  min_d > max_d, a total weight that is not
// positive (zero, negative or not a number) or an index search that runs off
// the end ends the process through error_handler("median_histo").
int median_histo(int min_d, int max_d, const double *histo);

// Squared colour distance between pixels (i1, j1) and (i2, j2) of an RGB
// guide image.  height is not used.  Computed in 64 bits: a sum too large for
// int (possible only for samples far outside 0..255) saturates to INT_MAX.
int color_distance_squared(int width, int height, const int *guide_arr, int i1, int j1, int i2,
                           int j2);

// Square-window median of one channel: dst_arr receives, for every pixel, the
// element k / 2 of the sorted k values of the window clipped to the image.
// An image with no pixels writes nothing; a negative radius (empty windows)
// ends the process through error_handler("median").
void median(int width, int height, const int *src_arr, int radius, int *dst_arr);

// Gives results identical to median for every input, with the same fatal
// errors, computed faster (a vectorised 3x3 median inside the image) and with
// rows shared among threads as above.
void median_fast(int width, int height, const int *src_arr, int radius, int *dst_arr);

// Writes "FATAL ERROR in <routine>" to standard error and ends the process
// abnormally at once.
[[noreturn]] void error_handler(const char *routine);

// Relative luminance of every pixel of an RGB image array:
// gray_arr[p] = (R * 6969 + G * 23434 + B * 2365) * 2^-15, not rounded.
// Width or height <= 0 writes nothing.
void rgb_to_grayscale(int width, int height, const int *image_arr, double *gray_arr);

// Linear rescaling onto 0..255: dst_arr[i] = (int)(((src_arr[i] - a) / (b - a)) * 255),
// computed in double, truncated toward zero and not clamped to 0..255.  A
// scaled value beyond the range of int saturates to INT_MIN / INT_MAX.  n <= 0
// writes nothing; a == b (otherwise) ends the process through
// error_handler("normalize_image").
void normalize_image(const int *src_arr, int *dst_arr, int n, int a, int b);

#endif
