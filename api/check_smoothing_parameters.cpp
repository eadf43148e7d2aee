#include <cmath>
#include <cstdio>
#include <string>

#include "api/api_internal.h"

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
    throw dispsmooth::error(message + "; each sigma must be a number whose square is not 0" +
                            median_histo_fatal);
}

}  // namespace

namespace dispsmooth::api {

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

}  // namespace dispsmooth::api
