// The first pass for two groups side by side, sixteen output pixels per call
// in the lanes of AVX-512 vectors: groups a and b, b's pixels the eight
// after a's, either of them cut by the left or right edge or not.  Built
// with AVX-512 (F, BW, VL, DQ) for this file alone and called only where the
// processor has them (vector_isa.h); for other processors than x86 it
// compiles to nothing.
//
// Every lane does what estimate_lanes_avx2.cpp does for it, operation for
// operation: the same estimate of each weight, the same additions in the
// same order, the same tests after each ring.  So each group gets the very
// estimates, sums, settled lanes and counts that the AVX2 pass gives it,
// which tests/test_first_pass.cpp checks bit for bit.  A sum masked out
// here keeps its value where the AVX2 pass adds +0.0 to it: the same, as
// the sums are never -0.0 (they start at +0.0 and add estimates of at
// least +0.0).
//
// The groups share the window rows and the rings.  Each stops after the
// ring where the AVX2 pass would stop it; from there the other goes on in
// the same vectors, the stopped group's half no longer stored (about what
// one group costs in AVX2).  Lanes that finish their windows alone do so
// with the AVX2 arithmetic itself (avx2_lanes.h), one group after the
// other.
#include "smoothing/fast/estimate_lanes.h"
#include "smoothing/fast/vector_isa.h"

#if DISPSMOOTH_X86

// GCC 12's own AVX-512 intrinsics leave the unused source of their masked
// built-ins undefined on purpose (_mm512_undefined_*), which it then reports
// as uninitialised once they are inlined (GCC bug 105593, fixed in 13).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <immintrin.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "smoothing/fast/avx2_lanes.h"

namespace {

using dispsmooth::lane_constants;
using dispsmooth::lane_group;
using dispsmooth::lanes;

// The sixteen packed pixels at px widened to 16 bits, pixels 0 .. 7 in lo
// and 8 .. 15 in hi, in order; where clipped, those of inside only (in the
// others 0, and never read).
struct widened_pixels {
    __m512i lo, hi;
};
inline widened_pixels widen(__m512i v) {
    return {_mm512_cvtepu8_epi16(_mm512_castsi512_si256(v)),
            _mm512_cvtepu8_epi16(_mm512_extracti64x4_epi64(v, 1))};
}
template <bool clipped>
inline widened_pixels widen(const std::uint8_t *px, __mmask16 inside) {
    if constexpr (clipped) return widen(_mm512_maskz_loadu_epi32(inside, px));
    (void)inside;
    return {_mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(px))),
            _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(px + 32)))};
}

// Squared colour distances of the sixteen packed pixels at px (those of
// inside where clipped) from the centres: per pixel dR^2 + dG^2 and dB^2
// from one multiply-add, then each pixel's pair summed, in pixel order.
// Integers, as in the AVX2 pass.
inline __m512i distances_of(const widened_pixels &p, const widened_pixels &centre) {
    const __m512i d_lo = _mm512_sub_epi16(p.lo, centre.lo);
    const __m512i d_hi = _mm512_sub_epi16(p.hi, centre.hi);
    const __m512i s_lo = _mm512_madd_epi16(d_lo, d_lo), s_hi = _mm512_madd_epi16(d_hi, d_hi);
    const __m512i first =
        _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
    const __m512i second =
        _mm512_setr_epi32(1, 3, 5, 7, 9, 11, 13, 15, 17, 19, 21, 23, 25, 27, 29, 31);
    return _mm512_add_epi32(_mm512_permutex2var_epi32(s_lo, first, s_hi),
                            _mm512_permutex2var_epi32(s_lo, second, s_hi));
}
template <bool clipped>
inline __m512i colour_distances(const std::uint8_t *px, __mmask16 inside,
                                const widened_pixels &centre) {
    return distances_of(widen<clipped>(px, inside), centre);
}

