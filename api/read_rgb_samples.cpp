#include <cstdint>
#include <cstdlib>
#include <memory>

#include "api/codec_api_internal.h"
#include "jpeg/jpeg_internal.h"
#include "png/png_internal.h"
#include "tiff/tiff_internal.h"

namespace dispsmooth::api {

namespace {

struct free_releaser {
    void operator()(void *block) const { std::free(block); }
};

}  // namespace

rgb_image read_rgb_samples(const std::string &path) {
    const image_format format = format_for_path(path);
    codec_failure failure;
    failure.capture_library_messages = true;
    int width = 0;
    int height = 0;
    rgb_image image;
    if (format == image_format::tiff) {
        std::unique_ptr<std::uint32_t, free_releaser> raster(
            tiff_detail::try_read_tiff_raster(path.c_str(), 12, &width, &height, &failure));
        if (!raster) throw_codec_failure(failure);
        const std::size_t n = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
        image.samples.resize(3 * n);
        tiff_detail::fill_rgb_from_raster(n, raster.get(), image.samples.data());
    } else {
        int *raw = nullptr;
        int *alpha = nullptr;
        const bool read =
            format == image_format::png
                ? png_detail::try_read_png_rgba(path.c_str(), &width, &height, &raw, &alpha,
                                                &failure)
                : jpeg_detail::try_read_jpeg_rgb(path.c_str(), &width, &height, &raw, &failure);
        std::unique_ptr<int, free_releaser> samples(raw);
        std::unique_ptr<int, free_releaser> alpha_samples(alpha);
        if (!read) throw_codec_failure(failure);
        const std::size_t n = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
        image.samples.assign(raw, raw + 3 * n);
    }
    image.width = width;
    image.height = height;
    return image;
}

}  // namespace dispsmooth::api
