// The shared state of one call of the fast weighted median and its steps
// (README.md in this folder tells which step each pixel goes through):
//   run_weighted_median_fast.cpp  setup, thread split, failures
//   smooth_row.cpp                the one place that chooses a pixel's path
//   estimate_lanes_avx2.cpp       first pass: eight windows estimated at once
//   settle_from_estimates.cpp     second pass: one window's estimates in bins
//   exact_window_pixel.cpp        exact histogram of one window (table lookups)
//   exact_row.cpp                 exact histograms of a row, for any guide and radius
#ifndef DISPSMOOTH_SMOOTHING_FAST_ENGINE_H
#define DISPSMOOTH_SMOOTHING_FAST_ENGINE_H

#include <cstddef>
#include <cstdint>
#include <memory>

#include "common/buffer.h"
#include "smoothing/fast/estimate_lanes.h"
#include "smoothing/fast/guide_rows.h"
#include "smoothing/fast/ring_tail_table.h"
#include "smoothing/fast/touched_histogram.h"
#include "smoothing/fast/weight_table.h"

namespace dispsmooth {

// Pixels of a window of half extents reach_x, reach_y.
inline std::size_t window_pixels(int reach_x, int reach_y) {
    return static_cast<std::size_t>(2 * reach_x + 1) * static_cast<std::size_t>(2 * reach_y + 1);
}

// The shared inputs of one call.
struct engine_job {
    int width, height;
    const int *guide_arr, *disp_arr;
    int min_d, max_d;
    int reach_x, reach_y;
    bool byte_guide;  // every guide value in 0..255
    // Whole windows are laid out at once (exact_window_pixel): packed guide
    // rows, and every offset in the weight table.  Otherwise exact_row.
    bool by_window;
    bool use_lanes;                    // the estimate-and-settle passes may run (first_pass)
    estimate_lanes_fn estimate_lanes;  // their first pass, when they may
    bisect_bins_fn bisect_bins;        // and its search inside coarse bins
    estimate_pairs_fn estimate_pairs;  // and its sweep of two groups at once, or null
    bisect_pairs_fn bisect_pairs;      // and the search of two groups at once, with it
    // A masked call (masked_levels in run_weighted_median_fast.h): levels
    // below 0 mark invalid pixels, which weigh +0.0 in every window; invalid
    // centres are computed only when fill is set.
    bool masked, fill;
    lane_constants lane;
    // Where the first pass may stop before the window's last rings (single
    // levels, a reach of early_stop_reach or more both ways):
    // weight_bound[(dy + reach_y) (2 reach_x + 1) + dx + reach_x] bounds the
    // exact weight of every neighbour at offset (dx, dy); else null.
    const double *weight_bound;
    double below, above;  // settle factors of the second pass
    // The guide repacked whole (packed_row_bytes(width) bytes a row), or
    // null when each thread repacks its rows in its ring.
    const std::uint8_t *packed;
    const weight_table *weights;
    int *result_arr;
};

// Scratch of one thread, allocated before the threads start.
struct thread_scratch {
    touched_histogram histo;
    buffer_ptr<int> distances;              // one window row, padded to 4
    buffer_ptr<std::uint32_t> indices;      // their weight-table entries
    std::unique_ptr<guide_ring> ring;       // when the guide is repacked row by row
    buffer_ptr<const std::uint8_t *> rows;  // the packed rows of one output row
    // One whole window in scan order (exact_window_pixel): the table entries
    // of the neighbours, their disparities and the bits of their weights.
    buffer_ptr<std::uint32_t> window_index;
    buffer_ptr<int> window_disp;
    buffer_ptr<std::uint64_t> window_weight;
    // The first pass's estimates of one group: eight per window pixel; and
    // of the second group of a pair, where job.estimate_pairs is set.
    buffer_ptr<float> estimates, pair_estimates;
    // Where the first pass settles coarse bins: the neighbours a round of
    // the search inside bins keeps for the next (bin_lanes::kept).
    buffer_ptr<float> kept_neighbours;
    // An output row's bounds on the weight of its windows' offsets beyond
    // each ring (lane_group::rest), and the ring sums they come from: one
    // per ring, max(reach_x, reach_y) + 1; only where weight_bound is set.
    buffer_ptr<float> rest;
    buffer_ptr<double> ring_bound;
    // The rings' offsets for lanes that finish alone, where rest is set.
    std::unique_ptr<ring_tail_table> tails;
    // The second pass's dense histograms of dense_bins doubles each: two,
    // or four for windows of four_histograms_from pixels or more, whose
    // neighbours then wait less for each other's additions to the same bin.
    static constexpr int dense_bins = 512;
    static constexpr long long four_histograms_from = 256;
    static constexpr int dense_histograms(long long window_pixels) {
        return window_pixels >= four_histograms_from ? 4 : 2;
    }
    buffer_ptr<double> dense;
    bool mostly_slow = false;      // the last exact window missed most table entries
    long long direct_weights = 0;  // weights exact_window_pixel evaluated without the table
    // This thread's share of settle_stats.
    long long pixels = 0, settled = 0, first_pass = 0, window_work = 0;