// The estimates of sixteen weights: estimated_weights of avx2_lanes.h,
// operation for operation.
inline __m512 estimated_weights(__m512i c, __m512 colour_factor, __m512 space) {
    using q = dispsmooth::exp2_polynomial;
    const __m512 t = _mm512_fmadd_ps(_mm512_cvtepi32_ps(c), colour_factor, space);
    const __m512 whole = _mm512_roundscale_ps(t, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
    const __m512 f = _mm512_sub_ps(t, whole);
    __m512 poly = _mm512_fmadd_ps(_mm512_set1_ps(q::q4), f, _mm512_set1_ps(q::q3));
    poly = _mm512_fmadd_ps(poly, f, _mm512_set1_ps(q::q2));
    poly = _mm512_fmadd_ps(poly, f, _mm512_set1_ps(q::q1));
    poly = _mm512_fmadd_ps(poly, f, _mm512_set1_ps(q::q0));
    // Out of range or undefined, the truncation gives INT_MIN, as AVX2's.
    const __m512i e = _mm512_max_epi32(_mm512_cvttps_epi32(whole), _mm512_setzero_si512());
    return _mm512_mul_ps(poly, _mm512_castsi512_ps(_mm512_slli_epi32(e, 23)));
}

// Sixteen lanes from a's eight and b's.
inline __m512 joined(const float *a, const float *b) {
    return _mm512_insertf32x8(_mm512_castps256_ps512(_mm256_loadu_ps(a)), _mm256_loadu_ps(b), 1);
}
inline __m512i joined(const int *a, const int *b) {
    return _mm512_inserti32x8(
        _mm512_castsi256_si512(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(a))),
        _mm256_loadu_si256(reinterpret_cast<const __m256i *>(b)), 1);
}

// Where one group's part of a sixteen-lane vector goes.
inline void store_half(float *to, __m512 v, int half) {
    _mm256_storeu_ps(to, half == 0 ? _mm512_castps512_ps256(v) : _mm512_extractf32x8_ps(v, 1));
}
inline void store_half(int *to, __m512i v, int half) {
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(to),
                        half == 0 ? _mm512_castsi512_si256(v) : _mm512_extracti32x8_epi32(v, 1));
}

