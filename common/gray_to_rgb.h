// Gray images as RGB and back.  The JPEG and PNG gray writers store a gray
// image as RGB with R = G = B; the PNG and JPEG gray readers, and the
// interface's, keep the red sample of each pixel (the grey level of a
// greyscale file, which reads with R = G = B; the red channel of a colour
// one; not a luminance).
#ifndef DISPSMOOTH_COMMON_GRAY_TO_RGB_H
#define DISPSMOOTH_COMMON_GRAY_TO_RGB_H

#include <cstddef>

#include "common/alloc.h"

namespace dispsmooth {

// rgb[3p], rgb[3p + 1] and rgb[3p + 2] = gray[p], for every p < pixels.
void fill_rgb_from_gray(std::size_t pixels, const int *gray, int *rgb);

// gray[p] = rgb[3p], for every p < pixels.
void fill_red_of_rgb(std::size_t pixels, const int *rgb, int *gray);

// A zero-filled copy of width x height RGB pixels whose three values are each
// the gray value of image_arr, allocated by checked_calloc (what, policy) and
// released by the caller with free().  A size with no pixels (width or
// height not above 0) gives an empty block.  The caller has checked that
// 3 * width * height fits an int.
int *gray_to_rgb(int width, int height, const int *image_arr, const char *what, on_failure policy);

// The red samples of width x height RGB pixels, allocated by
// checked_file_calloc (what, filename, policy) and released with free().
int *red_of_rgb(int width, int height, const int *rgb_image_arr, const char *what,
                const char *filename, on_failure policy);

}  // namespace dispsmooth

#endif
