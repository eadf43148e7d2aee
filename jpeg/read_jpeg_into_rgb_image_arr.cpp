#include "dispsmooth/jpeg_codec.h"

#include "common/image_sink.h"
#include "jpeg/jpeg_internal.h"

// Every failure, the library's included, ends the process with abort()
// after the reader's message.
void read_jpeg_into_rgb_image_arr(const char *filename, int *pw, int *ph, int **pimage_arr) {
    dispsmooth::int_arrays arrays;
    arrays.want_rgb = true;
    dispsmooth::read_int_arrays_or_end(dispsmooth::jpeg_detail::try_read_jpeg, filename, &arrays,
                                       true);
    *pw = arrays.width;
    *ph = arrays.height;
    *pimage_arr = arrays.rgb;
}
