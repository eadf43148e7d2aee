// Gray images written as RGB with R = G = B, as the JPEG and PNG gray
// writers store them.
#ifndef DISPSMOOTH_COMMON_GRAY_TO_RGB_H
#define DISPSMOOTH_COMMON_GRAY_TO_RGB_H

#include "common/checked_alloc.h"

namespace dispsmooth {

// A zero-filled copy of width x height RGB pixels whose three values are each
// the gray value of image_arr, allocated by checked_calloc (what, policy) and
// released by the caller with free().  A size with no pixels (width or
// height not above 0) gives an empty block.  The caller has checked that
// 3 * width * height fits an int.
int *gray_to_rgb(int width, int height, const int *image_arr, const char *what, on_failure policy);

}  // namespace dispsmooth

#endif
