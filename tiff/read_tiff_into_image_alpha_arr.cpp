#include "dispsmooth/tiff_codec.h"

#include "checked_alloc.h"
#include "tiff_internal.h"

#include <tiffio.h>

#include <cstddef>
#include <string>

void read_tiff_into_image_alpha_arr(const char *filename, int *pw, int *ph, int **pimage_arr,
                                    int **palpha_arr) {
    int w = 0;
    int h = 0;
    std::uint32_t *raster = dispsmooth::read_tiff_raster(filename, 4, &w, &h);

    const std::size_t pixels = static_cast<std::size_t>(w) * static_cast<std::size_t>(h);
    const std::string image_what = std::string("the image array of \"") + filename + "\"";
    const std::string alpha_what = std::string("the alpha array of \"") + filename + "\"";
    auto *image_arr = static_cast<int *>(dispsmooth::checked_calloc(
        pixels, sizeof(int), image_what.c_str(), dispsmooth::on_failure::exit_status_1));
    auto *alpha_arr = static_cast<int *>(dispsmooth::checked_calloc(
        pixels, sizeof(int), alpha_what.c_str(), dispsmooth::on_failure::exit_status_1));

    for (std::size_t ind = 0; ind < pixels; ++ind) {
        image_arr[ind] = static_cast<int>(TIFFGetR(raster[ind]));
        alpha_arr[ind] = static_cast<int>(TIFFGetA(raster[ind]));
    }

    _TIFFfree(raster);
    *pw = w;
    *ph = h;
    *pimage_arr = image_arr;
    *palpha_arr = alpha_arr;
}
