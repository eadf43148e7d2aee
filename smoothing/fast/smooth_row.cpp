// One output row of the fast weighted median, and the one place that decides
// which path each pixel takes (see smoothing/fast/README.md, "Which path a
// pixel takes"; whether the first pass may run was decided for the call by
// first_pass, vector_isa.h).
#include <algorithm>
#include <bit>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "common/branch_free.h"
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
            c = dispsmooth::choose(c < 0, dispsmooth::choose(d[x] >= 0, d[x], last_valid), c);
            last_valid = c;
        }
        const int l = x - start;
        candidate[l] = std::clamp(c, INT_MIN + 1, INT_MAX - 2);
    }
}

// Window pixels inside the image of pixel (i, x)'s window, per window row.
int window_columns(const engine_job &job, int x) {
    return std::min(x + job.reach_x, job.width - 1) - std::max(x - job.reach_x, 0) + 1;
}

// The first pass's bounds on the weight of row i's windows beyond each ring
// (lane_group::rest): the offsets' bounds summed per ring over the window
// rows inside the image, then each ring's bound the sum of the rings beyond
// it.  Offsets outside the image's columns count too (as if inside), which
// only loosens the bound.
const float *rest_of_rings(const engine_job &job, thread_scratch &scratch, const window_rows &wr) {
    if (job.weight_bound == nullptr) return nullptr;
    const int rx = job.reach_x, span = 2 * rx + 1;
    const int last_ring = std::max({rx, wr.i - wr.y_lo, wr.y_hi - wr.i});
    double *ring = scratch.ring_bound.get();
    std::fill(ring, ring + last_ring + 1, 0.0);
    for (int y = wr.y_lo; y <= wr.y_hi; ++y) {
        const int dy = y - wr.i;
        const double *bound =
            job.weight_bound + static_cast<std::ptrdiff_t>(dy + job.reach_y) * span + rx;
        for (int dx = -rx; dx <= rx; ++dx) ring[std::max(std::abs(dx), std::abs(dy))] += bound[dx];
    }
    float *rest = scratch.rest.get();
    double beyond = 0.0;
    for (int n = last_ring; n >= 0; --n) {
        rest[n] = static_cast<float>(beyond);
        beyond += ring[n];
    }
    return rest;
}

// Lanes open after a ring that finish their windows alone rather than keep
// their group summing (lane_group::tail): alone, a lane sums eight offsets
// a vector as its group does, but gathers them, and sums them for itself
// only; a group of eight would sum the rest of the window for all eight.
constexpr int most_lanes_alone = 3;

// One group of eight pixels (i, start) .. (i, start + 7) of a row, as the
// first pass takes it and the later passes finish it: its lanes from first
// to end - 1 are the pixels to compute (those before first are done
// already, in the group before).
struct group_state {
    int start, first, end;
    bool clipped;
    unsigned needed;  // the lanes whose results are asked for
    int candidate[lanes], value[lanes];
    float total[lanes], below[lanes];
    int offsets_summed[lanes];
    float *estimates;
};

// The group that computes pixels j .. of row i, at most up to j_end - 1.
// The last group of the row ends at the last column, overlapping the one
// before it.
void start_group(const engine_job &job, int i, int j, int j_end, const int *above, float *estimates,
                 group_state &s) {
    s.start = std::min(j, job.width - lanes);
    s.first = j - s.start;
    s.end = std::min(lanes, j_end - s.start);
    choose_candidates(job, i, s.start, above, s.candidate);
    s.clipped = dispsmooth::group_clipped(job, s.start);
    // Not the lanes done already, beyond j_end, or left invalid.
    s.needed = ((1U << s.end) - 1) & ~((1U << s.first) - 1);
    if (job.masked && !job.fill) {
        // Without a branch: holes scattered at random would make it a poor
        // guess.
        const int *d = job.disp_arr + static_cast<std::ptrdiff_t>(i) * job.width + s.start;
        for (int l = s.first; l < s.end; ++l) s.needed &= ~(static_cast<unsigned>(d[l] < 0) << l);
    }
    std::fill(std::begin(s.offsets_summed), std::end(s.offsets_summed), 0);
    s.estimates = estimates;
}

dispsmooth::lane_group first_pass_group(const engine_job &job, const window_rows &wr,
                                        const float *rest, const dispsmooth::ring_tail *tail,
                                        group_state &s) {
    return {
        job.disp_arr,    wr.rows,   wr.y_lo, wr.y_hi, wr.i, s.start,  s.candidate,
        s.estimates,     s.clipped, s.total, s.below, rest, s.needed, s.clipped ? nullptr : tail,
        s.offsets_summed};
}

// Coarse bins: the lanes of the group whose first pass settled their bins
// (of settled, those asked for), for the level inside each, all the group's
// lanes in one sweep over the estimates.
dispsmooth::settled_bins bins_settled(const group_state &s, unsigned settled) {
    return {s.estimates, s.start, settled & s.needed, s.value, s.total, s.below};
}

