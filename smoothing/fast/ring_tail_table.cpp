// The ring_tail of an output row: see ring_tail_table.h and estimate_lanes.h.
#include "smoothing/fast/ring_tail_table.h"

#include <algorithm>
#include <climits>
#include <cstdlib>

namespace dispsmooth {

namespace {

// Each ring's rows and columns padded to a multiple of the lanes apart.
std::size_t most_entries(int reach_x, int reach_y) {
    const std::size_t rings = static_cast<std::size_t>(std::max(reach_x, reach_y)) + 1;
    return static_cast<std::size_t>(2 * reach_x + 1) * static_cast<std::size_t>(2 * reach_y + 1) +
           static_cast<std::size_t>(3 * lanes) * rings;
}

}  // namespace

ring_tail_table::ring_tail_table(int reach_x, int reach_y)
    : entries_(most_entries(reach_x, reach_y)),
      colour_(allocate_buffer<int>(entries_, "weight estimates")),
      disp_(allocate_buffer<int>(entries_, "weight estimates")),
      slot_(allocate_buffer<int>(entries_, "weight estimates")),
      ring_start_(allocate_buffer<int>(static_cast<std::size_t>(std::max(reach_x, reach_y)) + 2,
                                       "weight estimates")),
      summed_before_(allocate_buffer<int>(static_cast<std::size_t>(std::max(reach_x, reach_y)) + 2,
                                          "weight estimates")),
      space_(allocate_buffer<float>(entries_, "weight estimates")),
      estimates_(allocate_buffer<float>(entries_, "weight estimates")),
      second_estimates_(allocate_buffer<float>(entries_, "weight estimates")),
      run_(allocate_buffer<std::uint8_t>(entries_ / lanes + 1, "weight estimates")) {}

const ring_tail *ring_tail_table::fill(const std::uint8_t *const *rows, int y_lo, int y_hi, int i,
                                       int width, int reach_x, int reach_y,
                                       const float *space_exponent, int most_lanes) {
    const int span = 2 * reach_x + 1;
    const int above_rows = i - y_lo, below_rows = y_hi - i;
    const int last_ring = std::max({reach_x, above_rows, below_rows});
    // The gathers take int offsets, in pixels of 4 bytes from the first
    // window row's.
    for (int y = y_lo; y <= y_hi; ++y) {
        const std::ptrdiff_t bytes = rows[y - y_lo] - rows[0];
        if (bytes % 4 != 0 || std::abs(bytes / 4) > INT_MAX / 2) return nullptr;
    }
    if (static_cast<long long>(y_hi - y_lo) * width + reach_x > INT_MAX) return nullptr;
    int *colour = colour_.get(), *disp = disp_.get(), *slot = slot_.get();
    int *start = ring_start_.get(), *summed_before = summed_before_.get();
    float *space = space_.get();
    std::uint8_t *run = run_.get();
    int e = 0, summed = 0;
    const auto put = [&](int y, int dx) {
        colour[e] = static_cast<int>((rows[y - y_lo] - rows[0]) / 4) + dx;
        disp[e] = (y - y_lo) * width + dx;
        space[e] =
            space_exponent[static_cast<std::ptrdiff_t>(y - i + reach_y) * span + dx + reach_x];
        slot[e] = (y - y_lo) * span + dx + reach_x;
        ++e;
        ++summed;
    };
    // Pads to the next multiple of eight; the chunks from first on are runs
    // of one row's neighbours side by side (the count of them a chunk) or,
    // with run 0, gathered.
    const auto pad = [&](int first, bool row) {
        for (int c = first; c < e; c += lanes)
            run[c / lanes] = static_cast<std::uint8_t>(row ? std::min(lanes, e - c) : 0);
        for (; e % lanes != 0; ++e) {
            colour[e] = 0;
            disp[e] = 0;
            space[e] = -1000.0f;
            slot[e] = -1;
        }
    };
    // The rings in sum_in_rings' order, each of its rows and its columns
    // padded apart.
    for (int n = 0; n <= last_ring; ++n) {
        start[n] = e;
        summed_before[n] = summed;
        const int reach = std::min(n, reach_x);
        if (n <= above_rows) {
            const int first = e;
            for (int dx = -reach; dx <= reach; ++dx) put(i - n, dx);
            pad(first, true);
        }
        if (n > 0 && n <= below_rows) {
            const int first = e;
            for (int dx = -reach; dx <= reach; ++dx) put(i + n, dx);
            pad(first, true);
        }
        if (n > 0 && n <= reach_x) {
            const int first = e;
            const int top = std::min(n - 1, above_rows), bottom = std::min(n - 1, below_rows);
            for (int dy = -top; dy <= bottom; ++dy) {
                put(i + dy, -n);
                put(i + dy, n);
            }
            pad(first, false);
        }
    }
    start[last_ring + 1] = e;
    summed_before[last_ring + 1] = summed;
    tail_ = ring_tail{colour,
                      disp,
                      space,
                      slot,
                      run,
                      start,
                      summed_before,
                      most_lanes,
                      estimates_.get(),
                      second_estimates_.get()};
    return &tail_;
}

}  // namespace dispsmooth
