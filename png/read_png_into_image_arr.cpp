#include "dispsmooth/png_codec.h"

#include "common/gray_to_rgb.h"

#include <cstdlib>

// The red sample of each pixel: the grey level of a greyscale file (which
// reads with R = G = B), the red channel of a colour one; not a luminance.
void read_png_into_image_arr(const char *filename, int *pw, int *ph, int **pimage_arr) {
    int width = 0;
    int height = 0;
    int *rgb_image_arr = nullptr;
    read_png_into_rgb_image_arr(filename, &width, &height, &rgb_image_arr);

    // The core reader has already checked width * height * 3 against int.
    int *image_arr = dispsmooth::red_of_rgb(width, height, rgb_image_arr, "the gray image array",
                                            filename, dispsmooth::on_failure::abort_process);

    *pw = width;
    *ph = height;
    *pimage_arr = image_arr;
    std::free(rgb_image_arr);
}
