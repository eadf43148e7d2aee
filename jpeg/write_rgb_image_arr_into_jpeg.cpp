#include "dispsmooth/jpeg_codec.h"

#include "jpeg/jpeg_internal.h"

#include <cstdio>
#include <cstdlib>

// Every failure ends the process with exit status 1 after its message.
void write_rgb_image_arr_into_jpeg(const char *filename, int width, int height,
                                   const int *image_arr) {
    dispsmooth::codec_failure failure;
    if (!dispsmooth::jpeg_detail::try_write_jpeg_rgb(filename, width, height, image_arr, &failure))
        dispsmooth::end_process_after(failure, false);
}
