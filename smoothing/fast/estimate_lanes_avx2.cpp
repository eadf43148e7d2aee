// The estimate-and-settle pass, eight output pixels per call in AVX2 lanes.
// Built with AVX2 and FMA enabled for this file alone; called only where the
// processor has both (first_pass_may_run, vector_isa.h).  The file includes
// nothing but plain declarations and the intrinsics, so that no inline
// function compiled here can stand in for the rest of the library's.  For
// other processors than x86 it compiles to nothing, and nothing calls it.
//
// For each offset of the window (in square rings from the centre outwards,
// sum_in_rings in estimate_lanes.h, stopping early where the rings to come
// cannot change the lanes' results, or leaving the last few open lanes to
// finish alone), the eight neighbours' weights are estimated
// as 2^t, t = -log2(e) (C / sigma_color^2 + S / sigma_space^2), and each lane
// sums its estimates: all of them, and those of the neighbours whose
// disparity lies below each of the four thresholds candidate - 1 ..
// candidate + 2.  Why a lane may then settle candidate - 1, candidate or
// candidate + 1: see smoothing/fast/README.md, "Why the result stays exact"
// (the bound and the factors are derived in settle_margins.h).
//
// The estimate.  t + 127 = C colour_exponent + space_exponent[offset], one
// fused multiply-add.  With e = floor(t + 127) and f = t + 127 - e (exact),
// 2^t = 2^(e - 127) 2^f: 2^(e - 127) is the float whose exponent bits are e,
// and 2^f, f in [0, 1), a degree-4 polynomial.  e <= 0 (t < -126) gives the
// bits of +0.0: the estimate of a weight below 2^-126 is 0.
#include "smoothing/fast/estimate_lanes.h"
#include "smoothing/fast/vector_isa.h"

#if DISPSMOOTH_X86

#include <immintrin.h>

#include <algorithm>
#include <climits>
#include <cstddef>

#include "smoothing/fast/avx2_lanes.h"

