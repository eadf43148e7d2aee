#include "smoothing/fast/settle_margins.h"

#include <cmath>

namespace {

// Relative error bound of one estimated weight (see settle_margins.h).
constexpr double weight_error = 1.34e-5;
// What median_histo's own rounding needs on either side of the half.
constexpr double slack = 1e-9;

struct factors {
    double below, above;
};

// Factors for sums of n terms in a precision of unit roundoff u.
factors for_precision(double n, double u) {
    const double gamma = (n - 1) * u / (1 - (n - 1) * u);
    const double grow = (1 + weight_error) * (1 + gamma);
    const double shrink = (1 - weight_error) * (1 - gamma);
    return {0.5 * (1 - slack) * shrink / (grow * (1 + u)),
            0.5 * (1 + slack) * grow / (shrink * (1 - u))};
}

}  // namespace

dispsmooth::settle_factors dispsmooth::settle_margins(std::size_t window_pixels) {
    const double n = static_cast<double>(window_pixels);
    const factors f = for_precision(n, 0x1p-24);
    const factors d = for_precision(n, 0x1p-53);
    // Rounded to float towards the safe side.
    float below = static_cast<float>(f.below);
    if (static_cast<double>(below) > f.below) below = std::nextafter(below, 0.0f);
    float above = static_cast<float>(f.above);
    if (static_cast<double>(above) < f.above) above = std::nextafter(above, 1.0f);
    return {below, above, d.below, d.above};
}