// Two lanes of one group (not clipped) that finish their windows alone
// from ring n + 1 on, side by side: lane l[0]'s entries in the low eight
// lanes of each vector, l[1]'s in the high eight, each exactly as
// finish_lane_alone (avx2_lanes.h) takes them, into partial sums of its own
// added up by the same lane_sum, and tested after each ring as
// finish_alone tests one lane.  Stores each lane's step from its candidate
// (-1, 0 or 1), or 2 where it stays open (its estimates then stored at
// their places in g.estimates), and the offsets it summed.
template <bool masked>
void finish_two_lanes(const lane_constants &k, const lane_group &g,
                      const dispsmooth::avx2_lanes::group_sums &sums_of, const int (&l)[2], int n,
                      int last_ring, int (&step)[2], int (&summed)[2]) {
    const dispsmooth::ring_tail &tail = *g.tail;
    const std::ptrdiff_t x0 = static_cast<std::ptrdiff_t>(g.j) + l[0];
    const int apart = l[1] - l[0];  // columns from lane l[0]'s to l[1]'s
    const int *px_base = reinterpret_cast<const int *>(g.rows[0] + 4 * x0);
    const int *d_base = g.disp_arr + static_cast<std::ptrdiff_t>(g.y_lo) * k.width + x0;
    const std::uint8_t *centre_px = g.rows[g.i - g.y_lo] + 4 * x0;
    // a in the low eight lanes, b in the high eight.
    const auto both = [](int a, int b) {
        return _mm512_mask_blend_epi32(0xFF00U, _mm512_set1_epi32(a), _mm512_set1_epi32(b));
    };
    // Both lanes' offsets from lane l[0]'s column, for the gathers.
    const __m512i second_half = both(0, apart);
    int centre_bits[2];
    std::memcpy(&centre_bits[0], centre_px, 4);
    std::memcpy(&centre_bits[1], centre_px + 4 * static_cast<std::ptrdiff_t>(apart), 4);
    const widened_pixels centre = widen(both(centre_bits[0], centre_bits[1]));
    const int c0 = g.candidate[l[0]], c1 = g.candidate[l[1]];
    const __m512i u0 = both(c0 - 1, c1 - 1), u1 = both(c0, c1), u2 = both(c0 + 1, c1 + 1),
                  u3 = both(c0 + 2, c1 + 2);
    const __m512 colour_factor = _mm512_set1_ps(k.colour_exponent);
    const __m512i before_first = _mm512_set1_epi32(-1);
    const __m256i lane_index = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    __m512 at = _mm512_setzero_ps(), a0 = at, a1 = at, a2 = at, a3 = at;
    const int first = tail.ring_start[n + 1];
    float *const estimates[2] = {tail.estimates, tail.second_estimates};
    bool open[2] = {true, true};
    step[0] = step[1] = 2;
    for (int m = n + 1; m <= last_ring && (open[0] || open[1]); ++m) {
        for (int e = tail.ring_start[m]; e < tail.ring_start[m + 1]; e += lanes) {
            // As finish_lane_alone: a run of one row's neighbours loaded
            // (its padding masked out, and never read), the rest gathered.
            const int run = tail.run[e / lanes];
            __m512i px, d;
            if (run > 0) {
                const __m256i in = _mm256_cmpgt_epi32(_mm256_set1_epi32(run), lane_index);
                const int *p = px_base + tail.colour_index[e], *q = d_base + tail.disp_index[e];
                px = _mm512_inserti64x4(_mm512_castsi256_si512(_mm256_maskload_epi32(p, in)),
                                        _mm256_maskload_epi32(p + apart, in), 1);
                d = _mm512_inserti64x4(_mm512_castsi256_si512(_mm256_maskload_epi32(q, in)),
                                       _mm256_maskload_epi32(q + apart, in), 1);
            } else {
                const __m512i colour_at =
                    _mm512_add_epi32(_mm512_broadcast_i32x8(_mm256_loadu_si256(
                                         reinterpret_cast<const __m256i *>(tail.colour_index + e))),
                                     second_half);
                const __m512i disp_at = _mm512_add_epi32(
                    _mm512_broadcast_i32x8(
                        _mm256_loadu_si256(reinterpret_cast<const __m256i *>(tail.disp_index + e))),
                    second_half);
                px = _mm512_i32gather_epi32(colour_at, px_base, 4);
                d = _mm512_i32gather_epi32(disp_at, d_base, 4);
            }
            __m512 w = estimated_weights(distances_of(widen(px), centre), colour_factor,
                                         _mm512_broadcast_f32x8(_mm256_loadu_ps(tail.space + e)));
            if constexpr (masked)
                w = _mm512_maskz_mov_ps(_mm512_cmpgt_epi32_mask(d, before_first), w);
            store_half(estimates[0] + (e - first), w, 0);
            store_half(estimates[1] + (e - first), w, 1);
            at = _mm512_add_ps(at, w);
            a0 = _mm512_mask_add_ps(a0, _mm512_cmpgt_epi32_mask(u0, d), a0, w);
            a1 = _mm512_mask_add_ps(a1, _mm512_cmpgt_epi32_mask(u1, d), a1, w);
            a2 = _mm512_mask_add_ps(a2, _mm512_cmpgt_epi32_mask(u2, d), a2, w);
            a3 = _mm512_mask_add_ps(a3, _mm512_cmpgt_epi32_mask(u3, d), a3, w);
        }
        const float rest = m == last_ring ? 0.0f : g.rest[m];
        for (int h = 0; h < 2; ++h) {
            if (!open[h]) continue;
            const auto half_sum = [&](__m512 v) {
                return dispsmooth::avx2_lanes::lane_sum(h == 0 ? _mm512_castps512_ps256(v)
                                                               : _mm512_extractf32x8_ps(v, 1));
            };
            const int lane = l[h];
            const float sums[5] = {sums_of[0][lane] + half_sum(at), sums_of[1][lane] + half_sum(a0),
                                   sums_of[2][lane] + half_sum(a1), sums_of[3][lane] + half_sum(a2),
                                   sums_of[4][lane] + half_sum(a3)};
            summed[h] = tail.summed_before[m + 1] - tail.summed_before[n + 1];
            step[h] = dispsmooth::settled_step(k, sums, rest);
            open[h] = step[h] == 2;
        }
    }
    for (int h = 0; h < 2; ++h)
        if (step[h] == 2) dispsmooth::store_open_lane(g, l[h], n, last_ring, estimates[h]);
}

