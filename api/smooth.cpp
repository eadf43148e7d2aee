#include "dispsmooth/smoothing.h"

#include "api/api_internal.h"

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

}  // namespace dispsmooth
