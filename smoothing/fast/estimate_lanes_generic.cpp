// The estimate-and-settle pass in plain C++, eight output pixels per call:
// the same arithmetic as estimate_lanes_avx2.cpp, operation for operation,
// so that every estimate, every lane sum and every settled lane is the same
// to the last bit (tests/test_fast_smoothing.cpp compares the two).  Each
// multiply-add of the estimate is an explicit std::fma, fused as the AVX2
// pass's are; the processors that take this pass (vector_isa.cpp) have it
// as an instruction, and the compiler may vectorise the loops over the
// lanes.  Why a settled lane is exact: smoothing/fast/README.md, "Why the
// result stays exact", and settle_margins.h.
#include "smoothing/fast/estimate_lanes.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

using dispsmooth::lane_constants;
using dispsmooth::lane_group;
using dispsmooth::lanes;

// The AVX2 pass's conversion of floor(t + 127) to exponent bits: a
// truncation that gives INT_MIN for a value out of int's range or not a
// number, then at least 0, then shifted into the exponent field (bits that
// pass bit 31 are lost, as in a vector shift).
float exponent_scale(float whole) {
    int e = INT_MIN;
    if (whole >= -2147483648.0f && whole < 2147483648.0f) e = static_cast<int>(whole);
    if (e < 0) e = 0;
    const std::uint32_t bits = static_cast<std::uint32_t>(e) << 23;
    float scale = 0.0f;
    std::memcpy(&scale, &bits, sizeof scale);
    return scale;
}

// The estimate 2^t of one weight, t + 127 = c colour_exponent + space, as
// the AVX2 pass computes it.
float estimated_weight(int c, float colour_exponent, float space) {
    // 2^f for f in [0, 1), evaluated as every first pass evaluates it.
    using q = dispsmooth::exp2_polynomial;
    const float t = std::fma(static_cast<float>(c), colour_exponent, space);
    const float whole = std::floor(t);
    const float f = t - whole;
    float poly = std::fma(q::q4, f, q::q3);
    poly = std::fma(poly, f, q::q2);
    poly = std::fma(poly, f, q::q1);
    poly = std::fma(poly, f, q::q0);
    return poly * exponent_scale(whole);
}

// Squared colour distance of two packed pixels.
int colour_distance(const std::uint8_t *a, const std::uint8_t *b) {
    int c = 0;
    for (int s = 0; s < 4; ++s) {
        const int diff = static_cast<int>(a[s]) - static_cast<int>(b[s]);
        c += diff * diff;
    }
    return c;
}

// The AVX2 pass's sum of its eight vector lanes (lane_sum there).
float lane_sum(const float *v) {
    return ((v[0] + v[4]) + (v[2] + v[6])) + ((v[1] + v[5]) + (v[3] + v[7]));
}

