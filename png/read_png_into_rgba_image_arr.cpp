#include "dispsmooth/png_codec.h"

#include "common/image_sink.h"
#include "png/png_internal.h"

// Every failure, libpng's included, ends the process with abort() after
// the reader's message.
void read_png_into_rgba_image_arr(const char *filename, int *pw, int *ph, int **pimage_arr,
                                  int **palpha_arr) {
    dispsmooth::int_arrays arrays;
    arrays.want_rgb = true;
    arrays.want_alpha = true;
    dispsmooth::read_int_arrays_or_end(dispsmooth::png_detail::try_read_png, filename, &arrays,
                                       true);
    *pw = arrays.width;
    *ph = arrays.height;
    *pimage_arr = arrays.rgb;
    *palpha_arr = arrays.alpha;
}
