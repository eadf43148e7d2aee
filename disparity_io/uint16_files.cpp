// The 16-bit PNG and TIFF files of the interface: the codec for the
// extension, the checks before a write, and the cores' failures thrown.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "api/api_internal.h"
#include "common/codec_failure.h"
#include "disparity_io/disparity_io_internal.h"
#include "dispsmooth/disparity_io.hpp"

namespace dispsmooth {

namespace {

enum class uint16_format { png, tiff };

uint16_format format_for_path(const std::string &path) {
    const std::size_t dot = path.rfind('.');
    const std::string ext = dot == std::string::npos ? std::string() : path.substr(dot + 1);
    if (ext == "png" || ext == "PNG") return uint16_format::png;
    if (ext == "tif" || ext == "TIF" || ext == "tiff" || ext == "TIFF") return uint16_format::tiff;
    throw error("Filename extension for " + path +
                " not recognized!\nSupported for 16-bit images: png, PNG, tif, TIF, tiff, TIFF");
}

}  // namespace

uint16_image read_uint16_image(const std::string &path) {
    const uint16_format format = format_for_path(path);
    codec_failure failure;
    failure.capture_library_messages = true;
    disparity_detail::samples16 samples{};
    const bool read = format == uint16_format::png
                          ? disparity_detail::try_read_png16(path.c_str(), &samples, &failure)
                          : disparity_detail::try_read_tiff16(path.c_str(), &samples, &failure);
    if (!read) api::throw_codec_failure(failure);
    uint16_image image;
    image.width = samples.width;
    image.height = samples.height;
    image.bit_depth = samples.bit_depth;
    const std::size_t n =
        static_cast<std::size_t>(samples.width) * static_cast<std::size_t>(samples.height);
    try {
        image.pixels.assign(samples.pixels, samples.pixels + n);
    } catch (...) {
        std::free(samples.pixels);
        throw;
    }
    std::free(samples.pixels);
    return image;
}

void write_uint16_image(const std::string &path, const uint16_image &image) {
    const uint16_format format = format_for_path(path);
    api::check_image_size(image.width, image.height);
    if (image.width == 0 || image.height == 0)
        throw error("dispsmooth: cannot write an empty image (" + std::to_string(image.width) +
                    "x" + std::to_string(image.height) + " pixels)");
    const std::size_t n =
        static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height);
    if (image.pixels.size() != n)
        throw error("dispsmooth: image of " + std::to_string(image.width) + "x" +
                    std::to_string(image.height) + " pixels holds " +
                    std::to_string(image.pixels.size()) + " values; it must hold " +
                    std::to_string(n));
    codec_failure failure;
    failure.capture_library_messages = true;
    const bool written =
        format == uint16_format::png
            ? disparity_detail::try_write_png16(path.c_str(), image.width, image.height,
                                                image.pixels.data(), &failure)
            : disparity_detail::try_write_tiff16(path.c_str(), image.width, image.height,
                                                 image.pixels.data(), &failure);
    if (!written) api::throw_codec_failure(failure);
}

}  // namespace dispsmooth