namespace {

using dispsmooth::lane_constants;
using dispsmooth::lane_group;
using dispsmooth::lanes;
using dispsmooth::avx2_lanes::add_below;
using dispsmooth::avx2_lanes::colour_distances;
using dispsmooth::avx2_lanes::estimated_weights;
using dispsmooth::avx2_lanes::finish_lane_alone;
using dispsmooth::avx2_lanes::group_sums;
using dispsmooth::avx2_lanes::load_pixels;
using dispsmooth::avx2_lanes::widen;
using dispsmooth::avx2_lanes::widened_pixels;

template <bool clipped, bool masked>
unsigned estimate(const lane_constants &k, const lane_group &g, int *value) {
    const int width = k.width, r = k.reach_x, span = 2 * r + 1;

    const __m256i one_i = _mm256_set1_epi32(1);
    // The candidates' coarse bins (the candidates themselves for a shift of
    // 0) and the width of a bin in levels.
    const __m128i shift = _mm_cvtsi32_si128(k.coarse_shift);
    const __m256i candidate =
        _mm256_sra_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(g.candidate)), shift);
    const __m256i bin_width = _mm256_sll_epi32(one_i, shift);
    // Thresholds: lane sums b<k> hold the weight of the disparities below
    // the first level of bin candidate - 1 + k.
    const __m256i t1 = _mm256_sll_epi32(candidate, shift), t0 = _mm256_sub_epi32(t1, bin_width),
                  t2 = _mm256_add_epi32(t1, bin_width), t3 = _mm256_add_epi32(t2, bin_width);

    const std::uint8_t *centre_px = g.rows[g.i - g.y_lo] + 4 * static_cast<std::ptrdiff_t>(g.j);
    const widened_pixels centre =
        widen(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(centre_px)));

    const __m256 colour_factor = _mm256_set1_ps(k.colour_exponent);
    const __m256i zero_i = _mm256_setzero_si256();

    // Columns of the lanes' neighbours at offset dx: j + dx + lane.
    const __m256i lane_index = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256i before_first = _mm256_set1_epi32(-1), past_last = _mm256_set1_epi32(width);
    __m256i inside = _mm256_set1_epi32(-1);

    __m256 total = _mm256_setzero_ps(), b0 = total, b1 = total, b2 = total, b3 = total;
    // The lanes settled by the sums so far when the weight of the rows still
    // to come is at most rest (0 once every row is in): see the file comment.
    __m256i step = zero_i;
    __m256 below_bin = b1;
    const auto settled_with = [&](float rest) {
        const __m256 rest_v = _mm256_set1_ps(rest);
        const __m256 bound = _mm256_add_ps(total, rest_v);
        // Ordered comparisons: a sum that is not a number settles nothing.
        const __m256 lo = _mm256_mul_ps(bound, _mm256_set1_ps(k.below));
        const __m256 hi = _mm256_mul_ps(bound, _mm256_set1_ps(k.above));
        const __m256 settled_down =
            _mm256_and_ps(_mm256_cmp_ps(_mm256_add_ps(b0, rest_v), lo, _CMP_LT_OQ),
                          _mm256_cmp_ps(b1, hi, _CMP_GT_OQ));
        const __m256 settled_same =
            _mm256_and_ps(_mm256_cmp_ps(_mm256_add_ps(b1, rest_v), lo, _CMP_LT_OQ),
                          _mm256_cmp_ps(b2, hi, _CMP_GT_OQ));
        const __m256 settled_up =
            _mm256_and_ps(_mm256_cmp_ps(_mm256_add_ps(b2, rest_v), lo, _CMP_LT_OQ),
                          _mm256_cmp_ps(b3, hi, _CMP_GT_OQ));
        // At most one of the three holds: each needs its lower sum below lo
        // and its upper one above hi, and the sums grow with the threshold.
        // The weight below the bin settled: b0, b1 or b2.
        below_bin = _mm256_blendv_ps(_mm256_blendv_ps(b1, b0, settled_down), b2, settled_up);
        step = _mm256_sub_epi32(_mm256_and_si256(_mm256_castps_si256(settled_up), one_i),
                                _mm256_and_si256(_mm256_castps_si256(settled_down), one_i));
        return static_cast<unsigned>(
            _mm256_movemask_ps(_mm256_or_ps(settled_same, _mm256_or_ps(settled_down, settled_up))));
    };

    // The neighbours at offset dx of window row y: their estimates are
    // stored at the offset's place in scan order and added to the sums.
    const auto add = [&](int y, int first, int last) __attribute__((always_inline)) {
        float *est =
            g.estimates + (static_cast<std::ptrdiff_t>(y - g.y_lo) * span + first + r) * lanes;
        const float *space =
            k.space_exponent + static_cast<std::ptrdiff_t>(y - g.i + k.reach_y) * span + r;
        // Addresses are formed from the row start, and where a neighbour may
        // lie outside the image only its masked loads use them.
        const std::uint8_t *px_row = g.rows[y - g.y_lo];
        const int *disp_row = g.disp_arr + static_cast<std::ptrdiff_t>(y) * width;
        for (int dx = first; dx <= last; ++dx, est += lanes) {
            const float space_dx = space[dx];
            const std::ptrdiff_t x = static_cast<std::ptrdiff_t>(g.j) + dx;
            if constexpr (clipped) {
                const __m256i column =
                    _mm256_add_epi32(_mm256_set1_epi32(static_cast<int>(x)), lane_index);
                inside = _mm256_and_si256(_mm256_cmpgt_epi32(column, before_first),
                                          _mm256_cmpgt_epi32(past_last, column));
            }
            const std::uint8_t *px = px_row + 4 * x;
            const __m256i c = colour_distances(load_pixels<clipped>(px, inside), centre);
            __m256 w = estimated_weights(c, colour_factor, _mm256_set1_ps(space_dx));
            __m256i d;
            if constexpr (clipped) {
                w = _mm256_and_ps(w, _mm256_castsi256_ps(inside));
                d = _mm256_maskload_epi32(disp_row + x, inside);
            } else {
                d = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(disp_row + x));
            }
            if constexpr (masked) {
                // An invalid neighbour (level below 0) weighs +0.0: it adds
                // nothing to any sum, and its stored estimate is 0 too.
                w = _mm256_and_ps(w, _mm256_castsi256_ps(_mm256_cmpgt_epi32(d, before_first)));
            }
            _mm256_storeu_ps(est, w);

            total = _mm256_add_ps(total, w);
            b0 = add_below(b0, w, t0, d);
            b1 = add_below(b1, w, t1, d);
            b2 = add_below(b2, w, t2, d);
            b3 = add_below(b3, w, t3, d);
        }
    };

    // The group's sums of rings 0 .. n for the lanes that finish alone.
    alignas(32) group_sums lane_sums;
    const auto finish_lane = [&](int l, int n, int last_ring, int &summed) {
        return finish_lane_alone<masked>(k, g, lane_sums, l, n, last_ring, summed);
    };

    // The window in square rings from the centre outwards: ring n holds the
    // offsets whose larger coordinate is n, rows i - n and i + n across
    // columns -n .. n, and columns -n and n of the rows between.  After ring
    // n, where g.rest is given, the lanes are tested as if the offsets still
    // to come weighed g.rest[n] in all, placed where they hurt each test
    // most; once every lane asked for passes, the rest need not be summed.
    // After the last ring the test is the plain one.
    // Where few lanes are left open after a ring, each finishes alone.
    unsigned settled = 0, alone = 0;
    int ring_done = -1;
    const int group_summed = dispsmooth::sum_in_rings(g, r, add, [&](int n, bool last) {
        if (!last && g.rest == nullptr) return false;
        settled = settled_with(last ? 0.0f : g.rest[n]);
        if (last) return true;
        const unsigned open = g.needed & ~settled & 0xFFU;
        if (open == 0) return true;
        if constexpr (!clipped) {
            if (g.tail != nullptr && __builtin_popcount(open) <= g.tail->most_lanes) {
                alone = open;
                ring_done = n;
                return true;
            }
        }
        return false;
    });
    _mm256_storeu_ps(g.total, total);
    _mm256_storeu_ps(g.below, below_bin);
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(value), _mm256_add_epi32(candidate, step));
    for (int l = 0; l < lanes; ++l) g.offsets_summed[l] = group_summed;
    if (alone != 0) {
        _mm256_store_ps(lane_sums[0], total);
        _mm256_store_ps(lane_sums[1], b0);
        _mm256_store_ps(lane_sums[2], b1);
        _mm256_store_ps(lane_sums[3], b2);
        _mm256_store_ps(lane_sums[4], b3);
        settled =
            dispsmooth::finish_open_lanes(g, alone, ring_done, r, settled, value, finish_lane);
    }
    return settled;
}

