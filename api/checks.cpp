// The checks of the interface's arguments, each throwing dispsmooth::error
// with the message dispsmooth.hpp describes.
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <string>

#include "api/api_internal.h"

namespace dispsmooth::api {

namespace {

// A zero or undefined total weight ends the smoothing in median_histo.
const char *const median_histo_fatal = " (FATAL ERROR in median_histo)";

// A sigma whose square is 0 or not a number makes the centre pixel's weight
// 0 / 0: the routine's total weight is then not a number.
void check_sigma(const char *name, double sigma) {
    const double square = sigma * sigma;
    if (square != 0 && !std::isnan(square)) return;
    char value[64];
    (void)std::snprintf(value, sizeof value, "%g", sigma);
    std::string message = std::string("dispsmooth: ") + name + " is " + value;
    if (sigma != 0 && !std::isnan(sigma)) message += ", whose square is 0";
    throw error(message + "; each sigma must be a number whose square is not 0" +
                median_histo_fatal);
}

}  // namespace

void check_smoothing_parameters(int min_d, int max_d, int radius, double sigma_space,
                                double sigma_color) {
    if (radius < 0)
        throw error("dispsmooth: radius is " + std::to_string(radius) + "; it must be 0 or more" +
                    median_histo_fatal);
    check_sigma("sigma_space", sigma_space);
    check_sigma("sigma_color", sigma_color);
    if (min_d > max_d)
        throw error("dispsmooth: min_d " + std::to_string(min_d) + " is greater than max_d " +
                    std::to_string(max_d) +
                    "; the disparity range min_d..max_d must hold at least one value "
                    "(FATAL ERROR in weighted_median)");
}

void check_threads(int threads) {
    if (threads < 0 || threads > max_threads)
        throw error("dispsmooth: threads is " + std::to_string(threads) + "; it must be 1.." +
                    std::to_string(max_threads) + ", or 0 for the default");
}

void check_same_size(long long reference_width, long long reference_height,
                     long long disparity_width, long long disparity_height) {
    // The tool's message, without the file names it has and an array has not.
    if (reference_width != disparity_width || reference_height != disparity_height)
        throw error("dispsmooth: reference image is " + std::to_string(reference_width) + "x" +
                    std::to_string(reference_height) + " but disparity map is " +
                    std::to_string(disparity_width) + "x" + std::to_string(disparity_height) +
                    "; they must have the same size");
}

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

void check_disparity_range(int width, int height, const int *disp_arr, int min_d, int max_d) {
    const std::size_t n = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    for (std::size_t p = 0; p < n; ++p) {
        const int d = disp_arr[p];
        if (d >= min_d && d <= max_d) continue;
        // A window holding such a value ends the smoothing in weighted_histo.
        throw error("dispsmooth: disparity " + std::to_string(d) + " at row " +
                    std::to_string(p / static_cast<std::size_t>(width)) + ", column " +
                    std::to_string(p % static_cast<std::size_t>(width)) +
                    " is outside min_d..max_d = " + std::to_string(min_d) + ".." +
                    std::to_string(max_d) + " (FATAL ERROR in weighted_histo)");
    }
}

}  // namespace dispsmooth::api