    thread_scratch(std::size_t nbins, int reach_x, int reach_y);
};

// Row y of the packed guide: the whole packed guide's, or the thread's ring's.
inline const std::uint8_t *packed_row(const engine_job &job, thread_scratch &scratch, int y) {
    if (job.packed) return job.packed + packed_row_bytes(job.width) * static_cast<std::size_t>(y);
    return scratch.ring->row(y);
}

// The window rows of output row i: rows y_lo .. y_hi of the image,
// rows[y - y_lo] their packed guide colours.
struct window_rows {
    int i, y_lo, y_hi;
    const std::uint8_t *const *rows;
};

// Whether some window of the group of eight pixels from column start
// reaches beyond the left or right edge of the image.
inline bool group_clipped(const engine_job &job, int start) {
    return start < job.reach_x || start + lanes - 1 + job.reach_x > job.width - 1;
}

// Whether pixel p of a masked call is invalid (its level is below 0).
inline bool invalid_pixel(const engine_job &job, std::ptrdiff_t p) {
    return job.masked && job.disp_arr[p] < 0;
}

// Smooths pixels (i, 0) .. (i, j_end - 1).  above holds the results of row
// i - 1 when the same thread computed all of it, else null.  Returns the
// column of the first pixel whose histogram median_histo would reject, or -1.
int smooth_row(const engine_job &job, thread_scratch &scratch, int i, int j_end, const int *above);

// Second pass for lane l of the group at (wr.i, j) whose estimates the first
// pass left in estimates (lane_group::estimates): stores the result and
// returns true where the estimates settle it.
bool settle_from_estimates(const engine_job &job, thread_scratch &scratch, const window_rows &wr,
                           const float *estimates, int j, int l);

// The lanes of mask of the group at (wr.i, j) whose coarse bins bin[l] the
// first pass settled (job.lane.coarse_shift above 0), with the group's
// estimates, and their float sums total[l] and below[l] (the weight below
// the bin).
struct settled_bins {
    const float *estimates;
    int j;
    unsigned mask;
    const int *bin;
    const float *total, *below;
};

// Stores each lane's level inside its bin where the estimates settle it,
// and returns the mask of those lanes; with scratch.kept_neighbours.
unsigned settle_within_bins(const engine_job &job, thread_scratch &scratch, const window_rows &wr,
                            const settled_bins &g);

// The same for two groups side by side (b.j = a.j + 8) at once, where
// job.bisect_pairs is set: returns a's lanes in bits 0 .. 7 and b's in
// bits 8 .. 15.
unsigned settle_within_bin_pairs(const engine_job &job, thread_scratch &scratch,
                                 const window_rows &wr, const settled_bins &a,
                                 const settled_bins &b);

// Exact result of pixel (wr.i, j) (job.by_window).  Returns false where
// median_histo would reject its histogram.
bool exact_window_pixel(const engine_job &job, thread_scratch &scratch, const window_rows &wr,
                        int j);

// Exact results of pixels (i, 0) .. (i, j_end - 1) for any guide and radius.
// Returns the column of the first rejected histogram, or -1.
int exact_row(const engine_job &job, thread_scratch &scratch, int i, int j_end);

}  // namespace dispsmooth

#endif
