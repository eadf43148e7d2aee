#include "dispsmooth/png_codec.h"

#include "common/image_sink.h"
#include "png/png_internal.h"

// The red sample of each pixel: the grey level of a greyscale file (which
// reads with R = G = B), the red channel of a colour one; not a luminance.
// Decoded straight into the gray array.  Every failure ends the process
// with abort() after the reader's message.
void read_png_into_image_arr(const char *filename, int *pw, int *ph, int **pimage_arr) {
    dispsmooth::int_arrays arrays;
    arrays.gray_what = "the gray image array";
    dispsmooth::read_int_arrays_or_end(dispsmooth::png_detail::try_read_png, filename, &arrays,
                                       true);
    *pw = arrays.width;
    *ph = arrays.height;
    *pimage_arr = arrays.gray;
}
