#include "dispsmooth/png_codec.h"

#include "checked_alloc.h"

#include <cstdio>
#include <cstdlib>

// A gray image goes out as truecolour with R = G = B, never as a greyscale
// PNG.
void write_image_arr_into_png(const char *filename, int width, int height, const int *image_arr) {
    if (!dispsmooth::fits_int32(width, height, 3)) {
        std::fprintf(stderr, "dispsmooth: cannot write \"%s\": %d x %d pixels is out of range\n",
                     filename, width, height);
        std::abort();
    }
    const std::size_t pixel_count =
        static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    int *image_rgb_arr = static_cast<int *>(
        dispsmooth::checked_calloc(pixel_count, 3 * sizeof(int), "the RGB copy of a gray image",
                                   dispsmooth::on_failure::abort_process));
    for (int i = 0; i < height; ++i) {
        for (int j = 0; j < width; ++j) {
            const int ind = i * width + j;
            image_rgb_arr[3 * ind] = image_arr[ind];
            image_rgb_arr[3 * ind + 1] = image_arr[ind];
            image_rgb_arr[3 * ind + 2] = image_arr[ind];
        }
    }
    write_rgb_image_arr_into_png(filename, width, height, image_rgb_arr);
    std::free(image_rgb_arr);
}
