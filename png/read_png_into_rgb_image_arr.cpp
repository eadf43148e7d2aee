#include "dispsmooth/png_codec.h"

#include <cstdlib>

// The colour samples as stored; alpha is dropped, not composited.
void read_png_into_rgb_image_arr(const char *filename, int *pw, int *ph, int **pimage_arr) {
    int w = 0;
    int h = 0;
    int *image_arr = nullptr;
    int *alpha_arr = nullptr;
    read_png_into_rgba_image_arr(filename, &w, &h, &image_arr, &alpha_arr);
    std::free(alpha_arr);
    *pw = w;
    *ph = h;
    *pimage_arr = image_arr;
}
