// Guide-image rows of weighted_median_fast in a compact form, and the squared
// colour distances of a run of pixels: four at a time with SSE2, or one at a
// time in plain C++ where the processor lacks SSE2 (the same values).
//
// When every guide value lies in 0..255 (as after the 3x3 median of an 8-bit
// reference image), a guide row is repacked into 4 bytes per pixel (R, G, B,
// 0).  Each thread keeps the rows of its current window in a ring of
// min(2 reach + 1, height) rows, so that the repacked copy stays small and
// does not grow with the image.  The distances are integer arithmetic: the
// differences fit 16 bits and the sums of squares 32 bits, so they equal
// color_distance_squared exactly (which saturates only beyond INT_MAX).
#ifndef DISPSMOOTH_SMOOTHING_FAST_GUIDE_ROWS_H
#define DISPSMOOTH_SMOOTHING_FAST_GUIDE_ROWS_H

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <cstddef>
#include <cstdint>

#include "common/buffer.h"

namespace dispsmooth {

// Bytes of one repacked row of width pixels, with 3 pixels of zero padding so
// that squared_distances may read whole groups of four.
inline std::size_t packed_row_bytes(int width) { return (static_cast<std::size_t>(width) + 3) * 4; }

class guide_ring {
public:
    guide_ring(int width, int slots, const int *guide_arr)
        : width_(width),
          slots_(slots),
          stride_(packed_row_bytes(width)),
          guide_(guide_arr),
          bytes_(allocate_buffer<std::uint8_t>(stride_ * static_cast<std::size_t>(slots),
                                               "packed guide rows")),
          held_(allocate_buffer<int>(static_cast<std::size_t>(slots), "packed guide rows")) {
        for (int s = 0; s < slots_; ++s) held_[s] = -1;
    }

    // Row y repacked; valid until a row y' with y' % slots == y % slots is
    // asked for.
    const std::uint8_t *row(int y) {
        const int s = y % slots_;
        std::uint8_t *dst = bytes_.get() + stride_ * static_cast<std::size_t>(s);
        if (held_[s] != y) {
            const int *src = guide_ + 3 * static_cast<std::ptrdiff_t>(y) * width_;
            for (int x = 0; x < width_; ++x) {
                dst[4 * x + 0] = static_cast<std::uint8_t>(src[3 * x + 0]);
                dst[4 * x + 1] = static_cast<std::uint8_t>(src[3 * x + 1]);
                dst[4 * x + 2] = static_cast<std::uint8_t>(src[3 * x + 2]);
                dst[4 * x + 3] = 0;
            }
            held_[s] = y;
        }
        return dst;
    }

private:
    int width_, slots_;
    std::size_t stride_;
    const int *guide_;
    buffer_ptr<std::uint8_t> bytes_;
    buffer_ptr<int> held_;
};

#ifdef __SSE2__

// The centre colour of a packed pixel, as the 16-bit pattern (R, G, B, 0)
// twice.
using centre_colour = __m128i;

inline __m128i packed_centre(const std::uint8_t *pixel) {
    return _mm_setr_epi16(pixel[0], pixel[1], pixel[2], 0, pixel[0], pixel[1], pixel[2], 0);
}

// Squared colour distances between the four packed pixels at px and the
// centre.
inline __m128i four_distances(const std::uint8_t *px, __m128i centre) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i pixels = _mm_loadu_si128(reinterpret_cast<const __m128i *>(px));
    const __m128i lo = _mm_sub_epi16(_mm_unpacklo_epi8(pixels, zero), centre);
    const __m128i hi = _mm_sub_epi16(_mm_unpackhi_epi8(pixels, zero), centre);
    // Per pixel: dR^2 + dG^2 in one lane, dB^2 (+ 0^2) in the next.
    const __m128 a = _mm_castsi128_ps(_mm_madd_epi16(lo, lo));
    const __m128 b = _mm_castsi128_ps(_mm_madd_epi16(hi, hi));
    // Lane moves only, no floating-point operation on the bits.
    const __m128i even = _mm_castps_si128(_mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0)));
    const __m128i odd = _mm_castps_si128(_mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1)));
    return _mm_add_epi32(even, odd);
}

// out[k] = squared colour distance between packed pixel k of row and the
// centre, for k = 0 .. count - 1.  Writes out up to the next multiple of 4
// and reads row up to it (the padding of packed_row_bytes covers that).
inline void squared_distances(const std::uint8_t *row, int count, __m128i centre, int *out) {
    for (int k = 0; k < count; k += 4)
        // NOLINTNEXTLINE(bugprone-implicit-widening-of-multiplication-result): k < count <= width
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + k), four_distances(row + 4 * k, centre));
}

