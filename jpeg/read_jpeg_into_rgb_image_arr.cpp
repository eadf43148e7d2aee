#include "dispsmooth/jpeg_codec.h"

#include "jpeg/jpeg_internal.h"

// Every failure, the library's included, ends the process with abort()
// after the reader's message.
void read_jpeg_into_rgb_image_arr(const char *filename, int *pw, int *ph, int **pimage_arr) {
    dispsmooth::codec_failure failure;
    if (!dispsmooth::jpeg_detail::try_read_jpeg_rgb(filename, pw, ph, pimage_arr, &failure))
        dispsmooth::end_process_after(failure, true);
}
