#include "dispsmooth/tiff_codec.h"

#include "tiff/tiff_internal.h"

void write_rgba_image_arr_into_tiff(const char *file_name, int width, int heigh,
                                    const int *image_arr, const int *alpha_arr) {
    dispsmooth::codec_failure failure;
    if (!dispsmooth::tiff_detail::try_pack_and_write_tiff(file_name, width, heigh, image_arr, 3,
                                                          alpha_arr, &failure))
        dispsmooth::end_process_after(failure, false);
}