// index[k] = (C_k << shift) + s_number[k] for k = 0 .. count - 1, C_k being
// the squared colour distance between packed pixel k of row and the centre:
// squared_distances and table_indices in one pass.  Writes index up to the
// next multiple of 4 and reads row and s_number up to it.
inline void distance_indices(const std::uint8_t *row, int count, __m128i centre,
                             const int *s_number, int shift, std::uint32_t *index) {
    const __m128i by = _mm_cvtsi32_si128(shift);
    for (int k = 0; k < count; k += 4) {
        const __m128i sv = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s_number + k));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(index + k),
                         // k < count <= width, as above.
                         // NOLINTNEXTLINE(bugprone-implicit-widening-of-multiplication-result)
                         _mm_add_epi32(_mm_sll_epi32(four_distances(row + 4 * k, centre), by), sv));
    }
}

// Copies count ints, four at a time and the rest one by one (no read or
// write beyond count).
inline void copy_ints(const int *src, int count, int *dst) {
    int k = 0;
    for (; k + 4 <= count; k += 4)
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + k),
                         _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + k)));
    for (; k < count; ++k) dst[k] = src[k];
}

// copy_ints that also tells whether any value copied differs from value.
inline bool copy_ints_differ(const int *src, int count, int value, int *dst) {
    const __m128i v = _mm_set1_epi32(value);
    __m128i equal = _mm_set1_epi32(-1);
    int k = 0;
    for (; k + 4 <= count; k += 4) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + k));
        equal = _mm_and_si128(equal, _mm_cmpeq_epi32(x, v));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + k), x);
    }
    bool differ = _mm_movemask_epi8(equal) != 0xFFFF;
    for (; k < count; ++k) {
        dst[k] = src[k];
        differ |= src[k] != value;
    }
    return differ;
}

// index[k] = (c[k] << shift) + s_number[k] for k = 0 .. count - 1, the
// weight-table entries of a run of neighbours, four at a time.  Valid when
// every c[k] << shift fits 32 bits unsigned (colour distances of 0..255
// colours); larger colour distances then give indices at or beyond the
// table's limit, as they should.  Reads and writes up to the next multiple of
// 4.
inline void table_indices(const int *c, const int *s_number, int count, int shift,
                          std::uint32_t *index) {
    const __m128i by = _mm_cvtsi32_si128(shift);
    for (int k = 0; k < count; k += 4) {
        const __m128i cv = _mm_loadu_si128(reinterpret_cast<const __m128i *>(c + k));
        const __m128i sv = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s_number + k));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(index + k),
                         _mm_add_epi32(_mm_sll_epi32(cv, by), sv));
    }
}

#else

// The same functions without SSE2, one element at a time: the differences,
// squares and sums are exact in int and the indices wrap modulo 2^32 as the
// vector lanes do, so the values are those of the SSE2 code.  They read and
// write count elements only, within what the SSE2 code may touch.

// The centre colour of a packed pixel.
struct centre_colour {
    int r, g, b;
};

inline centre_colour packed_centre(const std::uint8_t *pixel) {
    return {pixel[0], pixel[1], pixel[2]};
}

// Squared colour distance between the packed pixel at px and the centre.
inline int packed_distance(const std::uint8_t *px, centre_colour centre) {
    const int dr = px[0] - centre.r, dg = px[1] - centre.g, db = px[2] - centre.b;
    return dr * dr + dg * dg + db * db;
}

inline std::uint32_t table_index(int c, int shift, int s_number) {
    return (static_cast<std::uint32_t>(c) << shift) + static_cast<std::uint32_t>(s_number);
}

inline void squared_distances(const std::uint8_t *row, int count, centre_colour centre, int *out) {
    for (int k = 0; k < count; ++k) out[k] = packed_distance(row + 4 * k, centre);
}

inline void distance_indices(const std::uint8_t *row, int count, centre_colour centre,
                             const int *s_number, int shift, std::uint32_t *index) {
    for (int k = 0; k < count; ++k)
        index[k] = table_index(packed_distance(row + 4 * k, centre), shift, s_number[k]);
}

inline void copy_ints(const int *src, int count, int *dst) {
    for (int k = 0; k < count; ++k) dst[k] = src[k];
}

inline bool copy_ints_differ(const int *src, int count, int value, int *dst) {
    bool differ = false;
    for (int k = 0; k < count; ++k) {
        dst[k] = src[k];
        differ |= src[k] != value;
    }
    return differ;
}

inline void table_indices(const int *c, const int *s_number, int count, int shift,
                          std::uint32_t *index) {
    for (int k = 0; k < count; ++k) index[k] = table_index(c[k], shift, s_number[k]);
}

#endif

// The same for any colour distances (0 .. INT_MAX): a distance of c_count or
// more gets the index limit itself.
inline void table_indices_checked(const int *c, const int *s_number, int count, int shift,
                                  std::size_t c_count, std::uint32_t limit, std::uint32_t *index) {
    for (int k = 0; k < count; ++k)
        index[k] = static_cast<std::size_t>(c[k]) < c_count
                       ? (static_cast<std::uint32_t>(c[k]) << shift) +
                             static_cast<std::uint32_t>(s_number[k])
                       : limit;
}

}  // namespace dispsmooth

#endif
