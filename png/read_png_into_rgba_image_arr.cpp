#include "dispsmooth/png_codec.h"

#include "png/png_internal.h"

// Every failure, libpng's included, ends the process with abort() after
// the reader's message.
void read_png_into_rgba_image_arr(const char *filename, int *pw, int *ph, int **pimage_arr,
                                  int **palpha_arr) {
    dispsmooth::codec_failure failure;
    if (!dispsmooth::png_detail::try_read_png_rgba(filename, pw, ph, pimage_arr, palpha_arr,
                                                   &failure))
        dispsmooth::end_process_after(failure, true);
}
