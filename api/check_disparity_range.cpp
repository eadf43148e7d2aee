#include <cstddef>
#include <string>

#include "api/api_internal.h"

namespace dispsmooth::api {

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
