#include "dispsmooth/png_codec.h"

#include "common/image_sink.h"
#include "png/png_internal.h"

// The colour samples as stored; alpha is dropped, not composited.  Every
// failure ends the process with abort() after the reader's message.
void read_png_into_rgb_image_arr(const char *filename, int *pw, int *ph, int **pimage_arr) {
    dispsmooth::int_arrays arrays;
    arrays.want_rgb = true;
    dispsmooth::read_int_arrays_or_end(dispsmooth::png_detail::try_read_png, filename, &arrays,
                                       true);
    *pw = arrays.width;
    *ph = arrays.height;
    *pimage_arr = arrays.rgb;
}
