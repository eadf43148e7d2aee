#include "common/gray_to_rgb.h"

namespace dispsmooth {

namespace {

std::size_t pixel_count(int width, int height) {
    return width > 0 && height > 0
               ? static_cast<std::size_t>(width) * static_cast<std::size_t>(height)
               : 0;
}

}  // namespace

void fill_rgb_from_gray(std::size_t pixels, const int *gray, int *rgb) {
    for (std::size_t p = 0; p < pixels; ++p) rgb[3 * p] = rgb[3 * p + 1] = rgb[3 * p + 2] = gray[p];
}

void fill_red_of_rgb(std::size_t pixels, const int *rgb, int *gray) {
    for (std::size_t p = 0; p < pixels; ++p) gray[p] = rgb[3 * p];
}

int *gray_to_rgb(int width, int height, const int *image_arr, const char *what, on_failure policy) {
    const std::size_t pixels = pixel_count(width, height);
    int *rgb = static_cast<int *>(checked_calloc(pixels, 3 * sizeof(int), what, policy));
    fill_rgb_from_gray(pixels, image_arr, rgb);
    return rgb;
}

int *red_of_rgb(int width, int height, const int *rgb_image_arr, const char *what,
                const char *filename, on_failure policy) {
    const std::size_t pixels = pixel_count(width, height);
    int *gray =
        static_cast<int *>(checked_file_calloc(pixels, sizeof(int), what, filename, policy));
    fill_red_of_rgb(pixels, rgb_image_arr, gray);
    return gray;
}

}  // namespace dispsmooth
