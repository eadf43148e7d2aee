#include <cstddef>

#include "api/codec_api_internal.h"

namespace dispsmooth {

// The tool's gray readers decode through its RGB readers and keep the red
// sample of each pixel.
gray_image read_gray_image(const std::string &path) {
    const rgb_image rgb = api::read_rgb_samples(path);
    gray_image gray;
    gray.width = rgb.width;
    gray.height = rgb.height;
    gray.pixels.resize(rgb.samples.size() / 3);
    for (std::size_t i = 0; i < gray.pixels.size(); ++i) gray.pixels[i] = rgb.samples[3 * i];
    return gray;
}

}  // namespace dispsmooth
