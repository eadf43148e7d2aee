// The smoothing entry points of the interface: each argument checked, then
// the routine run under the call's settings.
#include <cstddef>
#include <string>

#include "api/api_internal.h"
#include "dispsmooth/smoothing.h"

namespace dispsmooth {

void smooth(int width, int height, const int *image_arr, int *disp_arr, int min_d, int max_d,
            int radius, double sigma_space, double sigma_color, const smooth_options &options) {
    api::check_smoothing_parameters(min_d, max_d, radius, sigma_space, sigma_color);
    api::check_threads(options.threads);
    api::check_image_size(width, height);
    if (width == 0 || height == 0) return;
    if (image_arr == nullptr || disp_arr == nullptr)
        throw error(std::string("dispsmooth: the ") +
                    (image_arr == nullptr ? "reference image" : "disparity map") +
                    " array is a null pointer");
    api::check_disparity_range(width, height, disp_arr, min_d, max_d);

    // Nothing that the routine checks itself can fail any more; what is left
    // is a refused allocation, which the scope turns into std::bad_alloc.
    const api::call_scope scope(options);
    smooth_disparity_weighted_median(width, height, image_arr, disp_arr, min_d, max_d, radius,
                                     sigma_space, sigma_color);
    // A cancelled smoothing has left disp_arr as it was.
    if (scope.stopped()) throw cancelled();
}

gray_image smooth(const rgb_image &reference, const gray_image &disparity, int radius,
                  double sigma_space, double sigma_color, int min_d, int max_d,
                  const smooth_options &options) {
    api::check_smoothing_parameters(min_d, max_d, radius, sigma_space, sigma_color);
    api::check_threads(options.threads);
    api::check_same_size(reference.width, reference.height, disparity.width, disparity.height);
    api::check_image_size(disparity.width, disparity.height);

    const std::size_t n =
        static_cast<std::size_t>(disparity.width) * static_cast<std::size_t>(disparity.height);
    const std::string size =
        std::to_string(disparity.width) + "x" + std::to_string(disparity.height);
    if (reference.samples.size() != 3 * n)
        throw error("dispsmooth: reference image of " + size + " pixels holds " +
                    std::to_string(reference.samples.size()) + " samples; it must hold " +
                    std::to_string(3 * n) + " (R, G, B of each pixel)");
    if (disparity.pixels.size() != n)
        throw error("dispsmooth: disparity map of " + size + " pixels holds " +
                    std::to_string(disparity.pixels.size()) + " values; it must hold " +
                    std::to_string(n));

    gray_image result = disparity;
    smooth(result.width, result.height, reference.samples.data(), result.pixels.data(), min_d,
           max_d, radius, sigma_space, sigma_color, options);
    return result;
}

}  // namespace dispsmooth
