#include "dispsmooth/png_codec.h"

#include "png/png_internal.h"

#include <cstddef>

namespace {

struct rgba_source {
    const int *image_arr;
    const int *alpha_arr;
};

// R, G, B, A per pixel, each the low 8 bits of the int sample.
void fill_rgba_row(unsigned char *row, int y, int width, const void *pixels) {
    const rgba_source *source = static_cast<const rgba_source *>(pixels);
    for (int x = 0; x < width; ++x) {
        const std::ptrdiff_t ind = static_cast<std::ptrdiff_t>(y) * width + x;
        const int *const rgb = source->image_arr + 3 * ind;
        unsigned char *const px = row + 4 * static_cast<std::ptrdiff_t>(x);
        px[0] = static_cast<unsigned char>(rgb[0]);
        px[1] = static_cast<unsigned char>(rgb[1]);
        px[2] = static_cast<unsigned char>(rgb[2]);
        px[3] = static_cast<unsigned char>(source->alpha_arr[ind]);
    }
}

}  // namespace

void write_rgba_image_arr_into_png(const char *filename, int width, int height,
                                   const int *image_arr, const int *alpha_arr) {
    const rgba_source source = {image_arr, alpha_arr};
    dispsmooth::codec_failure failure;
    if (!dispsmooth::png_detail::try_write_png_rows(filename, width, height, 6, 8, 4, fill_rgba_row,
                                                    &source, &failure))
        dispsmooth::end_process_after(failure, true);
}
