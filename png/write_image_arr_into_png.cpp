#include "dispsmooth/png_codec.h"

#include "common/alloc.h"
#include "common/gray_to_rgb.h"

#include <cstdio>
#include <cstdlib>

// A gray image goes out as truecolour with R = G = B, never as a greyscale
// PNG.
void write_image_arr_into_png(const char *filename, int width, int height, const int *image_arr) {
    if (!dispsmooth::fits_int32(width, height, 3)) {
        (void)std::fprintf(stderr,
                           "dispsmooth: cannot write \"%s\": %d x %d pixels is out of range\n",
                           filename, width, height);
        std::abort();
    }
    int *image_rgb_arr =
        dispsmooth::gray_to_rgb(width, height, image_arr, "the RGB copy of a gray image",
                                dispsmooth::on_failure::abort_process);
    write_rgb_image_arr_into_png(filename, width, height, image_rgb_arr);
    std::free(image_rgb_arr);
}
