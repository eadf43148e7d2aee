#include "dispsmooth/jpeg_codec.h"

#include "checked_alloc.h"

#include <cstdio>
#include <cstdlib>

// A gray image is stored as a three-component JPEG with R = G = B, never as
// a one-component greyscale file.
void write_image_arr_into_jpeg(const char *filename, int width, int height, const int *image_arr) {
    // The RGB writer refuses other bad sizes itself; an overflowing one must
    // be caught before the copy below is sized.
    if (width > 0 && height > 0 && !dispsmooth::fits_int32(width, height, 3)) {
        std::fprintf(stderr, "dispsmooth: cannot write \"%s\": %d x %d pixels is too large\n",
                     filename, width, height);
        std::exit(1);
    }
    const std::size_t pixels = width > 0 && height > 0 ? static_cast<std::size_t>(width) * height : 0;
    int *image_rgb_arr = static_cast<int *>(dispsmooth::checked_calloc(
        pixels, 3 * sizeof(int), "JPEG output array", dispsmooth::on_failure::exit_status_1));
    for (int i = 0; i < height; i++) {
        for (int j = 0; j < width; j++) {
            const int ind = i * width + j;
            image_rgb_arr[3 * ind] = image_arr[ind];
            image_rgb_arr[3 * ind + 1] = image_arr[ind];
            image_rgb_arr[3 * ind + 2] = image_arr[ind];
        }
    }
    write_rgb_image_arr_into_jpeg(filename, width, height, image_rgb_arr);
    std::free(image_rgb_arr);
}
