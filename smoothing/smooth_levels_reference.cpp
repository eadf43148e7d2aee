// The smoothing of levels.h evaluated straight from its definition.
//
// Each window's histogram is kept sparse: a map from level to the sum of
// the weights of the window's valid pixels of that level, each sum formed in
// window scan order exactly as weighted_histo forms its bin.  The dense
// histogram differs only by bins of +0.0 (levels no valid pixel holds, and
// the invalid pixels, which add nothing); adding +0.0 changes no sum (x +
// 0.0 == x for every x but -0.0, and no sum here is -0.0), so the total in
// ascending level order, the cumulative sums, the search for the first
// level reaching half the total and its tie rule are median_histo's.
#include <cmath>
#include <cstddef>
#include <map>
#include <vector>

#include "dispsmooth/smoothing.h"
#include "smoothing/levels.h"

namespace dispsmooth {

void smooth_levels_reference(int width, int height, const int *image_arr, int *disp_arr,
                             std::uint8_t *valid_arr, int min_d, int max_d, int radius,
                             double sigma_space, double sigma_color, bool fill) {
    if (min_d > max_d) error_handler("weighted_median");
    if (width <= 0 || height <= 0) return;
    const std::size_t n = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    auto valid = [&](std::size_t p) { return valid_arr == nullptr || valid_arr[p] != 0; };
    for (std::size_t p = 0; p < n; ++p)
        if (valid(p) && (disp_arr[p] < min_d || disp_arr[p] > max_d))
            error_handler("weighted_histo");

    // The guide: the 3x3 median of each channel.
    std::vector<int> channel(n), filtered(n), guide(3 * n);
    for (int c = 0; c < 3; ++c) {
        for (std::size_t p = 0; p < n; ++p) channel[p] = image_arr[3 * p + c];
        median(width, height, channel.data(), 1, filtered.data());
        for (std::size_t p = 0; p < n; ++p) guide[3 * p + c] = filtered[p];
    }

    std::vector<int> result(disp_arr, disp_arr + n);
    std::vector<std::uint8_t> holds(n);
    for (std::size_t p = 0; p < n; ++p) holds[p] = valid(p) ? 1 : 0;
    for (int i = 0; i < height; ++i) {
        for (int j = 0; j < width; ++j) {
            const std::size_t p = static_cast<std::size_t>(i) * width + j;
            if (!valid(p) && !fill) continue;
            std::map<int, double> histo;
            for (long long y = i - static_cast<long long>(radius); y <= i + radius; ++y) {
                if (y < 0 || y >= height) continue;
                for (long long x = j - static_cast<long long>(radius); x <= j + radius; ++x) {
                    if (x < 0 || x >= width) continue;
                    const std::size_t q = static_cast<std::size_t>(y) * width + x;
                    if (!valid(q)) continue;  // adds nothing
                    const double C = static_cast<double>(
                        color_distance_squared(width, height, guide.data(), i, j,
                                               static_cast<int>(y), static_cast<int>(x)));
                    const double S = static_cast<double>((x - j) * (x - j) + (y - i) * (y - i));
                    histo[disp_arr[q]] += std::exp(
                        -(C / (sigma_color * sigma_color) + S / (sigma_space * sigma_space)));
                }
            }
            double total = 0.0;
            for (const auto &bin : histo) total += bin.second;
            const double half = 0.5 * total;
            if (!(half > 0)) {
                // Nothing to take a median of: an invalid centre stays as it
                // is; a valid one (impossible with a valid sigma: its own
                // weight is 1) fails as median_histo does.
                if (!valid(p)) continue;
                error_handler("median_histo");
            }
            double cum = 0.0;
            for (const auto &bin : histo) {
                cum += bin.second;
                if (!(half > cum)) {
                    result[p] = bin.first;
                    break;
                }
            }
            holds[p] = 1;
        }
    }
    for (std::size_t p = 0; p < n; ++p) disp_arr[p] = result[p];
    if (valid_arr != nullptr)
        for (std::size_t p = 0; p < n; ++p) valid_arr[p] = holds[p];
}

}  // namespace dispsmooth
