#include "tiff/tiff_internal.h"

namespace dispsmooth {

std::uint32_t *read_tiff_raster(const char *filename, int array_bytes_per_pixel, int *pw, int *ph) {
    codec_failure failure;
    std::uint32_t *raster = try_read_tiff_raster(filename, array_bytes_per_pixel, pw, ph, &failure);
    if (raster == nullptr) end_process_after(failure, false);
    return raster;
}

}  // namespace dispsmooth
