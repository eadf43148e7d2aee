#include "common/gray_to_rgb.h"

#include <cstddef>

namespace dispsmooth {

int *gray_to_rgb(int width, int height, const int *image_arr, const char *what, on_failure policy) {
    const std::size_t pixels =
        width > 0 && height > 0 ? static_cast<std::size_t>(width) * static_cast<std::size_t>(height)
                                : 0;
    int *rgb = static_cast<int *>(checked_calloc(pixels, 3 * sizeof(int), what, policy));
    for (std::size_t p = 0; p < pixels; ++p)
        rgb[3 * p] = rgb[3 * p + 1] = rgb[3 * p + 2] = image_arr[p];
    return rgb;
}

}  // namespace dispsmooth