// One round of the search inside bins: per lane, the sums of the estimates
// of the neighbours whose level d lies below each threshold
// t_i = a + limit_i of the first `parts`, or in [a, t_i) where relative, in
// float, in the window's scan order.  d - a is compared as unsigned, its
// sign bit flipped for AVX2's signed comparison (as the limits' are).  Where
// keeping, the neighbours of which some lane's level lies in its interval
// [a, a + keep) are stored in `kept` (levels, then estimates:
// entry_floats), in scan order, for the next round.
struct bin_round {
    static constexpr int entry_floats = 2 * lanes;
    __m256i a, t[3], flipped_limit[3], flipped_keep;
    __m256 sum[3];
    float *kept;
    int count;  // the neighbours kept
    template <int parts, bool keeping, bool relative>
    void take(__m256i d, __m256 e) {
        const __m256i u = _mm256_xor_si256(_mm256_sub_epi32(d, a), _mm256_set1_epi32(INT_MIN));
        for (int i = 0; i < parts; ++i) {
            const __m256i in =
                relative ? _mm256_cmpgt_epi32(flipped_limit[i], u) : _mm256_cmpgt_epi32(t[i], d);
            sum[i] = _mm256_add_ps(sum[i], _mm256_and_ps(e, _mm256_castsi256_ps(in)));
        }
        if constexpr (keeping) {
            // Stored whatever the test says; the count moves on past
            // those kept alone.
            float *entry = kept + static_cast<std::ptrdiff_t>(count) * entry_floats;
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(entry), d);
            _mm256_storeu_ps(entry + lanes, e);
            count += static_cast<int>(
                _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpgt_epi32(flipped_keep, u))) != 0);
        }
    }
};

// The round over the whole window.
template <int parts, bool keeping, bool relative>
void window_round(const dispsmooth::bin_lanes &b, bin_round &to) {
    // A copy of its own, which the stores of kept neighbours cannot touch:
    // the sums stay in registers.
    bin_round round = to;
    const bool clipped = b.clipped;
    const int r = b.reach_x, span = 2 * r + 1;
    const __m256i lane_index = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256i before_first = _mm256_set1_epi32(-1), past_last = _mm256_set1_epi32(b.width);
    for (int y = b.y_lo; y <= b.y_hi; ++y) {
        const float *est = b.estimates + static_cast<std::ptrdiff_t>(y - b.y_lo) * span * lanes;
        const int *disp_row = b.disp_arr + static_cast<std::ptrdiff_t>(y) * b.width;
        for (int dx = -r; dx <= r; ++dx, est += lanes) {
            const int x = b.j + dx;
            __m256i d;
            if (clipped) {
                // Neighbours outside the image are not read; their
                // estimates are 0.
                const __m256i column = _mm256_add_epi32(_mm256_set1_epi32(x), lane_index);
                d = _mm256_maskload_epi32(disp_row + x,
                                          _mm256_and_si256(_mm256_cmpgt_epi32(column, before_first),
                                                           _mm256_cmpgt_epi32(past_last, column)));
            } else {
                d = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(disp_row + x));
            }
            round.take<parts, keeping, relative>(d, _mm256_loadu_ps(est));
        }
    }
    to = round;
}

