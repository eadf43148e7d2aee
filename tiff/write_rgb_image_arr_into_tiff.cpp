#include "dispsmooth/tiff_codec.h"

#include "tiff/tiff_internal.h"

void write_rgb_image_arr_into_tiff(const char *file_name, int width, int heigh,
                                   const int *image_arr) {
    // No alpha array: the fourth sample of every pixel is 255.
    dispsmooth::codec_failure failure;
    if (!dispsmooth::tiff_detail::try_pack_and_write_tiff(file_name, width, heigh, image_arr, 3,
                                                          nullptr, &failure))
        dispsmooth::end_process_after(failure, false);
}
