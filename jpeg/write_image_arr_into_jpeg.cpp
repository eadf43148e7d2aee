#include "dispsmooth/jpeg_codec.h"

#include "common/alloc.h"
#include "common/gray_to_rgb.h"

#include <cstdio>
#include <cstdlib>

// A gray image is stored as a three-component JPEG with R = G = B, never as
// a one-component greyscale file.
void write_image_arr_into_jpeg(const char *filename, int width, int height, const int *image_arr) {
    // The RGB writer refuses other bad sizes itself; an overflowing one must
    // be caught before the copy below is sized.
    if (width > 0 && height > 0 && !dispsmooth::fits_int32(width, height, 3)) {
        (void)std::fprintf(stderr, "dispsmooth: cannot write \"%s\": %d x %d pixels is too large\n",
                           filename, width, height);
        std::exit(1);
    }
    int *image_rgb_arr = dispsmooth::gray_to_rgb(width, height, image_arr, "JPEG output array",
                                                 dispsmooth::on_failure::exit_status_1);
    write_rgb_image_arr_into_jpeg(filename, width, height, image_rgb_arr);
    std::free(image_rgb_arr);
}