template <bool clipped, bool masked>
unsigned estimate(const lane_constants &k, const lane_group &g, int *value) {
    const int width = k.width, r = k.reach_x, span = 2 * r + 1, shift = k.coarse_shift;
    // The candidates' coarse bins (the candidates themselves for a shift of
    // 0), and the thresholds: lane sums b[n] hold the weight of the
    // disparities below the first level of bin candidate - 1 + n.
    int bin[lanes];
    int threshold[4][lanes];
    for (int l = 0; l < lanes; ++l) {
        bin[l] = g.candidate[l] >> shift;
        const auto width_of_bin = static_cast<std::uint32_t>(1) << shift;
        const auto t1 = static_cast<std::uint32_t>(bin[l]) << shift;
        threshold[0][l] = static_cast<int>(t1 - width_of_bin);
        threshold[1][l] = static_cast<int>(t1);
        threshold[2][l] = static_cast<int>(t1 + width_of_bin);
        threshold[3][l] = static_cast<int>(t1 + 2 * width_of_bin);
    }

    const std::uint8_t *centre = g.rows[g.i - g.y_lo] + 4 * static_cast<std::ptrdiff_t>(g.j);

    float total[lanes] = {}, b0[lanes] = {}, b1[lanes] = {}, b2[lanes] = {}, b3[lanes] = {};
    float below_bin[lanes] = {};
    int step[lanes] = {};
    // The lanes settled by the sums so far when the rows still to come weigh
    // at most rest, as in the AVX2 pass.
    const auto settled_with = [&](float rest) {
        unsigned settled = 0;
        for (int l = 0; l < lanes; ++l) {
            // Ordered comparisons: a sum that is not a number settles nothing.
            const float bound = total[l] + rest;
            const float lo = bound * k.below, hi = bound * k.above;
            const bool down = b0[l] + rest < lo && b1[l] > hi;
            const bool same = b1[l] + rest < lo && b2[l] > hi;
            const bool up = b2[l] + rest < lo && b3[l] > hi;
            below_bin[l] = up ? b2[l] : (down ? b0[l] : b1[l]);
            step[l] = (up ? 1 : 0) - (down ? 1 : 0);
            if (down || same || up) settled |= 1U << l;
        }
        return settled;
    };

    // The neighbours at offset dx of window row y, as in the AVX2 pass.
    const auto add = [&](int y, int first, int last) {
        float *est =
            g.estimates + (static_cast<std::ptrdiff_t>(y - g.y_lo) * span + first + r) * lanes;
        const float *space =
            k.space_exponent + static_cast<std::ptrdiff_t>(y - g.i + k.reach_y) * span + r;
        const std::uint8_t *px_row = g.rows[y - g.y_lo];
        const int *disp_row = g.disp_arr + static_cast<std::ptrdiff_t>(y) * width;
        for (int dx = first; dx <= last; ++dx, est += lanes) {
            const float space_dx = space[dx];
            const std::ptrdiff_t x = static_cast<std::ptrdiff_t>(g.j) + dx;
            for (int l = 0; l < lanes; ++l) {
                const std::ptrdiff_t column = x + l;
                // A neighbour outside the image is never read: its weight is
                // +0.0 and its disparity 0, as in the AVX2 pass.
                const bool inside = !clipped || (column >= 0 && column < width);
                int c = 0;
                int d = 0;
                if (inside) {
                    c = colour_distance(px_row + 4 * column,
                                        centre + 4 * static_cast<std::ptrdiff_t>(l));
                    d = disp_row[column];
                }
                float w = estimated_weight(c, k.colour_exponent, space_dx);
                if (!inside) w = 0.0f;
                // An invalid neighbour (level below 0) weighs +0.0.
                if (masked && d < 0) w = 0.0f;
                est[l] = w;
                total[l] += w;
                b0[l] += threshold[0][l] > d ? w : 0.0f;
                b1[l] += threshold[1][l] > d ? w : 0.0f;
                b2[l] += threshold[2][l] > d ? w : 0.0f;
                b3[l] += threshold[3][l] > d ? w : 0.0f;
            }
        }
    };

    // One lane's window from ring n + 1 on, alone, as the AVX2 pass sums it:
    // entry e of a ring's eight at a time goes to partial sum e % 8.
    const auto finish_lane = [&](int l, int n, int last_ring, int &summed) {
        const dispsmooth::ring_tail &tail = *g.tail;
        const std::ptrdiff_t x = static_cast<std::ptrdiff_t>(g.j) + l;
        const std::uint8_t *px_base = g.rows[0] + 4 * x;
        const int *d_base = g.disp_arr + static_cast<std::ptrdiff_t>(g.y_lo) * width + x;
        const std::uint8_t *centre_l = centre + 4 * static_cast<std::ptrdiff_t>(l);
        const int c = g.candidate[l];
        const int u[4] = {c - 1, c, c + 1, c + 2};
        float at[lanes] = {}, a[4][lanes] = {};
        const int first = tail.ring_start[n + 1];
        return dispsmooth::finish_alone(g, k, l, n, last_ring, summed, [&](int m, float *sums) {
            for (int e = tail.ring_start[m]; e < tail.ring_start[m + 1]; ++e) {
                const int q = (e - tail.ring_start[m]) % lanes;
                const int d = d_base[tail.disp_index[e]];
                float w = estimated_weight(
                    colour_distance(px_base + 4 * static_cast<std::ptrdiff_t>(tail.colour_index[e]),
                                    centre_l),
                    k.colour_exponent, tail.space[e]);
                if (masked && d < 0) w = 0.0f;
                tail.estimates[e - first] = w;
                at[q] += w;
                for (int t = 0; t < 4; ++t) a[t][q] += u[t] > d ? w : 0.0f;
            }
            sums[0] = total[l] + lane_sum(at);
            sums[1] = b0[l] + lane_sum(a[0]);
            sums[2] = b1[l] + lane_sum(a[1]);
            sums[3] = b2[l] + lane_sum(a[2]);
            sums[4] = b3[l] + lane_sum(a[3]);
        });
    };

    // The window in square rings from the centre outwards, tested after each
    // ring, in the AVX2 pass's order; where few lanes are left open after a
    // ring, each finishes alone.
    unsigned settled = 0, alone = 0;
    int ring_done = -1;
    const int group_summed = dispsmooth::sum_in_rings(g, r, add, [&](int n, bool last) {
        if (!last && g.rest == nullptr) return false;
        settled = settled_with(last ? 0.0f : g.rest[n]);
        if (last) return true;
        const unsigned open = g.needed & ~settled & 0xFFU;
        if (open == 0) return true;
        if (!clipped && g.tail != nullptr && std::popcount(open) <= g.tail->most_lanes) {
            alone = open;
            ring_done = n;
            return true;
        }
        return false;
    });
    for (int l = 0; l < lanes; ++l) {
        g.total[l] = total[l];
        g.below[l] = below_bin[l];
        value[l] = bin[l] + step[l];
        g.offsets_summed[l] = group_summed;
    }
    if (alone != 0)
        settled =
            dispsmooth::finish_open_lanes(g, alone, ring_done, r, settled, value, finish_lane);
    return settled;
}

}  // namespace