template <bool clipped, bool masked>
unsigned estimate_pair(const lane_constants &k, const lane_group &ga, const lane_group &gb,
                       int *value_a, int *value_b) {
    const int width = k.width, r = k.reach_x, span = 2 * r + 1;
    const lane_group *const group[2] = {&ga, &gb};
    int *const value[2] = {value_a, value_b};

    const __m512i one_i = _mm512_set1_epi32(1);
    const __m128i shift = _mm_cvtsi32_si128(k.coarse_shift);
    const __m512i candidate = _mm512_sra_epi32(joined(ga.candidate, gb.candidate), shift);
    const __m512i bin_width = _mm512_sll_epi32(one_i, shift);
    const __m512i t1 = _mm512_sll_epi32(candidate, shift), t0 = _mm512_sub_epi32(t1, bin_width),
                  t2 = _mm512_add_epi32(t1, bin_width), t3 = _mm512_add_epi32(t2, bin_width);

    const widened_pixels centre =
        widen<false>(ga.rows[ga.i - ga.y_lo] + 4 * static_cast<std::ptrdiff_t>(ga.j), 0);
    const __m512 colour_factor = _mm512_set1_ps(k.colour_exponent);
    const __m512i before_first = _mm512_set1_epi32(-1), past_last = _mm512_set1_epi32(width);
    const __m512i lane_index =
        _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);

    __m512 total = _mm512_setzero_ps(), b0 = total, b1 = total, b2 = total, b3 = total;
    __m512 below_bin = b1;
    __m512i step = _mm512_setzero_si512();
    // The settled_with of the AVX2 pass, sixteen lanes at once.
    const auto settled_with = [&](float rest) {
        const __m512 rest_v = _mm512_set1_ps(rest);
        const __m512 bound = _mm512_add_ps(total, rest_v);
        const __m512 lo = _mm512_mul_ps(bound, _mm512_set1_ps(k.below));
        const __m512 hi = _mm512_mul_ps(bound, _mm512_set1_ps(k.above));
        const __mmask16 down = _mm512_cmp_ps_mask(_mm512_add_ps(b0, rest_v), lo, _CMP_LT_OQ) &
                               _mm512_cmp_ps_mask(b1, hi, _CMP_GT_OQ);
        const __mmask16 same = _mm512_cmp_ps_mask(_mm512_add_ps(b1, rest_v), lo, _CMP_LT_OQ) &
                               _mm512_cmp_ps_mask(b2, hi, _CMP_GT_OQ);
        const __mmask16 up = _mm512_cmp_ps_mask(_mm512_add_ps(b2, rest_v), lo, _CMP_LT_OQ) &
                             _mm512_cmp_ps_mask(b3, hi, _CMP_GT_OQ);
        below_bin = _mm512_mask_blend_ps(up, _mm512_mask_blend_ps(down, b1, b0), b2);
        step = _mm512_sub_epi32(_mm512_maskz_mov_epi32(up, one_i),
                                _mm512_maskz_mov_epi32(down, one_i));
        return static_cast<unsigned>(down | same | up);
    };

    // Which groups still sum, and the offsets summed so far.
    bool open_group[2] = {true, true};
    int summed = 0;
    const auto add = [&](int y, int first, int last) __attribute__((always_inline)) {
        const std::ptrdiff_t slot =
            (static_cast<std::ptrdiff_t>(y - ga.y_lo) * span + first + r) * lanes;
        float *est_a = ga.estimates + slot, *est_b = gb.estimates + slot;
        const float *space =
            k.space_exponent + static_cast<std::ptrdiff_t>(y - ga.i + k.reach_y) * span + r;
        const std::uint8_t *px_row = ga.rows[y - ga.y_lo];
        const int *disp_row = ga.disp_arr + static_cast<std::ptrdiff_t>(y) * width;
        const bool store_a = open_group[0], store_b = open_group[1];
        for (int dx = first; dx <= last; ++dx, est_a += lanes, est_b += lanes) {
            const std::ptrdiff_t x = static_cast<std::ptrdiff_t>(ga.j) + dx;
            // Where a window is cut by an edge, the neighbours outside the
            // image are not read, and weigh +0.0 (as in the AVX2 pass).
            __mmask16 inside = 0xFFFFU;
            if constexpr (clipped) {
                const __m512i column =
                    _mm512_add_epi32(_mm512_set1_epi32(static_cast<int>(x)), lane_index);
                inside = _mm512_cmpgt_epi32_mask(column, before_first) &
                         _mm512_cmpgt_epi32_mask(past_last, column);
            }
            __m512 w = estimated_weights(colour_distances<clipped>(px_row + 4 * x, inside, centre),
                                         colour_factor, _mm512_set1_ps(space[dx]));
            __m512i d;
            if constexpr (clipped) {
                w = _mm512_maskz_mov_ps(inside, w);
                d = _mm512_maskz_loadu_epi32(inside, disp_row + x);
            } else {
                d = _mm512_loadu_si512(disp_row + x);
            }
            if constexpr (masked)
                w = _mm512_maskz_mov_ps(_mm512_cmpgt_epi32_mask(d, before_first), w);
            if (store_a) _mm256_storeu_ps(est_a, _mm512_castps512_ps256(w));
            if (store_b) _mm256_storeu_ps(est_b, _mm512_extractf32x8_ps(w, 1));
            total = _mm512_add_ps(total, w);
            b0 = _mm512_mask_add_ps(b0, _mm512_cmpgt_epi32_mask(t0, d), b0, w);
            b1 = _mm512_mask_add_ps(b1, _mm512_cmpgt_epi32_mask(t1, d), b1, w);
            b2 = _mm512_mask_add_ps(b2, _mm512_cmpgt_epi32_mask(t2, d), b2, w);
            b3 = _mm512_mask_add_ps(b3, _mm512_cmpgt_epi32_mask(t3, d), b3, w);
        }
        summed += last - first + 1;
    };

    // What each group takes from the vectors when it stops after a ring:
    // its settled lanes, the lanes that finish alone and the sums they start
    // from, and what the AVX2 pass stores at its end.
    unsigned settled[2] = {0, 0}, alone[2] = {0, 0};
    int ring_done[2] = {-1, -1}, group_summed[2] = {0, 0};
    alignas(64) dispsmooth::avx2_lanes::group_sums lane_sums[2];
    const auto stop = [&](int h, int n, unsigned settled_here, unsigned alone_here) {
        const lane_group &g = *group[h];
        open_group[h] = false;
        settled[h] = settled_here;
        alone[h] = alone_here;
        ring_done[h] = n;
        group_summed[h] = summed;
        store_half(g.total, total, h);
        store_half(g.below, below_bin, h);
        store_half(value[h], _mm512_add_epi32(candidate, step), h);
        if (alone_here != 0) {
            store_half(lane_sums[h][0], total, h);
            store_half(lane_sums[h][1], b0, h);
            store_half(lane_sums[h][2], b1, h);
            store_half(lane_sums[h][3], b2, h);
            store_half(lane_sums[h][4], b3, h);
        }
    };
    dispsmooth::sum_in_rings(ga, r, add, [&](int n, bool last) {
        if (!last && ga.rest == nullptr) return false;
        const unsigned both = settled_with(last ? 0.0f : ga.rest[n]);
        for (int h = 0; h < 2; ++h) {
            if (!open_group[h]) continue;
            const unsigned settled_here = both >> (lanes * h) & 0xFFU;
            if (last) {
                stop(h, n, settled_here, 0);
                continue;
            }
            const unsigned open = group[h]->needed & ~settled_here & 0xFFU;
            if (open == 0)
                stop(h, n, settled_here, 0);
            else if (group[h]->tail != nullptr &&
                     __builtin_popcount(open) <= group[h]->tail->most_lanes)
                stop(h, n, settled_here, open);
        }
        return !open_group[0] && !open_group[1];
    });

    for (int h = 0; h < 2; ++h) {
        const lane_group &g = *group[h];
        for (int l = 0; l < lanes; ++l) g.offsets_summed[l] = group_summed[h];
        if (alone[h] == 0) continue;
        // Two lanes at a time side by side, a last one alone.
        const auto finish_lane = [&](int l, int n, int last_ring, int &summed) {
            return dispsmooth::avx2_lanes::finish_lane_alone<masked>(k, g, lane_sums[h], l, n,
                                                                     last_ring, summed);
        };
        const auto finish_two = [&](const int(&lane)[2], int n, int last_ring, int(&step)[2],
                                    int(&summed)[2]) {
            finish_two_lanes<masked>(k, g, lane_sums[h], lane, n, last_ring, step, summed);
        };
        settled[h] = dispsmooth::finish_open_lanes(g, alone[h], ring_done[h], r, settled[h],
                                                   value[h], finish_lane, finish_two);
    }
    return settled[0] | settled[1] << lanes;
}