// A relative round over the neighbours the round before kept (in place:
// each is read before any is stored over it).
template <int parts, bool keeping>
void kept_round(int count, bin_round &to) {
    bin_round round = to;  // as in window_round
    for (int n = 0; n < count; ++n) {
        const float *entry = round.kept + static_cast<std::ptrdiff_t>(n) * bin_round::entry_floats;
        round.take<parts, keeping, true>(
            _mm256_loadu_si256(reinterpret_cast<const __m256i *>(entry)),
            _mm256_loadu_ps(entry + lanes));
    }
    to = round;
}

}  // namespace

unsigned dispsmooth::bisect_bins_avx2(const bin_lanes &b, int *level) {
    const __m256 total = _mm256_loadu_ps(b.total);
    const __m256 lo_limit = _mm256_mul_ps(total, _mm256_set1_ps(b.below_factor));
    const __m256 hi_limit = _mm256_mul_ps(total, _mm256_set1_ps(b.above_factor));
    __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(b.lo));
    __m256 sum_a = _mm256_loadu_ps(b.below);
    // The neighbours the round before kept, or -1: the whole window.
    int kept = -1;
    for (int k = b.shift; k > 0; k -= 2) {
        // Where k is 1, one threshold: a + 1.
        const int parts = k > 1 ? 3 : 1, quarter = 1 << std::max(k - 2, 0);
        bin_round round{};
        round.a = a;
        for (int i = 0; i < 3; ++i) {
            round.t[i] = _mm256_add_epi32(a, _mm256_set1_epi32((i + 1) * quarter));
            round.flipped_limit[i] = _mm256_set1_epi32((i + 1) * quarter + INT_MIN);
        }
        round.flipped_keep = _mm256_set1_epi32((1 << k) + INT_MIN);
        round.kept = b.kept;
        const bool relative = relative_round(b.shift, k);
        // Neighbours are kept for a round that follows.
        const bool keeping = !b.clipped && b.kept != nullptr && keeps_for_next_round(b.shift, k);
        sweep_bin_round(
            kept >= 0, parts, keeping, relative,
            [&](auto p, auto keep, auto rel) {
                window_round<decltype(p)::value, decltype(keep)::value, decltype(rel)::value>(
                    b, round);
            },
            [&](auto p, auto keep) {
                kept_round<decltype(p)::value, decltype(keep)::value>(kept, round);
            });
        kept = keeping ? round.count : -1;
        // The first threshold whose sum passes holds the crossing below it;
        // a sum that is not a number never passes.
        __m256 going = _mm256_castsi256_ps(_mm256_set1_epi32(-1)), next_sum = sum_a;
        __m256i next = a;
        for (int i = 0; i < parts; ++i) {
            const __m256 below_t = relative ? _mm256_add_ps(sum_a, round.sum[i]) : round.sum[i];
            going = _mm256_and_ps(going, _mm256_cmp_ps(below_t, hi_limit, _CMP_NGT_UQ));
            next = _mm256_blendv_epi8(next, round.t[i], _mm256_castps_si256(going));
            next_sum = _mm256_blendv_ps(next_sum, below_t, going);
        }
        a = next;
        sum_a = next_sum;
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(level), a);
    return static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(sum_a, lo_limit, _CMP_LT_OQ))) &
           b.mask;
}

unsigned dispsmooth::estimate_lanes_avx2(const lane_constants &constants, const lane_group &group,
                                         int *value) {
    if (constants.masked)
        return group.clipped ? estimate<true, true>(constants, group, value)
                             : estimate<false, true>(constants, group, value);
    return group.clipped ? estimate<true, false>(constants, group, value)
                         : estimate<false, false>(constants, group, value);
}

#endif  // DISPSMOOTH_X86