// The group's pixels after its first pass settled the lanes of settled, and
// the within-bin step those of within_bin: each lane's result, from the
// first pass, the level inside its coarse bin, the second pass or the exact
// path.  Returns the column of the first rejected histogram, or -1.
int finish_group(const engine_job &job, thread_scratch &scratch, const window_rows &wr,
                 const group_state &s, unsigned settled, unsigned within_bin) {
    const int width = job.width, i = wr.i, start = s.start;
    const unsigned needed = s.needed;
    const int window_rows_in_image = wr.y_hi - wr.y_lo + 1;
    int *result = job.result_arr + static_cast<std::ptrdiff_t>(i) * width + start;
    // The lanes left invalid, whatever the first pass found for them: not
    // counted among the pixels computed.  Apart from the others, so that
    // holes scattered at random cost no branch.
    for (int l = s.first; l < s.end; ++l) {
        const bool asked = (needed >> l & 1) != 0;
        result[l] = dispsmooth::choose(asked, result[l], -1);
        scratch.pixels -= static_cast<long long>(!asked);
    }
    for (unsigned left = needed; left != 0; left &= left - 1) {
        const int l = std::countr_zero(left);
        // Window work: the first pass's offsets (those outside the image
        // too), then the whole window inside it for each later step the
        // lane takes (for the level inside a coarse bin, one a round, though
        // a round may pass over some).
        scratch.window_work += s.offsets_summed[l];
        if ((settled >> l & 1) && job.lane.coarse_shift == 0) {
            result[l] = s.value[l];
            ++scratch.settled;
            ++scratch.first_pass;
            continue;
        }
        const int columns = s.clipped ? window_columns(job, start + l) : 2 * job.reach_x + 1;
        const long long whole_window = static_cast<long long>(window_rows_in_image) * columns;
        if (settled >> l & 1) {
            scratch.window_work += whole_window * dispsmooth::bin_rounds(job.lane.coarse_shift);
            if (within_bin >> l & 1) {
                ++scratch.settled;
                ++scratch.first_pass;
                continue;
            }
        }
        scratch.window_work += whole_window;
        if (dispsmooth::settle_from_estimates(job, scratch, wr, s.estimates, start, l)) {
            ++scratch.settled;
            continue;
        }
        scratch.window_work += whole_window;
        if (!dispsmooth::exact_window_pixel(job, scratch, wr, start + l)) {
            // An invalid centre whose valid neighbours weigh nothing
            // stays invalid; any other rejection is a failure.
            const std::ptrdiff_t p = static_cast<std::ptrdiff_t>(i) * width + start + l;
            if (!invalid_pixel(job, p)) return start + l;
            result[l] = -1;
        }
    }
    return -1;
}

// Pixels (i, 0) .. (i, j_end - 1) in groups of eight: the first pass, then
// the second for each lane it leaves, then the exact path for each lane
// that leaves.  Where the call has a sweep of two groups at once, two
// groups side by side take their first pass together.
// Returns the column of the first rejected histogram, or -1.
int lane_row(const engine_job &job, thread_scratch &scratch, const window_rows &wr, int j_end,
             const int *above) {
    const int width = job.width, i = wr.i;
    const float *rest = rest_of_rings(job, scratch, wr);
    const dispsmooth::ring_tail *tail =
        scratch.tails ? scratch.tails->fill(wr.rows, wr.y_lo, wr.y_hi, i, width, job.reach_x,
                                            job.reach_y, job.lane.space_exponent, most_lanes_alone)
                      : nullptr;
    const bool coarse = job.lane.coarse_shift > 0;
    group_state a{}, b{};
    for (int j = 0; j < j_end;) {
        start_group(job, i, j, j_end, above, scratch.estimates.get(), a);
        const int next = a.start + a.end;
        const bool pair = job.estimate_pairs != nullptr && a.first == 0 && a.end == lanes &&
                          next < j_end && next + lanes <= width;
        if (!pair) {
            const unsigned settled =
                job.estimate_lanes(job.lane, first_pass_group(job, wr, rest, tail, a), a.value);
            const unsigned within_bin =
                coarse && (settled & a.needed) != 0
                    ? dispsmooth::settle_within_bins(job, scratch, wr, bins_settled(a, settled))
                    : 0;
            const int rejected = finish_group(job, scratch, wr, a, settled, within_bin);
            if (rejected >= 0) return rejected;
            j = next;
            continue;
        }
        start_group(job, i, next, j_end, above, scratch.pair_estimates.get(), b);
        const unsigned settled =
            job.estimate_pairs(job.lane, first_pass_group(job, wr, rest, tail, a),
                               first_pass_group(job, wr, rest, tail, b), a.value, b.value);
        const unsigned settled_a = settled & 0xFFU, settled_b = settled >> lanes;
        const unsigned within_bins =
            coarse && ((settled_a & a.needed) != 0 || (settled_b & b.needed) != 0)
                ? dispsmooth::settle_within_bin_pairs(job, scratch, wr, bins_settled(a, settled_a),
                                                      bins_settled(b, settled_b))
                : 0;
        int rejected = finish_group(job, scratch, wr, a, settled_a, within_bins & 0xFFU);
        if (rejected < 0)
            rejected = finish_group(job, scratch, wr, b, settled_b, within_bins >> lanes);
        if (rejected >= 0) return rejected;
        j = b.start + b.end;
    }
    return -1;
}

}  // namespace

int dispsmooth::smooth_row(const engine_job &job, thread_scratch &scratch, int i, int j_end,
                           const int *above) {
    const int y_lo = std::max(0, i - job.reach_y), y_hi = std::min(job.height - 1, i + job.reach_y);
    if (!job.by_window) {
        // Every pixel's whole window, invalid ones left alone or not.
        for (int j = 0; j < j_end; ++j)
            scratch.window_work += static_cast<long long>(y_hi - y_lo + 1) * window_columns(job, j);
        return exact_row(job, scratch, i, j_end);
    }

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
            continue;
        }
        scratch.window_work += static_cast<long long>(y_hi - y_lo + 1) * window_columns(job, j);
        if (!exact_window_pixel(job, scratch, wr, j)) {
            if (!invalid_pixel(job, p)) return j;
            result[j] = -1;  // as in lane_row
        }
    }
    return -1;
}
