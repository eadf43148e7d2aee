// The smoothing of levels.h through the fast engine.
//
// A map whose pixels are all valid and whose range is narrow goes straight
// to smooth_disparity_weighted_median's composition.  Any other is ranked
// first (rank_levels): the engine then smooths ranks 0..count - 1, with one
// histogram bin per distinct level rather than per level of the range, and
// -1 on the invalid pixels, which it leaves out of every window (masked
// call, run_weighted_median_fast.h).  Ranks keep the order of the levels and
// the bins the engine leaves out hold +0.0, so its sums, search and ties
// are those over the levels themselves; the ranks it returns are mapped
// back to their levels.
#include <algorithm>
#include <cstddef>
#include <cstdlib>

#include "common/branch_free.h"
#include "dispsmooth/smoothing.h"
#include "smoothing/levels.h"
#include "smoothing/smooth_disparity_fast.h"

namespace {

// Ranges of at most this many levels need no ranking when every pixel is
// valid: their histograms are small already.
constexpr long long direct_range = 4096;

// The widest coarse bins: 2^8 levels, whose level settle_within_bins finds
// in 8 rounds over the window.
constexpr int max_coarse_shift = 8;

// The coarse bins the first pass settles on ranks: where neighbouring
// pixels' ranks differ by d on average (sub-pixel levels on slanted
// surfaces), the median of a window lies some d from the candidate taken
// from the row above, so bins of about 4 d levels settle most pixels; maps
// whose neighbours mostly share their level keep single levels.  Only a
// matter of speed: every bin and level settled is proven.
int coarse_shift(int width, int height, const int *ranks) {
    long long pairs = 0, sum = 0;
    const int row_step = std::max(1, height / 64);
    for (int y = 0; y < height; y += row_step) {
        const int *row = ranks + static_cast<std::ptrdiff_t>(y) * width;
        // Without a branch: holes scattered at random would make it a poor
        // guess.
        for (int x = 0; x + 1 < width; ++x) {
            const bool both = row[x] >= 0 && row[x + 1] >= 0;
            sum += both ? std::abs(static_cast<long long>(row[x + 1]) - row[x]) : 0;
            pairs += both ? 1 : 0;
        }
    }
    if (pairs == 0 || 2 * sum < pairs) return 0;
    const double spread = 4.0 * static_cast<double>(sum) / static_cast<double>(pairs);
    int shift = 0;
    while (shift < max_coarse_shift && static_cast<double>(1 << shift) < spread) ++shift;
    return shift;
}

}  // namespace

namespace dispsmooth {

bool smooth_levels(int width, int height, const int *image_arr, int *disp_arr,
                   std::uint8_t *valid_arr, int min_d, int max_d, int radius, double sigma_space,
                   double sigma_color, bool fill, settle_stats *stats) {
    if (stats != nullptr) *stats = settle_stats{};
    if (min_d > max_d) error_handler("weighted_median");
    if (width <= 0 || height <= 0) return true;
    const std::size_t n = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);

    bool all_valid = true;
    if (valid_arr != nullptr)
        for (std::size_t p = 0; p < n && all_valid; ++p) all_valid = valid_arr[p] != 0;
    if (all_valid && static_cast<long long>(max_d) - min_d < direct_range) {
        smooth_disparity_fast(width, height, image_arr, disp_arr, min_d, max_d, radius, sigma_space,
                              sigma_color, stats);
        return true;
    }

    // A valid level outside the range is fatal, as in weighted_histo.  The
    // loops over the pixels here and below test validity without a branch,
    // which holes scattered at random would make a poor guess.
    bool outside = false;
    for (std::size_t p = 0; p < n; ++p)
        outside |= (valid_arr == nullptr || valid_arr[p] != 0) &
                   (disp_arr[p] < min_d || disp_arr[p] > max_d);
    if (outside) error_handler("weighted_histo");
    ranked_levels ranked = rank_levels(n, disp_arr, all_valid ? nullptr : valid_arr, min_d, max_d);
    if (ranked.count > max_ranked_levels) return false;
    // No valid pixel at all: every pixel stays as it is.
    if (ranked.count == 0) return true;

    int *ranks = ranked.ranks.get();
    const masked_levels mask{!all_valid, fill, coarse_shift(width, height, ranks)};
    smooth_disparity_fast(width, height, image_arr, ranks, 0, static_cast<int>(ranked.count - 1),
                          radius, sigma_space, sigma_color, stats, mask);
    // A pixel left invalid (rank -1) keeps its value and its validity.
    const int *levels = ranked.levels.get();
    for (std::size_t p = 0; p < n; ++p) {
        // The index too is chosen without a branch: std::max would become
        // one, between two loads.
        const bool ranked_pixel = ranks[p] >= 0;
        disp_arr[p] = choose(ranked_pixel, levels[choose(ranked_pixel, ranks[p], 0)], disp_arr[p]);
    }
    if (valid_arr != nullptr)
        for (std::size_t p = 0; p < n; ++p)
            valid_arr[p] = choose(ranks[p] >= 0, static_cast<std::uint8_t>(1), valid_arr[p]);
    return true;
}

}  // namespace dispsmooth