// One round of bisect_bins_avx2's search for two groups side by side,
// sixteen lanes at once: each lane's sums take the same estimates in the
// same order, below each threshold t_i = a + limit_i, or in [a, t_i) where
// relative.  Where keeping, the neighbours of which some lane's level lies
// in its interval [a, a + keep) are stored in `kept` (levels, then
// estimates: entry_floats), in scan order, for the next round.
struct pair_round {
    // An entry's floats, and where its estimates begin.
    static constexpr std::ptrdiff_t estimates_at = std::ptrdiff_t{2} * lanes,
                                    entry_floats = 2 * estimates_at;
    __m512i a, limit[3], t[3], keep;
    __m512 sum[3];
    float *kept;
    int count;  // the neighbours kept
    template <int parts, bool keeping, bool relative>
    void take(__m512i d, __m512 e) {
        const __m512i u = _mm512_sub_epi32(d, a);
        for (int i = 0; i < parts; ++i) {
            const __mmask16 in =
                relative ? _mm512_cmplt_epu32_mask(u, limit[i]) : _mm512_cmpgt_epi32_mask(t[i], d);
            sum[i] = _mm512_mask_add_ps(sum[i], in, sum[i], e);
        }
        if constexpr (keeping) {
            // Stored whatever the test says; the count moves on past
            // those kept alone.
            float *entry = kept + static_cast<std::ptrdiff_t>(count) * entry_floats;
            _mm512_storeu_si512(entry, d);
            _mm512_storeu_ps(entry + estimates_at, e);
            count += static_cast<int>(_mm512_cmplt_epu32_mask(u, keep) != 0);
        }
    }
};

