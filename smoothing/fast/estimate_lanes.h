// Estimate-and-settle pass of the fast weighted median: eight neighbouring
// output pixels of one row at a time, their windows' weights estimated in
// single precision in vector lanes (see estimate_lanes_avx2.cpp and
// README.md).
//
// Plain data, templates of its callers' lambdas, and functions of internal
// linkage: this header is shared with files built with their own vector
// flags, so it must hold no code that the linker could pick from one of
// them for the rest of the library.
#ifndef DISPSMOOTH_SMOOTHING_FAST_ESTIMATE_LANES_H
#define DISPSMOOTH_SMOOTHING_FAST_ESTIMATE_LANES_H

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace dispsmooth {

// Output pixels settled together.
constexpr int lanes = 8;

// 2^f for f in [0, 1) in every first pass: a minimax polynomial of degree 4
// for the relative error, q4 f^4 + ... + q0, evaluated by fused
// multiply-adds from q4 down in single precision; its relative error is then
// below 2.8e-6 for every float f in [0, 1) (checked exhaustively).
struct exp2_polynomial {
    static constexpr float q4 = 1.3534121215343475e-2f, q3 = 5.2011482417583466e-2f,
                           q2 = 2.4144279956817627e-1f, q1 = 6.9300383329391479e-1f,
                           q0 = 1.0000026226043701f;
};

// The constants of one call.
struct lane_constants {
    int width;
    // Levels below 0 mark invalid pixels, whose estimates are +0.0.
    bool masked;
    // The lanes settle coarse bins of 2^coarse_shift levels (level >>
    // coarse_shift); 0 for single levels.  Only for levels of at least 0
    // and below 2^24 when not 0.
    int coarse_shift;
    int reach_x, reach_y;  // the window's half extents (radius clipped to the image)
    // The exponent of an estimate is t + 127 with t = -log2(e) (C / sigma_color^2
    // + S / sigma_space^2): colour_exponent = -log2(e) / sigma_color^2, and
    // space_exponent[(dy + reach_y) (2 reach_x + 1) + dx + reach_x] =
    // 127 - log2(e) S / sigma_space^2 for the offset (dx, dy).
    float colour_exponent;
    const float *space_exponent;
    // A candidate m is settled when the estimated weight below m is less
    // than below times the estimated total, and the estimated weight at or
    // below m more than above times it (see settle_margins.h).
    float below, above;
};

// The offsets of an output row's windows ring by ring, for a lane that
// finishes its window alone (lane_group::tail): ring n's entries are
// ring_start[n] .. ring_start[n + 1] - 1, in sum_in_rings' order, its two
// rows and its columns each padded to a multiple of eight.  Chunk c,
// entries 8 c .. 8 c + 7, holds run[c] neighbours side by side in one row
// (then padding), or with run[c] = 0 any neighbours, to be gathered.  Entry
// e is the neighbour whose packed pixel lies
// colour_index[e] pixels (4 bytes each) from the lane's column in the first
// window row (rows[0]), and whose disparity lies disp_index[e] from the
// lane's column in row y_lo; space[e] is its space_exponent; slot[e] its
// place in the window's scan order, (y - y_lo) (2 reach_x + 1) + dx +
// reach_x.  Padding: the lane's own column in the first row, a space
// exponent of -1000 (an estimate of exactly +0.0, whatever the colour), and
// slot -1.  summed_before[n] counts the offsets (padding not) of the rings
// before n.
struct ring_tail {
    const int *colour_index, *disp_index;
    const float *space;
    const int *slot;
    const std::uint8_t *run;
    const int *ring_start, *summed_before;
    // A group whose lanes still open after a ring are at most this many
    // finishes them one by one.
    int most_lanes;
    // Receives one lane's estimates of the rings it finishes, entry by entry
    // from the first of them; second_estimates a second lane's, where two
    // finish side by side.
    float *estimates, *second_estimates;
};

// One group of eight output pixels (i, j) .. (i, j + 7), 0 <= j <= width - 8.
struct lane_group {
    const int *disp_arr;
    const std::uint8_t *const *rows;  // packed guide rows y_lo .. y_hi
    int y_lo, y_hi, i, j;
    // Eight candidate medians, one per lane; each lane checks the bins
    // candidate - 1, candidate and candidate + 1 of its coarse bin candidate
    // >> coarse_shift.  At most INT_MAX - 2 and at least INT_MIN + 1.
    const int *candidate;
    // Receives the estimated weights, eight per window offset (one per
    // lane) in the window's scan order, dy outer and dx inner; 0 for
    // neighbours outside the image.  Their sums are formed in another
    // order (below), which the bound of settle_margins.h allows.
    float *estimates;
    // Some window of the group reaches beyond the left or right edge: the
    // neighbours outside the image are masked out (and never read).
    bool clipped;
    // Receive, per lane, the estimated total and the estimated weight below
    // the first level of the bin settled (where one is).
    float *total, *below;
    // Where rest is not null, the window is summed in square rings from the
    // centre outwards, ring n being the offsets whose larger coordinate is
    // n (sum_in_rings); rest[n] bounds the exact weight of the window's
    // offsets beyond ring n, and the pass stops after the first ring that
    // settles every lane of the bit mask needed (settle_margins.h,
    // "Stopping early"): the other offsets' estimates are then not stored,
    // nor are total and below complete.  Null (scan order, no early stop) for coarse bins, whose
    // settled lanes need the whole window's estimates, and for small
    // windows, where a stop seldom pays for the tests.
    const float *rest;
    unsigned needed;
    // Where not null (with rest, and only for groups not clipped): once no
    // more than tail->most_lanes of the needed lanes are open after a ring,
    // each of them sums the rings beyond alone, eight offsets at a time, and
    // is tested after each ring as the group is; the group stops there.  A
    // lane that its last ring leaves open gets its estimates of those rings
    // stored in estimates at their places, as if the group had summed them.
    const ring_tail *tail;
    int *offsets_summed;  // receives, per lane, the count of window offsets summed
};

// The last ring of the group's windows (sum_in_rings): the farthest of the
// window rows above and below, or reach_x.  Internal linkage, as the
// helpers below: each file built with its own flags has its own copy.
static inline int last_ring_of(const lane_group &g, int reach_x) {
    const int above_rows = g.i - g.y_lo, below_rows = g.y_hi - g.i;
    const int rows = above_rows > below_rows ? above_rows : below_rows;
    return reach_x > rows ? reach_x : rows;
}

// The step from its candidate (-1, 0 or 1) of the bin that a lane's sums
// settle (the total, then the sums below candidate - 1 .. candidate + 2)
// when the offsets still to come weigh at most rest; 2 where none is.  The
// test every pass makes after each ring, in float.
static inline int settled_step(const lane_constants &k, const float *sums, float rest) {
    const float bound = sums[0] + rest;
    const float lo = bound * k.below, hi = bound * k.above;
    if (sums[1] + rest < lo && sums[2] > hi) return -1;
    if (sums[2] + rest < lo && sums[3] > hi) return 0;
    if (sums[3] + rest < lo && sums[4] > hi) return 1;
    return 2;
}

// A lane l left open after its last ring, having finished alone from ring
// n + 1: its estimates of those rings (estimates, entry by entry from the
// first of them) go to their places in g.estimates, where the second pass
// reads them.
static inline void store_open_lane(const lane_group &g, int l, int n, int last_ring,
                                   const float *estimates) {
    const ring_tail &tail = *g.tail;
    const int first = tail.ring_start[n + 1];
    for (int e = first; e < tail.ring_start[last_ring + 1]; ++e)
        if (tail.slot[e] >= 0)
            g.estimates[static_cast<std::ptrdiff_t>(tail.slot[e]) * lanes + l] =
                estimates[e - first];
}

// The order both passes sum a group's window in, add(y, first, last) for
// each run of offsets first .. last of window row y.  Where the pass may
// stop early (g.rest): square rings from the centre outwards (ring n: rows
// i - n and i + n across columns -n .. n, then columns -n and n of the rows
// between, as far as the window reaches), and after each ring done(n, last),
// which returns true to stop.  Else scan order, then done(last ring, true).
// Returns the count of offsets added.  A template of the callers' own
// lambdas only, so every instantiation belongs to the file that makes it
// (none can stand in for another built with other flags).
template <class Add, class Done>
inline int sum_in_rings(const lane_group &g, int reach_x, Add add, Done done) {
    const int above_rows = g.i - g.y_lo, below_rows = g.y_hi - g.i;
    const int last_ring = last_ring_of(g, reach_x);
    int summed = 0;
    if (g.rest == nullptr) {
        // No early stop: the window in scan order, which walks memory
        // fastest.
        for (int y = g.y_lo; y <= g.y_hi; ++y) add(y, -reach_x, reach_x);
        done(last_ring, true);
        return (g.y_hi - g.y_lo + 1) * (2 * reach_x + 1);
    }
    for (int n = 0;; ++n) {
        const int reach = n < reach_x ? n : reach_x;
        if (n <= above_rows) {
            add(g.i - n, -reach, reach);
            summed += 2 * reach + 1;
        }
        if (n > 0 && n <= below_rows) {
            add(g.i + n, -reach, reach);
            summed += 2 * reach + 1;
        }
        if (n > 0 && n <= reach_x) {
            const int top = n - 1 < above_rows ? n - 1 : above_rows;
            const int bottom = n - 1 < below_rows ? n - 1 : below_rows;
            for (int dy = -top; dy <= bottom; ++dy) {
                add(g.i + dy, -n, -n);
                add(g.i + dy, n, n);
            }
            summed += 2 * (top + bottom + 1);
        }
        if (done(n, n == last_ring)) return summed;
    }
}

// A lane l that finishes its window alone from ring n + 1 (lane_group::tail),
// both passes' way: sum_ring(m, sums) adds ring m's estimates of the lane
// into its partial sums, stores them in tail.estimates from the first entry
// of ring n + 1 on, and gives in sums[0 .. 4] the lane's total and its sums
// below candidate - 1 .. candidate + 2 so far (its group's sums of rings 0
// .. n, group_sums, plus its own).  Tested after each ring as the group's
// lanes are; returns the step from the candidate (-1, 0 or 1) of the bin
// settled, else 2, the lane's estimates then stored at their places in
// g.estimates.  summed receives the offsets it summed.  A template of the
// passes' own lambdas, so that each pass has its own instance.
template <class SumRing>
inline int finish_alone(const lane_group &g, const lane_constants &k, int l, int n, int last_ring,
                        int &summed, SumRing sum_ring) {
    const ring_tail &tail = *g.tail;
    for (int m = n + 1; m <= last_ring; ++m) {
        float sums[5];
        sum_ring(m, sums);
        summed = tail.summed_before[m + 1] - tail.summed_before[n + 1];
        const int step = settled_step(k, sums, m == last_ring ? 0.0f : g.rest[m]);
        if (step != 2) return step;
    }
    store_open_lane(g, l, n, last_ring, tail.estimates);
    return 2;
}

// The lanes of open that finish alone from ring n + 1, one after another
// (finish_lane(l, n, last_ring, summed), a pass's own, with finish_alone),
// or, where finish_two is given, two at a time (finish_two(lane, n,
// last_ring, step, summed) for the lanes lane[0] < lane[1], each as alone)
// and a last one alone: returns settled with those they settle, whose
// levels go to value[l], and adds their offsets to g.offsets_summed.
template <class FinishLane, class FinishTwo = std::nullptr_t>
inline unsigned finish_open_lanes(const lane_group &g, unsigned open, int n, int reach_x,
                                  unsigned settled, int *value, FinishLane finish_lane,
                                  FinishTwo finish_two = nullptr) {
    const int last_ring = last_ring_of(g, reach_x);
    while (open != 0) {
        int lane[2], step[2] = {2, 2}, summed[2] = {0, 0}, count = 1;
        lane[0] = __builtin_ctz(open);
        open &= open - 1;
        if constexpr (!std::is_null_pointer_v<FinishTwo>) {
            if (open != 0) {
                lane[1] = __builtin_ctz(open);
                open &= open - 1;
                count = 2;
                finish_two(lane, n, last_ring, step, summed);
            }
        }
        if (count == 1) step[0] = finish_lane(lane[0], n, last_ring, summed[0]);
        for (int c = 0; c < count; ++c) {
            const int l = lane[c];
            g.offsets_summed[l] += summed[c];
            if (step[c] == 2) continue;
            value[l] = g.candidate[l] + step[c];
            settled |= 1U << l;
        }
    }
    return settled;
}

// The within-bin step of a group (settle_within_bins, engine.h): for the
// lanes of mask, whose coarse bins lo[l] .. lo[l] + 2^shift - 1 the first
// pass settled, the level inside the bin, found by splitting the bin in
// quarters.  Each lane keeps an interval [a, a + 2^k) of levels that holds
// its crossing, starting from its bin, and the sum S(a) of its estimates
// below a, starting from below[l] (the first pass's).  A round sums, per
// lane, the stored estimates of the neighbours whose level lies below each of
// t_i = a + i 2^(k - 2), i = 1, 2, 3 (where k is 1: t_1 = a + 1 alone), in
// float, each sum on its own in the window's scan order: the crossing lies
// in [t_(i-1), t_i) for the first i whose S(t_i) exceeds above * total[l]
// (t_0 = a), else in the last quarter.  After the rounds the level a is
// settled where S(a) < below * total[l] (products in float, as the first
// pass forms them).  Three sums in one sweep take no longer than one: each
// waits on its own additions, the others' run beside them.
//
// In bins of 2^keep_from_shift levels or more, the rounds after the first
// are relative: each sums R_i over the neighbours whose level lies in
// [a, t_i) alone, in scan order from +0.0, and S(t_i) is S(a) + R_i.  A
// neighbour outside a lane's interval then adds nothing to that lane's sums
// in that round or any later one, whose intervals lie inside: such a round
// may pass over the neighbours of which no lane's level lies in its lane's
// interval, and the first round keeps the others for it where it can.
constexpr int keep_from_shift = 5;
constexpr bool relative_round(int shift, int k) { return shift >= keep_from_shift && k < shift; }

// Whether the round of an interval of 2^k levels keeps neighbours for the
// next: where a next round follows and is relative (a group that no edge
// cuts, with room for them).
constexpr bool keeps_for_next_round(int shift, int k) {
    return k > 2 && relative_round(shift, k - 2);
}

// The sweep of one round of the vector searches inside bins: over the
// neighbours the round before kept (from_kept: relative rounds alone) or
// over the whole window, summing below `parts` thresholds (3, or 1 where
// the interval holds two levels), keeping neighbours for the next round or
// not.  window(parts, keeping, relative) and kept(parts, keeping) take
// std::integral_constant arguments.
template <class Window, class Kept>
static inline void sweep_bin_round(bool from_kept, int parts, bool keeping, bool relative,
                                   Window window, Kept kept) {
    using three = std::integral_constant<int, 3>;
    using one = std::integral_constant<int, 1>;
    using yes = std::true_type;
    using no = std::false_type;
    if (from_kept) {
        if (keeping)
            kept(three{}, yes{});
        else if (parts == 3)
            kept(three{}, no{});
        else
            kept(one{}, no{});
    } else if (keeping) {
        if (relative)
            window(three{}, yes{}, yes{});
        else
            window(three{}, yes{}, no{});
    } else if (relative) {
        if (parts == 3)
            window(three{}, no{}, yes{});
        else
            window(one{}, no{}, yes{});
    } else if (parts == 3) {
        window(three{}, no{}, no{});
    } else {
        window(one{}, no{}, no{});
    }
}

struct bin_lanes {
    const float *estimates;  // the first pass's, as lane_group::estimates
    const int *disp_arr;
    int width, reach_x, y_lo, y_hi, j;
    bool clipped;  // as lane_group::clipped
    int shift;
    unsigned mask;
    const int *lo;
    const float *below, *total;        // the first pass's, per lane
    float below_factor, above_factor;  // lane_constants::below, above
    // Room for the neighbours a round keeps for the next (32 floats for
    // each window pixel), or null: every round sweeps the whole window.
    float *kept = nullptr;
};

// The rounds over the window that a bin of 2^shift levels takes: two levels
// of the search a round, one in the last where shift is odd.
constexpr int bin_rounds(int shift) { return (shift + 1) / 2; }

// The two ways of splitting, with the same sums to the last bit: each
// round's sums of a lane take the same estimates in the same order.  Return the
// lanes of mask settled, with their levels in level[l].
unsigned bisect_bins_avx2(const bin_lanes &b, int *level);
unsigned bisect_bins_generic(const bin_lanes &b, int *level);
using bisect_bins_fn = unsigned (*)(const bin_lanes &, int *);

// The search of two groups side by side (b.j = a.j + 8, the same rows and
// shift) in sixteen AVX-512 lanes, with bisect_bins_avx2's sums: returns a's
// settled lanes in bits 0 .. 7 and b's in bits 8 .. 15.  For x86 alone,
// where first_pass_pairs chose the two-group sweep.
unsigned bisect_bin_pairs_avx512(const bin_lanes &a, const bin_lanes &b, int *level_a,
                                 int *level_b);
using bisect_pairs_fn = unsigned (*)(const bin_lanes &, const bin_lanes &, int *, int *);

// Estimates the eight windows' weights, stores them in group.estimates, and
// returns a bit mask of the lanes settled, whose disparity (with a coarse
// shift, coarse bin) it stores in value[lane].  Needs AVX2 and FMA, and is
// defined for x86 alone: called only where first_pass (vector_isa.h) chose
// it.
unsigned estimate_lanes_avx2(const lane_constants &constants, const lane_group &group, int *value);

// The same pass in plain C++, with the same results to the last bit, on
// every processor; fast where fused multiply-add is an instruction.
unsigned estimate_lanes_generic(const lane_constants &constants, const lane_group &group,
                                int *value);

// Either of the two.
using estimate_lanes_fn = unsigned (*)(const lane_constants &, const lane_group &, int *);

// The first pass of two groups side by side in one sweep of sixteen vector
// lanes: b's pixels are the eight after a's (b.j = a.j + 8) in the same row,
// with the same window rows and rest; each has its own candidates,
// estimates, sums, counts, needed lanes, and tail (null where clipped), and
// either may be clipped.  Gives each
// group, to the last bit, what estimate_lanes_avx2 gives it alone, and
// returns a's settled lanes in bits 0 .. 7 and b's in bits 8 .. 15.  Needs
// AVX-512 (F, BW, VL and DQ), and is defined for x86 alone: called only
// where first_pass_pairs (vector_isa.h) chose it.
unsigned estimate_lane_pairs_avx512(const lane_constants &constants, const lane_group &a,
                                    const lane_group &b, int *value_a, int *value_b);
using estimate_pairs_fn = unsigned (*)(const lane_constants &, const lane_group &,
                                       const lane_group &, int *, int *);

}  // namespace dispsmooth

#endif
