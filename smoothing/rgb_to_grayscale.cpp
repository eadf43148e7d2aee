#include "dispsmooth/smoothing.h"

#include <cstddef>

void rgb_to_grayscale(int width, int height, const int *image_arr, double *gray_arr) {
    if (width <= 0 || height <= 0) return;
    const std::size_t n = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    // The weights sum to 32768 = 2^15, so a gray pixel maps to exactly itself.
    const double scale = 1.0 / 32768.0;
    for (std::size_t p = 0; p < n; ++p) {
        const double r = image_arr[3 * p];
        const double g = image_arr[3 * p + 1];
        const double b = image_arr[3 * p + 2];
        gray_arr[p] = (r * 6969 + g * 23434 + b * 2365) * scale;
    }
}
