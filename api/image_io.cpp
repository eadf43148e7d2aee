// The interface's image files: the tool's readers and gray writer for a
// path's extension, over the codec cores with the libraries' messages kept.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "api/api_internal.h"
#include "common/codec_failure.h"
#include "common/gray_to_rgb.h"
#include "dispsmooth/driver.h"
#include "jpeg/jpeg_internal.h"
#include "png/png_internal.h"
#include "tiff/tiff_internal.h"

namespace dispsmooth {

namespace {

enum class image_format { tiff, png, jpeg };

// The format for path's extension, as the tool chooses it; throws
// dispsmooth::error with the tool's two lines for any other.
image_format format_for_path(const std::string &path) {
    const image_codec *codec = codec_for_filename(path.c_str());
    if (codec == nullptr)
        throw error("Filename extension for " + path +
                    " not recognized!\nSupported: tiff, TIFF, tif, TIF, png, PNG, jpeg, JPEG, "
                    "jpg, JPG");
    const std::string name = codec->name;
    if (name == "TIFF") return image_format::tiff;
    if (name == "PNG") return image_format::png;
    return image_format::jpeg;
}

struct free_releaser {
    void operator()(void *block) const { std::free(block); }
};

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

// The RGB reader of the format; its failure is thrown.
rgb_image read_rgb_image(const std::string &path) {
    const image_format format = format_for_path(path);
    codec_failure failure;
    failure.capture_library_messages = true;
    int width = 0;
    int height = 0;
    rgb_image image;
    if (format == image_format::tiff) {
        std::unique_ptr<std::uint32_t, free_releaser> raster(
            tiff_detail::try_read_tiff_raster(path.c_str(), 12, &width, &height, &failure));
        if (!raster) api::throw_codec_failure(failure);
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
        if (!read) api::throw_codec_failure(failure);
        const std::size_t n = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
        image.samples.assign(raw, raw + 3 * n);
    }
    image.width = width;
    image.height = height;
    return image;
}

// The tool's gray readers decode through its RGB readers and keep the red
// sample of each pixel.
gray_image read_gray_image(const std::string &path) {
    const rgb_image rgb = read_rgb_image(path);
    gray_image gray;
    gray.width = rgb.width;
    gray.height = rgb.height;
    gray.pixels.resize(rgb.samples.size() / 3);
    fill_red_of_rgb(gray.pixels.size(), rgb.samples.data(), gray.pixels.data());
    return gray;
}

void write_image(const std::string &path, const gray_image &image) {
    const image_format format = format_for_path(path);
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
    case image_format::tiff:
        written = tiff_detail::try_pack_and_write_tiff(path.c_str(), image.width, image.height,
                                                       image.pixels.data(), 1, nullptr, &failure);
        break;
    case image_format::png:
        written = png_detail::try_write_png_rows(path.c_str(), image.width, image.height, 2, 3,
                                                 fill_gray_row, image.pixels.data(), &failure);
        break;
    case image_format::jpeg: {
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
