// The distinct valid levels of a map and each pixel's rank among them.
//
// A narrow range (at most max_rank_table_levels levels) is ranked through a
// table of one entry per level: marked, then numbered in ascending order,
// then read per pixel.  A wider one by sorting the valid levels, removing
// repeats, and a binary search per pixel.  Either way the memory is that of
// the map plus at most 4 MiB, whatever min_d..max_d is.
#include <algorithm>
#include <cstddef>

#include "common/branch_free.h"
#include "smoothing/levels.h"

namespace dispsmooth {

ranked_levels rank_levels(std::size_t n, const int *disp_arr, const std::uint8_t *valid, int min_d,
                          int max_d) {
    ranked_levels ranked;
    auto is_valid = [&](std::size_t p) { return valid == nullptr || valid[p] != 0; };
    const long long range = static_cast<long long>(max_d) - min_d + 1;
    if (range <= max_rank_table_levels) {
        // One entry more, past the range, that invalid pixels mark: validity
        // is tested without a branch (holes scattered at random would make
        // it a poor guess), and an invalid pixel's level may lie outside the
        // range.
        auto table = allocate_buffer<int>(static_cast<std::size_t>(range) + 1, "level table");
        const auto entry = [&](std::size_t p) {
            return choose(is_valid(p), static_cast<long long>(disp_arr[p]) - min_d, range);
        };
        for (std::size_t p = 0; p < n; ++p) table[entry(p)] = 1;
        std::size_t count = 0;
        for (long long k = 0; k < range; ++k)
            if (table[k] != 0) table[k] = static_cast<int>(++count);
        ranked.count = count;
        if (count > max_ranked_levels) return ranked;
        ranked.levels = allocate_buffer<int>(std::max<std::size_t>(count, 1), "distinct levels");
        for (long long k = 0; k < range; ++k)
            if (table[k] != 0) ranked.levels[table[k] - 1] = static_cast<int>(min_d + k);
        ranked.ranks = allocate_buffer<int>(std::max<std::size_t>(n, 1), "level ranks");
        for (std::size_t p = 0; p < n; ++p)
            ranked.ranks[p] = choose(is_valid(p), table[entry(p)] - 1, -1);
        return ranked;
    }

    auto sorted = allocate_buffer<int>(std::max<std::size_t>(n, 1), "distinct levels");
    std::size_t m = 0;
    for (std::size_t p = 0; p < n; ++p)
        if (is_valid(p)) sorted[m++] = disp_arr[p];
    std::sort(sorted.get(), sorted.get() + m);
    const std::size_t count =
        static_cast<std::size_t>(std::unique(sorted.get(), sorted.get() + m) - sorted.get());
    ranked.count = count;
    if (count > max_ranked_levels) return ranked;
    ranked.levels = std::move(sorted);
    ranked.ranks = allocate_buffer<int>(std::max<std::size_t>(n, 1), "level ranks");
    const int *first = ranked.levels.get(), *last = first + count;
    for (std::size_t p = 0; p < n; ++p)
        ranked.ranks[p] =
            is_valid(p) ? static_cast<int>(std::lower_bound(first, last, disp_arr[p]) - first) : -1;
    return ranked;
}

}  // namespace dispsmooth
