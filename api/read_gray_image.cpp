#include <cstddef>

#include "api/codec_api_internal.h"
#include "common/gray_to_rgb.h"

namespace dispsmooth {

// The tool's gray readers decode through its RGB readers and keep the red
// sample of each pixel.
gray_image read_gray_image(const std::string &path) {
    const rgb_image rgb = api::read_rgb_samples(path);
    gray_image gray;
    gray.width = rgb.width;
    gray.height = rgb.height;
    gray.pixels.resize(rgb.samples.size() / 3);
    fill_red_of_rgb(gray.pixels.size(), rgb.samples.data(), gray.pixels.data());
    return gray;
}

}  // namespace dispsmooth
