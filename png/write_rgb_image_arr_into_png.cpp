#include "dispsmooth/png_codec.h"

#include "png_internal.h"

namespace {

// R, G, B per pixel, each the low 8 bits of the int sample.
void fill_rgb_row(unsigned char *row, int y, int width, const void *pixels) {
    const int *image_arr = static_cast<const int *>(pixels);
    for (int x = 0; x < width; ++x) {
        const int ind = y * width + x;
        row[3 * x] = static_cast<unsigned char>(image_arr[3 * ind]);
        row[3 * x + 1] = static_cast<unsigned char>(image_arr[3 * ind + 1]);
        row[3 * x + 2] = static_cast<unsigned char>(image_arr[3 * ind + 2]);
    }
}

}  // namespace

void write_rgb_image_arr_into_png(const char *filename, int width, int height,
                                  const int *image_arr) {
    dispsmooth::codec_failure failure;
    if (!dispsmooth::png_detail::write_png_rows(filename, width, height, 2, 3, fill_rgb_row,
                                                image_arr, &failure))
        dispsmooth::end_process_after(failure, true);
}
