// The AVX2 arithmetic of the first pass, for the files built with AVX2 and
// FMA (estimate_lanes_avx2.cpp, and estimate_lanes_avx512.cpp, whose lanes
// that finish their windows alone use it) and for no other.  Every function
// here has internal linkage: each of those files compiles its own copy with
// its own flags, so no copy can stand in for another's, nor for code of the
// rest of the library.
#ifndef DISPSMOOTH_SMOOTHING_FAST_AVX2_LANES_H
#define DISPSMOOTH_SMOOTHING_FAST_AVX2_LANES_H

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "smoothing/fast/estimate_lanes.h"

namespace dispsmooth::avx2_lanes {

// Loads the eight packed pixels at px, those of mask only (in the others 0).
template <bool clipped>
static inline __m256i load_pixels(const std::uint8_t *px, __m256i mask) {
    if constexpr (clipped) return _mm256_maskload_epi32(reinterpret_cast<const int *>(px), mask);
    (void)mask;
    return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(px));
}

// The eight packed pixels of px widened to 16 bits in two halves, without
// crossing the 128-bit lanes: pixels 0, 1, 4, 5 in even and 2, 3, 6, 7 in
// odd, the order in which colour_distances' pairwise sums come out right.
struct widened_pixels {
    __m256i even, odd;
};
static inline widened_pixels widen(__m256i px) {
    const __m256i zero = _mm256_setzero_si256();
    return {_mm256_unpacklo_epi8(px, zero), _mm256_unpackhi_epi8(px, zero)};
}

// Squared colour distances of eight packed pixels from the centres (both
// widened): per pixel dR^2 + dG^2 and dB^2 from one multiply-add, then the
// pairs summed, which puts them in pixel order (the halves of widen).
static inline __m256i colour_distances(__m256i px, const widened_pixels &centre) {
    const widened_pixels p = widen(px);
    const __m256i d_even = _mm256_sub_epi16(p.even, centre.even);
    const __m256i d_odd = _mm256_sub_epi16(p.odd, centre.odd);
    return _mm256_hadd_epi32(_mm256_madd_epi16(d_even, d_even), _mm256_madd_epi16(d_odd, d_odd));
}

// The estimates 2^t of eight weights, t + 127 = c colour_factor + space (see
// the comment of estimate_lanes_avx2.cpp).
static inline __m256 estimated_weights(__m256i c, __m256 colour_factor, __m256 space) {
    using q = exp2_polynomial;
    const __m256 t = _mm256_fmadd_ps(_mm256_cvtepi32_ps(c), colour_factor, space);
    const __m256 whole = _mm256_floor_ps(t);
    const __m256 f = _mm256_sub_ps(t, whole);
    __m256 poly = _mm256_fmadd_ps(_mm256_set1_ps(q::q4), f, _mm256_set1_ps(q::q3));
    poly = _mm256_fmadd_ps(poly, f, _mm256_set1_ps(q::q2));
    poly = _mm256_fmadd_ps(poly, f, _mm256_set1_ps(q::q1));
    poly = _mm256_fmadd_ps(poly, f, _mm256_set1_ps(q::q0));
    // The exponent bits; a negative, huge or undefined exponent converts to
    // INT_MIN and gives 0 as well.
    const __m256i e = _mm256_max_epi32(_mm256_cvttps_epi32(whole), _mm256_setzero_si256());
    return _mm256_mul_ps(poly, _mm256_castsi256_ps(_mm256_slli_epi32(e, 23)));
}

// sum plus, lane by lane, w where the threshold t lies above the level d,
// else +0.0.
static inline __m256 add_below(__m256 sum, __m256 w, __m256i t, __m256i d) {
    return _mm256_add_ps(sum, _mm256_and_ps(w, _mm256_castsi256_ps(_mm256_cmpgt_epi32(t, d))));
}

// The sum of the eight lanes of v, ((v0 + v4) + (v2 + v6)) + ((v1 + v5) +
// (v3 + v7)): the order estimate_lanes_generic.cpp repeats.
static inline float lane_sum(__m256 v) {
    const __m128 s = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
    const __m128 t = _mm_add_ps(s, _mm_movehl_ps(s, s));
    return _mm_cvtss_f32(_mm_add_ss(t, _mm_movehdup_ps(t)));
}

