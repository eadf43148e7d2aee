#include "dispsmooth/jpeg_codec.h"

#include "common/image_sink.h"
#include "jpeg/jpeg_internal.h"

// The red sample of every pixel, which for a greyscale file is the grey
// level, decoded straight into the gray array.  Every failure ends the
// process with abort() after the reader's message.
void read_jpeg_into_image_arr(const char *filename, int *pw, int *ph, int **pimage_arr) {
    dispsmooth::int_arrays arrays;
    arrays.gray_what = "the gray image array";
    dispsmooth::read_int_arrays_or_end(dispsmooth::jpeg_detail::try_read_jpeg, filename, &arrays,
                                       true);
    *pw = arrays.width;
    *ph = arrays.height;
    *pimage_arr = arrays.gray;
}
