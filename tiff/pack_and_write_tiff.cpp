#include "tiff/tiff_internal.h"

#include "common/alloc.h"
#include "dispsmooth/tiff_codec.h"

#include <cstddef>
#include <cstdlib>

namespace dispsmooth {

namespace {

// The low 8 bits of v, without clamping (256 -> 0, -1 -> 255).
unsigned char low_byte(int v) { return static_cast<unsigned char>(v & 0xFF); }

}  // namespace

bool pack_and_write_tiff(const char *file_name, int width, int heigh, const int *image_arr,
                         int image_channels, const int *alpha_arr, codec_failure *failure) {
    // Colour is always written with a fourth sample, alpha or 255.
    const int sampleperpixel = image_channels == 1 ? 1 : 4;
    if (!check_tiff_write_request(file_name, width, heigh, sampleperpixel, failure)) return false;

    const std::size_t pixels = static_cast<std::size_t>(width) * static_cast<std::size_t>(heigh);
    const std::size_t spp = static_cast<std::size_t>(sampleperpixel);
    const std::size_t channels = static_cast<std::size_t>(image_channels);
    auto *I_char = static_cast<unsigned char *>(
        try_file_calloc(pixels * spp, 1, "the TIFF sample buffer", file_name, failure));
    if (I_char == nullptr) return false;

    for (std::size_t p = 0; p < pixels; ++p) {
        for (std::size_t c = 0; c < channels; ++c) {
            I_char[spp * p + c] = low_byte(image_arr[channels * p + c]);
        }
        if (spp == 4) I_char[spp * p + 3] = alpha_arr != nullptr ? low_byte(alpha_arr[p]) : 255;
    }

    const bool written = try_write_tiff(file_name, I_char, width, heigh, sampleperpixel, failure);
    std::free(I_char);
    return written;
}

}  // namespace dispsmooth
