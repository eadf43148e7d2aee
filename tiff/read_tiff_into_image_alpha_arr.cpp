#include "dispsmooth/tiff_codec.h"

#include "common/image_sink.h"
#include "tiff/tiff_internal.h"

// The red sample and the alpha of each pixel.  Every failure, libtiff's included, ends the process
// with exit status 1 after the reader's message.
void read_tiff_into_image_alpha_arr(const char *filename, int *pw, int *ph, int **pimage_arr,
                                    int **palpha_arr) {
    dispsmooth::int_arrays arrays;
    arrays.gray_what = "the image array";
    arrays.want_alpha = true;
    dispsmooth::read_int_arrays_or_end(dispsmooth::tiff_detail::try_read_tiff, filename, &arrays,
                                       false);
    *pw = arrays.width;
    *ph = arrays.height;
    *pimage_arr = arrays.gray;
    *palpha_arr = arrays.alpha;
}
