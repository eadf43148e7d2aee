// One output row of the fast weighted median, and the one place that decides
// which path each pixel takes (see smoothing/fast/README.md, "Which path a
// pixel takes"; whether the first pass may run was decided for the call by
// first_pass, vector_isa.h).
#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>

#include "smoothing/fast/engine.h"

namespace {

using dispsmooth::engine_job;
using dispsmooth::invalid_pixel;
using dispsmooth::lanes;
using dispsmooth::thread_scratch;
using dispsmooth::window_rows;

int median_of_three(int a, int b, int c) {
    return std::max(std::min(a, b), std::min(std::max(a, b), c));
}

// Candidate medians of the group at (i, start): the results of the row
// above, which the weighted median of a pixel mostly equals or misses by
// one, or else the median of each centre's and its two horizontal
// neighbours' disparities.  Kept clear of the ends of int, so that the
// thresholds candidate - 1 .. candidate + 2 exist.
void choose_candidates(const engine_job &job, int i, int start, const int *above, int *candidate) {
    const int *d = job.disp_arr + static_cast<std::ptrdiff_t>(i) * job.width;
    int last_valid = 0;
    for (int x = start; x < start + lanes; ++x) {
        int c =
            above ? above[x]
                  : median_of_three(d[std::max(x - 1, 0)], d[x], d[std::min(x + 1, job.width - 1)]);
        // In a masked call -1 marks a pixel left invalid: the pixel's own
        // level, or the lane before's candidate, is a better guess.
        if (job.masked) {
            if (c < 0) c = d[x] >= 0 ? d[x] : last_valid;
            last_valid = c;
        }
        const int l = x - start;
        candidate[l] = std::clamp(c, INT_MIN + 1, INT_MAX - 2);
    }
}

// Pixels (i, 0) .. (i, j_end - 1) in groups of eight: the first pass, then
// the second for each lane it leaves, then the exact path for each lane
// that leaves.  Returns the column of the first rejected histogram, or -1.
int lane_row(const engine_job &job, thread_scratch &scratch, const window_rows &wr, int j_end,
             const int *above) {
    const int width = job.width, i = wr.i;
    int candidate[lanes], value[lanes];
    float total[lanes], below[lanes];
    for (int j = 0; j < j_end;) {
        // The last group of the row ends at the last column, overlapping the
        // one before it: its pixels before j are done already.  Pixels from
        // j_end on are not computed.
        const int start = std::min(j, width - lanes);
        const int end = std::min(lanes, j_end - start);
        choose_candidates(job, i, start, above, candidate);
        const bool clipped = start < job.reach_x || start + lanes - 1 + job.reach_x > width - 1;
        const dispsmooth::lane_group group{
            job.disp_arr, wr.rows, wr.y_lo, wr.y_hi, i, start, candidate, scratch.estimates.get(),
            clipped,      total,   below};
        const unsigned settled = job.estimate_lanes(job.lane, group, value);
        int *result = job.result_arr + static_cast<std::ptrdiff_t>(i) * width + start;
        for (int l = j - start; l < end; ++l) {
            const std::ptrdiff_t p = static_cast<std::ptrdiff_t>(i) * width + start + l;
            if (invalid_pixel(job, p) && !job.fill) {
                // Left invalid, whatever the first pass found for it; not
                // counted among the pixels computed.
                result[l] = -1;
                --scratch.pixels;
            } else if ((settled >> l & 1) && job.lane.coarse_shift == 0) {
                result[l] = value[l];
                ++scratch.settled;
                ++scratch.first_pass;
            } else if ((settled >> l & 1) &&
                       dispsmooth::settle_within_bin(job, scratch, wr, start, l, value[l], total[l],
                                                     below[l])) {
                ++scratch.settled;
                ++scratch.first_pass;
            } else if (dispsmooth::settle_from_estimates(job, scratch, wr, start, l)) {
                ++scratch.settled;
            } else if (!dispsmooth::exact_window_pixel(job, scratch, wr, start + l)) {
                // An invalid centre whose valid neighbours weigh nothing
                // stays invalid; any other rejection is a failure.
                if (!invalid_pixel(job, p)) return start + l;
                result[l] = -1;
            }
        }
        j = start + end;
    }
    return -1;
}

}  // namespace

int dispsmooth::smooth_row(const engine_job &job, thread_scratch &scratch, int i, int j_end,
                           const int *above) {
    if (!job.by_window) return exact_row(job, scratch, i, j_end);

    const int y_lo = std::max(0, i - job.reach_y), y_hi = std::min(job.height - 1, i + job.reach_y);
    const std::uint8_t **rows = scratch.rows.get();
    for (int y = y_lo; y <= y_hi; ++y) rows[y - y_lo] = packed_row(job, scratch, y);
    const window_rows wr{i, y_lo, y_hi, rows};

    if (job.use_lanes) return lane_row(job, scratch, wr, j_end, above);
    int *result = job.result_arr + static_cast<std::ptrdiff_t>(i) * job.width;
    for (int j = 0; j < j_end; ++j) {
        const std::ptrdiff_t p = static_cast<std::ptrdiff_t>(i) * job.width + j;
        if (invalid_pixel(job, p) && !job.fill) {
            result[j] = -1;
            --scratch.pixels;
        } else if (!exact_window_pixel(job, scratch, wr, j)) {
            if (!invalid_pixel(job, p)) return j;
            result[j] = -1;  // as in lane_row
        }
    }
    return -1;
}