unsigned dispsmooth::bisect_bins_generic(const bin_lanes &b, int *level) {
    const int r = b.reach_x, span = 2 * r + 1;
    unsigned settled = 0;
    for (int l = 0; l < lanes; ++l) {
        const float lo_limit = b.total[l] * b.below_factor, hi_limit = b.total[l] * b.above_factor;
        int a = b.lo[l];
        float sum_a = b.below[l];
        for (int k = b.shift; k > 0; k -= 2) {
            // Where k is 1, one threshold: a + 1.
            const int parts = k > 1 ? 3 : 1, quarter = 1 << std::max(k - 2, 0);
            const int t[3] = {a + quarter, a + 2 * quarter, a + 3 * quarter};
            const bool relative = dispsmooth::relative_round(b.shift, k);
            float sum[3] = {0.0f, 0.0f, 0.0f};
            for (int y = b.y_lo; y <= b.y_hi; ++y) {
                const float *est =
                    b.estimates + static_cast<std::ptrdiff_t>(y - b.y_lo) * span * lanes + l;
                const int *disp_row = b.disp_arr + static_cast<std::ptrdiff_t>(y) * b.width;
                for (int dx = -r; dx <= r; ++dx, est += lanes) {
                    const std::ptrdiff_t column = static_cast<std::ptrdiff_t>(b.j) + dx + l;
                    // Outside the image: not read, as in the AVX2 search (its
                    // masked load gives 0; the estimate is 0 either way).
                    const int d = column >= 0 && column < b.width ? disp_row[column] : 0;
                    for (int i = 0; i < parts; ++i)
                        sum[i] += t[i] > d && (!relative || d >= a) ? *est : 0.0f;
                }
            }
            // The first threshold whose sum passes holds the crossing below
            // it; a sum that is not a number never passes.
            const float below_a = sum_a;
            for (int i = 0; i < parts; ++i) {
                const float below_t = relative ? below_a + sum[i] : sum[i];
                if (below_t > hi_limit) break;
                a = t[i];
                sum_a = below_t;
            }
        }
        level[l] = a;
        if ((b.mask >> l & 1) != 0 && sum_a < lo_limit) settled |= 1U << l;
    }
    return settled;
}

unsigned dispsmooth::estimate_lanes_generic(const lane_constants &constants,
                                            const lane_group &group, int *value) {
    if (constants.masked)
        return group.clipped ? estimate<true, true>(constants, group, value)
                             : estimate<false, true>(constants, group, value);
    return group.clipped ? estimate<true, false>(constants, group, value)
                         : estimate<false, false>(constants, group, value);
}
