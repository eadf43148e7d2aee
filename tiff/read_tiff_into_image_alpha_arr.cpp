#include "dispsmooth/tiff_codec.h"

#include "common/alloc.h"
#include "tiff/tiff_internal.h"

#include <tiffio.h>

#include <cstddef>
#include <cstdlib>

void read_tiff_into_image_alpha_arr(const char *filename, int *pw, int *ph, int **pimage_arr,
                                    int **palpha_arr) {
    int w = 0;
    int h = 0;
    std::uint32_t *raster = dispsmooth::tiff_detail::read_tiff_raster(filename, 4, &w, &h);

    const std::size_t pixels = static_cast<std::size_t>(w) * static_cast<std::size_t>(h);
    auto *image_arr = static_cast<int *>(dispsmooth::checked_file_calloc(
        pixels, sizeof(int), "the image array", filename, dispsmooth::on_failure::exit_status_1));
    auto *alpha_arr = static_cast<int *>(dispsmooth::checked_file_calloc(
        pixels, sizeof(int), "the alpha array", filename, dispsmooth::on_failure::exit_status_1));

    for (std::size_t ind = 0; ind < pixels; ++ind) {
        image_arr[ind] = static_cast<int>(TIFFGetR(raster[ind]));
        alpha_arr[ind] = static_cast<int>(TIFFGetA(raster[ind]));
    }

    std::free(raster);
    *pw = w;
    *ph = h;
    *pimage_arr = image_arr;
    *palpha_arr = alpha_arr;
}