// The round over the whole window.
template <bool clipped, int parts, bool keeping, bool relative>
void pair_window_round(const dispsmooth::bin_lanes &ba, const dispsmooth::bin_lanes &bb,
                       pair_round &to) {
    // A copy of its own, which the stores of kept neighbours cannot touch:
    // the sums stay in registers.
    pair_round round = to;
    const int r = ba.reach_x, span = 2 * r + 1;
    const __m512i lane_index =
        _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    const __m512i before_first = _mm512_set1_epi32(-1), past_last = _mm512_set1_epi32(ba.width);
    for (int y = ba.y_lo; y <= ba.y_hi; ++y) {
        const std::ptrdiff_t row = static_cast<std::ptrdiff_t>(y - ba.y_lo) * span * lanes;
        const float *est_a = ba.estimates + row, *est_b = bb.estimates + row;
        const int *disp_row = ba.disp_arr + static_cast<std::ptrdiff_t>(y) * ba.width;
        for (int dx = -r; dx <= r; ++dx, est_a += lanes, est_b += lanes) {
            const int x = ba.j + dx;
            __m512i d;
            if constexpr (clipped) {
                // Neighbours outside the image are not read; their
                // estimates are 0.
                const __m512i column = _mm512_add_epi32(_mm512_set1_epi32(x), lane_index);
                d = _mm512_maskz_loadu_epi32(_mm512_cmpgt_epi32_mask(column, before_first) &
                                                 _mm512_cmpgt_epi32_mask(past_last, column),
                                             disp_row + x);
            } else {
                d = _mm512_loadu_si512(disp_row + x);
            }
            round.take<parts, keeping, relative>(d, joined(est_a, est_b));
        }
    }
    to = round;
}

// A relative round over the neighbours the round before kept (in place:
// each is read before any is stored over it).
template <int parts, bool keeping>
void pair_kept_round(int count, pair_round &to) {
    pair_round round = to;  // as in pair_window_round
    for (int n = 0; n < count; ++n) {
        const float *entry = round.kept + static_cast<std::ptrdiff_t>(n) * pair_round::entry_floats;
        round.take<parts, keeping, true>(_mm512_loadu_si512(entry),
                                         _mm512_loadu_ps(entry + pair_round::estimates_at));
    }
    to = round;
}

