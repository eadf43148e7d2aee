#include "dispsmooth/jpeg_codec.h"

#include "common/gray_to_rgb.h"

#include <cstdlib>

// Decodes through the RGB reader and keeps the red sample of every pixel,
// which for a greyscale file is the grey level.  The RGB reader has already
// refused sizes whose width * height * 3 overflows an int.
void read_jpeg_into_image_arr(const char *filename, int *pw, int *ph, int **pimage_arr) {
    int width = 0;
    int height = 0;
    int *rgb_image_arr = nullptr;
    read_jpeg_into_rgb_image_arr(filename, &width, &height, &rgb_image_arr);

    int *image_arr = dispsmooth::red_of_rgb(width, height, rgb_image_arr, "the gray image array",
                                            filename, dispsmooth::on_failure::abort_process);

    *pw = width;
    *ph = height;
    *pimage_arr = image_arr;
    std::free(rgb_image_arr);
}
