#include <cstddef>
#include <string>
#include <vector>

#include "api/api_internal.h"
#include "api/codec_api_internal.h"
#include "common/gray_to_rgb.h"
#include "jpeg/jpeg_internal.h"
#include "png/png_internal.h"
#include "tiff/tiff_internal.h"

namespace dispsmooth {

namespace {

// R = G = B from the gray values, for the PNG writer's row filling.
void fill_gray_row(unsigned char *row, int y, int width, const void *pixels) {
    const int *gray = static_cast<const int *>(pixels);
    for (int x = 0; x < width; ++x) {
        const auto v = static_cast<unsigned char>(gray[y * width + x]);
        unsigned char *const px = row + 3 * static_cast<std::ptrdiff_t>(x);
        px[0] = v;
        px[1] = v;
        px[2] = v;
    }
}

}  // namespace

void write_image(const std::string &path, const gray_image &image) {
    const api::image_format format = api::format_for_path(path);
    api::check_image_size(image.width, image.height);
    const std::size_t n =
        static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height);
    if (image.pixels.size() != n)
        throw error("dispsmooth: gray image of " + std::to_string(image.width) + "x" +
                    std::to_string(image.height) + " pixels holds " +
                    std::to_string(image.pixels.size()) + " values; it must hold " +
                    std::to_string(n));

    codec_failure failure;
    failure.capture_library_messages = true;
    bool written = false;
    switch (format) {
    case api::image_format::tiff:
        written = tiff_detail::try_pack_and_write_tiff(path.c_str(), image.width, image.height,
                                                       image.pixels.data(), 1, nullptr, &failure);
        break;
    case api::image_format::png:
        written = png_detail::try_write_png_rows(path.c_str(), image.width, image.height, 2, 3,
                                                 fill_gray_row, image.pixels.data(), &failure);
        break;
    case api::image_format::jpeg: {
        // The tool's gray JPEG writer goes through its RGB writer with
        // R = G = B.
        std::vector<int> rgb(3 * n);
        fill_rgb_from_gray(n, image.pixels.data(), rgb.data());
        written = jpeg_detail::try_write_jpeg_rgb(path.c_str(), image.width, image.height,
                                                  rgb.data(), &failure);
        break;
    }
    }
    if (!written) api::throw_codec_failure(failure);
}

}  // namespace dispsmooth