template <bool clipped>
unsigned bisect_pair(const dispsmooth::bin_lanes &ba, const dispsmooth::bin_lanes &bb, int *level_a,
                     int *level_b) {
    const __m512 total = joined(ba.total, bb.total);
    const __m512 lo_limit = _mm512_mul_ps(total, _mm512_set1_ps(ba.below_factor));
    const __m512 hi_limit = _mm512_mul_ps(total, _mm512_set1_ps(ba.above_factor));
    __m512i a = joined(ba.lo, bb.lo);
    __m512 sum_a = joined(ba.below, bb.below);
    // The neighbours the round before kept, or -1: the whole window.
    int kept = -1;
    for (int k = ba.shift; k > 0; k -= 2) {
        // Where k is 1, one threshold: a + 1.
        const int parts = k > 1 ? 3 : 1, quarter = 1 << std::max(k - 2, 0);
        pair_round round{};
        round.a = a;
        for (int i = 0; i < 3; ++i) {
            round.limit[i] = _mm512_set1_epi32((i + 1) * quarter);
            round.t[i] = _mm512_add_epi32(a, round.limit[i]);
        }
        round.keep = _mm512_set1_epi32(1 << k);
        round.kept = ba.kept;
        const bool relative = dispsmooth::relative_round(ba.shift, k);
        // Neighbours are kept for a round that follows.
        const bool keeping =
            !clipped && ba.kept != nullptr && dispsmooth::keeps_for_next_round(ba.shift, k);
        dispsmooth::sweep_bin_round(
            kept >= 0, parts, keeping, relative,
            [&](auto p, auto keep, auto rel) {
                pair_window_round<clipped, decltype(p)::value, decltype(keep)::value,
                                  decltype(rel)::value>(ba, bb, round);
            },
            [&](auto p, auto keep) {
                pair_kept_round<decltype(p)::value, decltype(keep)::value>(kept, round);
            });
        kept = keeping ? round.count : -1;
        // The first threshold whose sum passes holds the crossing below it;
        // a sum that is not a number never passes.
        __mmask16 going = 0xFFFFU;
        __m512i next = a;
        __m512 next_sum = sum_a;
        for (int i = 0; i < parts; ++i) {
            const __m512 below_t = relative ? _mm512_add_ps(sum_a, round.sum[i]) : round.sum[i];
            going &= _mm512_cmp_ps_mask(below_t, hi_limit, _CMP_NGT_UQ);
            next = _mm512_mask_blend_epi32(going, next, round.t[i]);
            next_sum = _mm512_mask_blend_ps(going, next_sum, below_t);
        }
        a = next;
        sum_a = next_sum;
    }
    store_half(level_a, a, 0);
    store_half(level_b, a, 1);
    const unsigned settled = _mm512_cmp_ps_mask(sum_a, lo_limit, _CMP_LT_OQ);
    return (settled & ba.mask & 0xFFU) | ((settled >> lanes) & bb.mask) << lanes;
}

}  // namespace

unsigned dispsmooth::bisect_bin_pairs_avx512(const bin_lanes &a, const bin_lanes &b, int *level_a,
                                             int *level_b) {
    return a.clipped || b.clipped ? bisect_pair<true>(a, b, level_a, level_b)
                                  : bisect_pair<false>(a, b, level_a, level_b);
}

unsigned dispsmooth::estimate_lane_pairs_avx512(const lane_constants &constants,
                                                const lane_group &a, const lane_group &b,
                                                int *value_a, int *value_b) {
    if (a.clipped || b.clipped)
        return constants.masked ? estimate_pair<true, true>(constants, a, b, value_a, value_b)
                                : estimate_pair<true, false>(constants, a, b, value_a, value_b);
    return constants.masked ? estimate_pair<false, true>(constants, a, b, value_a, value_b)
                            : estimate_pair<false, false>(constants, a, b, value_a, value_b);
}

#endif  // DISPSMOOTH_X86
