#include "dispsmooth/tiff_codec.h"

#include "common/alloc.h"
#include "tiff/tiff_internal.h"

#include <cstddef>
#include <cstdlib>

void read_tiff_into_rgb_image_arr(const char *filename, int *pw, int *ph, int **pimage_arr) {
    int w = 0;
    int h = 0;
    std::uint32_t *raster = dispsmooth::tiff_detail::read_tiff_raster(filename, 12, &w, &h);

    const std::size_t pixels = static_cast<std::size_t>(w) * static_cast<std::size_t>(h);
    auto *image_arr = static_cast<int *>(
        dispsmooth::checked_file_calloc(pixels * 3, sizeof(int), "the RGB image array", filename,
                                        dispsmooth::on_failure::exit_status_1));

    // Alpha is dropped.
    dispsmooth::tiff_detail::fill_rgb_from_raster(pixels, raster, image_arr);

    std::free(raster);
    *pw = w;
    *ph = h;
    *pimage_arr = image_arr;
}
