#include "dispsmooth/smoothing.h"

#include <algorithm>
#include <cmath>

void weighted_histo(int width, int height, const int *guide_arr, const int *disp_arr, int min_d,
                    int max_d, int radius, double sigma_space, double sigma_color, int i, int j,
                    double *histo) {
    if (min_d > max_d) error_handler("weighted_histo");
    // The centre pixel's colour is read for every neighbour: it must exist.
    if (i < 0 || i >= height || j < 0 || j >= width) error_handler("weighted_histo");

    const long long n = static_cast<long long>(max_d) - min_d + 1;
    for (long long k = 0; k < n; ++k) histo[k] = 0.0;

    // The window clipped to the image; the remaining pixels are visited in
    // the same order as in the full window (dy outer, dx inner).
    const long long r = radius, ii = i, jj = j;
    const long long dy_lo = std::max(-r, -ii), dy_hi = std::min(r, height - 1 - ii);
    const long long dx_lo = std::max(-r, -jj), dx_hi = std::min(r, width - 1 - jj);
    for (long long dy = dy_lo; dy <= dy_hi; ++dy) {
        for (long long dx = dx_lo; dx <= dx_hi; ++dx) {
            const int d = disp_arr[(ii + dy) * width + (jj + dx)];
            if (d < min_d || d > max_d) error_handler("weighted_histo");
            const int color =
                color_distance_squared(width, height, guide_arr, i, j, static_cast<int>(ii + dy),
                                       static_cast<int>(jj + dx));
            const double C = static_cast<double>(color);
            const double S = static_cast<double>(dx * dx + dy * dy);
            const double w =
                std::exp(-(C / (sigma_color * sigma_color) + S / (sigma_space * sigma_space)));
            histo[static_cast<long long>(d) - min_d] += w;
        }
    }
}
