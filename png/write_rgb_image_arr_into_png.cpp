#include "dispsmooth/png_codec.h"

#include "png/png_internal.h"

#include <cstddef>

namespace {

// R, G, B per pixel, each the low 8 bits of the int sample.
void fill_rgb_row(unsigned char *row, int y, int width, const void *pixels) {
    const int *image_arr = static_cast<const int *>(pixels);
    for (int x = 0; x < width; ++x) {
        const int *const rgb = image_arr + 3 * (static_cast<std::ptrdiff_t>(y) * width + x);
        unsigned char *const px = row + 3 * static_cast<std::ptrdiff_t>(x);
        px[0] = static_cast<unsigned char>(rgb[0]);
        px[1] = static_cast<unsigned char>(rgb[1]);
        px[2] = static_cast<unsigned char>(rgb[2]);
    }
}

}  // namespace

void write_rgb_image_arr_into_png(const char *filename, int width, int height,
                                  const int *image_arr) {
    dispsmooth::codec_failure failure;
    if (!dispsmooth::png_detail::try_write_png_rows(filename, width, height, 2, 8, 3, fill_rgb_row,
                                                    image_arr, &failure))
        dispsmooth::end_process_after(failure, true);
}
