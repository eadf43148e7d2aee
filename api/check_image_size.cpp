#include <string>

#include "api/api_internal.h"

namespace dispsmooth::api {

void check_image_size(long long width, long long height) {
    const std::string size = std::to_string(width) + " x " + std::to_string(height) + " pixels";
    if (width < 0 || height < 0)
        throw error("dispsmooth: an image of " + size +
                    " is impossible; width and height must not be negative");
    // Divided rather than multiplied, so that no product can overflow.
    if (width != 0 && height > max_image_pixels / width)
        throw error("dispsmooth: " + size + " is too large (at most " +
                    std::to_string(max_image_pixels) + " pixels, 16384 x 16384)");
}

}  // namespace dispsmooth::api