// The group's sums of the rings it summed, per lane: the total, then below
// candidate - 1 .. candidate + 2.
using group_sums = float[5][lanes];

// One lane l of the group g (not clipped) whose window it finishes alone
// from ring n + 1 on (lane_group::tail): the ring's offsets eight at a time,
// gathered, into partial sums per vector lane; after each ring the lane's
// sums are its group's sums of rings 0 .. n plus the partial sums added up
// (lane_sum), tested as the group's are (finish_alone).  Returns the step
// from the candidate (-1, 0 or 1) of a settled lane, else 2; sums the
// offsets into summed.
template <bool masked>
static inline int finish_lane_alone(const lane_constants &k, const lane_group &g,
                                    const group_sums &sums_of, int l, int n, int last_ring,
                                    int &summed) {
    const ring_tail &tail = *g.tail;
    const __m256i lane_index = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256i before_first = _mm256_set1_epi32(-1);
    const __m256 colour_factor = _mm256_set1_ps(k.colour_exponent);
    const std::ptrdiff_t x = static_cast<std::ptrdiff_t>(g.j) + l;
    const std::uint8_t *centre_px = g.rows[g.i - g.y_lo] + 4 * x;
    const int *px_base = reinterpret_cast<const int *>(g.rows[0] + 4 * x);
    const int *d_base = g.disp_arr + static_cast<std::ptrdiff_t>(g.y_lo) * k.width + x;
    const widened_pixels centre_l =
        widen(_mm256_set1_epi32(_mm_cvtsi128_si32(_mm_loadu_si32(centre_px))));
    const int c = g.candidate[l];
    const __m256i u0 = _mm256_set1_epi32(c - 1), u1 = _mm256_set1_epi32(c),
                  u2 = _mm256_set1_epi32(c + 1), u3 = _mm256_set1_epi32(c + 2);
    __m256 at = _mm256_setzero_ps(), a0 = at, a1 = at, a2 = at, a3 = at;
    const int first = tail.ring_start[n + 1];
    return finish_alone(g, k, l, n, last_ring, summed, [&](int m, float *sums) {
        for (int e = tail.ring_start[m]; e < tail.ring_start[m + 1]; e += lanes) {
            // A run of one row's neighbours is loaded (its padding masked
            // out, and never read), the rest gathered.
            const int run = tail.run[e / lanes];
            __m256i px, d;
            if (run == lanes) {
                px = _mm256_loadu_si256(
                    reinterpret_cast<const __m256i *>(px_base + tail.colour_index[e]));
                d = _mm256_loadu_si256(
                    reinterpret_cast<const __m256i *>(d_base + tail.disp_index[e]));
            } else if (run > 0) {
                const __m256i in = _mm256_cmpgt_epi32(_mm256_set1_epi32(run), lane_index);
                px = _mm256_maskload_epi32(px_base + tail.colour_index[e], in);
                d = _mm256_maskload_epi32(d_base + tail.disp_index[e], in);
            } else {
                px = _mm256_i32gather_epi32(
                    px_base,
                    _mm256_loadu_si256(reinterpret_cast<const __m256i *>(tail.colour_index + e)),
                    4);
                d = _mm256_i32gather_epi32(
                    d_base,
                    _mm256_loadu_si256(reinterpret_cast<const __m256i *>(tail.disp_index + e)), 4);
            }
            __m256 w = estimated_weights(colour_distances(px, centre_l), colour_factor,
                                         _mm256_loadu_ps(tail.space + e));
            if constexpr (masked)
                w = _mm256_and_ps(w, _mm256_castsi256_ps(_mm256_cmpgt_epi32(d, before_first)));
            _mm256_storeu_ps(tail.estimates + (e - first), w);
            at = _mm256_add_ps(at, w);
            a0 = add_below(a0, w, u0, d);
            a1 = add_below(a1, w, u1, d);
            a2 = add_below(a2, w, u2, d);
            a3 = add_below(a3, w, u3, d);
        }
        sums[0] = sums_of[0][l] + lane_sum(at);
        sums[1] = sums_of[1][l] + lane_sum(a0);
        sums[2] = sums_of[2][l] + lane_sum(a1);
        sums[3] = sums_of[3][l] + lane_sum(a2);
        sums[4] = sums_of[4][l] + lane_sum(a3);
    });
}

}  // namespace dispsmooth::avx2_lanes

#endif
