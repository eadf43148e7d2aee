// The 3x3 median of the three channels of an 8-bit RGB image, written
// directly in the packed guide form (R, G, B, 0 per pixel).
//
// First every value is checked to lie in 0..255 (an OR of all values has no
// bit above the lowest eight); nothing is written otherwise.  Then each
// thread takes a contiguous band of rows.  It repacks the source rows it
// needs into a ring of three packed rows, so that one byte vector holds the
// four channels of four pixels and the horizontal neighbours of a channel
// lie 4 bytes apart.  Inside the image the median is formed the classic way,
// sixteen bytes at a time: sort each column of three, then take the median of
// the largest of the three column minima, the median of the three column
// medians and the smallest of the three column maxima.  The fourth byte of
// each pixel is 0 in every row, so its median is 0 too.  Border pixels
// (clipped windows of k = 1 to 6 values) take element k / 2 of their k values
// in ascending order, as median does: completed to nine values by zeros and
// 255s so that element 4 of the nine is that element, they go through the
// same selection (the first and last rows sixteen bytes at a time, the left
// and right ends one pixel at a time).
//
// Like median's order check, every result is verified: the value v chosen
// must have at most k / 2 window values below it and more than k / 2 at or
// below it, which holds for element k / 2 of the sorted window and for no
// other value.  A failure ends the process with "median".
#include "pack_filtered_guide.h"

#include <emmintrin.h>
#include <omp.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

#include "buffer.h"
#include "dispsmooth/smoothing.h"
#include "guide_rows.h"

namespace {

__m128i load16(const std::uint8_t *p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
}

void store16(std::uint8_t *p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i *>(p), v); }

__m128i median3(__m128i a, __m128i b, __m128i c) {
    return _mm_max_epu8(_mm_min_epu8(a, b), _mm_min_epu8(_mm_max_epu8(a, b), c));
}

// The OR of count ints.
unsigned or_of(const int *values, std::size_t count) {
    __m128i acc = _mm_setzero_si128();
    std::size_t k = 0;
    for (; k + 8 <= count; k += 8)
        acc = _mm_or_si128(
            acc, _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i *>(values + k)),
                              _mm_loadu_si128(reinterpret_cast<const __m128i *>(values + k + 4))));
    acc = _mm_or_si128(acc, _mm_srli_si128(acc, 8));
    acc = _mm_or_si128(acc, _mm_srli_si128(acc, 4));
    unsigned bits = static_cast<unsigned>(_mm_cvtsi128_si32(acc));
    for (; k < count; ++k) bits |= static_cast<unsigned>(values[k]);
    return bits;
}

// One source row (3 ints per pixel, each in 0..255) as packed bytes; the
// fourth byte of each pixel and the padding are left as they are (0).  Four
// pixels at a time, the twelve ints a = (R0 G0 B0 R1), b = (G1 B1 R2 G2),
// c = (B2 R3 G3 B3) are regrouped into (R0 R1 R2 R3) etc. by lane moves and
// combined as R | G << 8 | B << 16 per pixel: the bytes R, G, B, 0 in memory.
void pack_row(const int *src, int width, std::uint8_t *dst) {
    int x = 0;
    for (; x + 4 <= width; x += 4, src += 12, dst += 16) {
        const __m128 a = _mm_castsi128_ps(_mm_loadu_si128(reinterpret_cast<const __m128i *>(src)));
        const __m128 b =
            _mm_castsi128_ps(_mm_loadu_si128(reinterpret_cast<const __m128i *>(src + 4)));
        const __m128 c =
            _mm_castsi128_ps(_mm_loadu_si128(reinterpret_cast<const __m128i *>(src + 8)));
        const __m128 r = _mm_shuffle_ps(a, _mm_shuffle_ps(b, c, _MM_SHUFFLE(1, 1, 2, 2)),
                                        _MM_SHUFFLE(2, 0, 3, 0));  // a0 a3 b2 c1
        const __m128 g = _mm_shuffle_ps(_mm_shuffle_ps(a, b, _MM_SHUFFLE(0, 0, 1, 1)),
                                        _mm_shuffle_ps(b, c, _MM_SHUFFLE(2, 2, 3, 3)),
                                        _MM_SHUFFLE(2, 0, 2, 0));  // a1 b0 b3 c2
        const __m128 l = _mm_shuffle_ps(_mm_shuffle_ps(a, b, _MM_SHUFFLE(1, 1, 2, 2)),
                                        _mm_shuffle_ps(c, c, _MM_SHUFFLE(3, 3, 0, 0)),
                                        _MM_SHUFFLE(2, 0, 2, 0));  // a2 b1 c0 c3
        const __m128i p = _mm_or_si128(_mm_castps_si128(r),
                                       _mm_or_si128(_mm_slli_epi32(_mm_castps_si128(g), 8),
                                                    _mm_slli_epi32(_mm_castps_si128(l), 16)));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst), p);
    }
    for (; x < width; ++x, src += 3, dst += 4) {
        dst[0] = static_cast<std::uint8_t>(src[0]);
        dst[1] = static_cast<std::uint8_t>(src[1]);
        dst[2] = static_cast<std::uint8_t>(src[2]);
    }
}

// The four bytes of packed pixel x in the low lanes of a vector.
__m128i load_pixel(const std::uint8_t *row, int x) {
    std::uint32_t bits;
    std::memcpy(&bits, row + 4 * static_cast<std::ptrdiff_t>(x), sizeof bits);
    return _mm_cvtsi32_si128(static_cast<int>(bits));
}

// Element k / 2 of the k values of the window of pixel x clipped to the
// image, for the four bytes of the pixel at once, with the window rows
// rows[0 .. count - 1].  The k values are completed to nine by 4 - k / 2
// zeros and the rest 255: element 4 of the nine is then element k / 2 of the
// k, and the classic 3x3 selection finds it.
void median_pixel(int width, const std::uint8_t *const *rows, int count, int x, std::uint8_t *out) {
    const int x_lo = std::max(0, x - 1), x_hi = std::min(width - 1, x + 1);
    __m128i cell[9];
    int k = 0;
    for (int r = 0; r < count; ++r)
        for (int xx = x_lo; xx <= x_hi; ++xx) cell[k++] = load_pixel(rows[r], xx);
    for (int j = k; j < 9; ++j)
        cell[j] = j < k + 4 - k / 2 ? _mm_setzero_si128() : _mm_set1_epi8(-1);
    __m128i lo[3], mid[3], hi[3];
    for (int c = 0; c < 3; ++c) {
        // NOLINTNEXTLINE(bugprone-implicit-widening-of-multiplication-result): c < 3
        const __m128i t = _mm_min_epu8(cell[3 * c], cell[3 * c + 1]);
        // NOLINTNEXTLINE(bugprone-implicit-widening-of-multiplication-result): c < 3
        const __m128i u = _mm_max_epu8(cell[3 * c], cell[3 * c + 1]);
        const __m128i w = _mm_max_epu8(t, cell[3 * c + 2]);
        lo[c] = _mm_min_epu8(t, cell[3 * c + 2]);
        mid[c] = _mm_min_epu8(u, w);
        hi[c] = _mm_max_epu8(u, w);
    }
    const __m128i v =
        median3(_mm_max_epu8(_mm_max_epu8(lo[0], lo[1]), lo[2]), median3(mid[0], mid[1], mid[2]),
                _mm_min_epu8(_mm_min_epu8(hi[0], hi[1]), hi[2]));

    // Rank check against the k window values alone.
    const __m128i zero = _mm_setzero_si128();
    __m128i not_below = zero, equal = zero;  // minus the counts
    for (int j = 0; j < k; ++j) {
        not_below = _mm_add_epi8(not_below, _mm_cmpeq_epi8(_mm_subs_epu8(v, cell[j]), zero));
        equal = _mm_add_epi8(equal, _mm_cmpeq_epi8(cell[j], v));
    }
    const int need = k - k / 2;
    const __m128i nb = _mm_sub_epi8(zero, not_below), eq = _mm_sub_epi8(zero, equal);
    const __m128i bad = _mm_or_si128(
        _mm_cmpgt_epi8(_mm_set1_epi8(static_cast<char>(need)), nb),
        _mm_cmpgt_epi8(_mm_sub_epi8(nb, _mm_set1_epi8(static_cast<char>(need - 1))), eq));
    if ((_mm_movemask_epi8(bad) & 0xF) != 0) error_handler("median");
    const std::uint32_t bits = static_cast<std::uint32_t>(_mm_cvtsi128_si32(v));
    std::memcpy(out + 4 * static_cast<std::ptrdiff_t>(x), &bits, sizeof bits);
}

// The medians of pixels x .. x + 3 (0 < x, x + 4 < width) of a row whose
// windows span Rows rows (src[0 .. Rows - 1]), from the sorted columns of the
// row: lo, mid, hi for three rows, the minima lo and maxima hi for two, the
// row itself for one.
//
// For three rows this is the classic 3x3 selection.  For two, the window's
// six values are completed to nine by a 0 in the left column and a 255 in
// the other two: element 4 of the nine is element 3 (= 6 / 2) of the six, and
// the classic selection on the completed columns (0, lo, hi), (lo, hi, 255),
// (lo, hi, 255) reduces to the expressions below.  For one row it is the
// median of three.
template <int Rows>
inline __attribute__((always_inline)) void median_group(const std::uint8_t *const *src,
                                                        const std::uint8_t *lo,
                                                        const std::uint8_t *mid,
                                                        const std::uint8_t *hi, int x,
                                                        std::uint8_t *out) {
    const std::ptrdiff_t b = 4 * static_cast<std::ptrdiff_t>(x);
    __m128i v;
    if constexpr (Rows == 3) {
        const __m128i a =
            _mm_max_epu8(_mm_max_epu8(load16(lo + b - 4), load16(lo + b)), load16(lo + b + 4));
        const __m128i m = median3(load16(mid + b - 4), load16(mid + b), load16(mid + b + 4));
        const __m128i c =
            _mm_min_epu8(_mm_min_epu8(load16(hi + b - 4), load16(hi + b)), load16(hi + b + 4));
        v = median3(a, m, c);
    } else if constexpr (Rows == 2) {
        const __m128i a = _mm_max_epu8(load16(lo + b), load16(lo + b + 4));
        const __m128i m = median3(load16(lo + b - 4), load16(hi + b), load16(hi + b + 4));
        v = median3(a, m, load16(hi + b - 4));
    } else {
        v = median3(load16(lo + b - 4), load16(lo + b), load16(lo + b + 4));
    }

    // Rank check of the sixteen results against their k = 3 Rows values:
    // count the values at or above v and those equal to v.
    const __m128i zero = _mm_setzero_si128();
    __m128i not_below = zero, equal = zero;  // minus the counts
    for (int r = 0; r < Rows; ++r)
        for (std::ptrdiff_t d = -4; d <= 4; d += 4) {
            const __m128i n = load16(src[r] + b + d);
            not_below = _mm_add_epi8(not_below, _mm_cmpeq_epi8(_mm_subs_epu8(v, n), zero));
            equal = _mm_add_epi8(equal, _mm_cmpeq_epi8(n, v));
        }
    // below = k - not_below <= k / 2 and at_or_below = below + equal > k / 2,
    // i.e. not_below >= need and equal > not_below - need, need = k - k / 2.
    constexpr int k = 3 * Rows, need = k - k / 2;
    const __m128i nb = _mm_sub_epi8(zero, not_below), eq = _mm_sub_epi8(zero, equal);
    const __m128i bad = _mm_or_si128(_mm_cmpgt_epi8(_mm_set1_epi8(need), nb),
                                     _mm_cmpgt_epi8(_mm_sub_epi8(nb, _mm_set1_epi8(need - 1)), eq));
    if (_mm_movemask_epi8(bad) != 0) error_handler("median");
    store16(out + b, v);
}

// One row of the result whose windows span Rows rows (src), width >= 3.
template <int Rows>
void median_row(int width, const std::uint8_t *const *src, std::uint8_t *lo, std::uint8_t *mid,
                std::uint8_t *hi, std::uint8_t *out) {
    // Column sorts over whole vectors: the padding of the rows covers the
    // last partial one.
    const std::ptrdiff_t bytes = 4 * static_cast<std::ptrdiff_t>(width);
    if constexpr (Rows == 3) {
        for (std::ptrdiff_t b = 0; b < bytes; b += 16) {
            const __m128i p = load16(src[0] + b), q = load16(src[1] + b), r = load16(src[2] + b);
            const __m128i t = _mm_min_epu8(p, q), u = _mm_max_epu8(p, q);
            const __m128i w = _mm_max_epu8(t, r);
            store16(lo + b, _mm_min_epu8(t, r));
            store16(mid + b, _mm_min_epu8(u, w));
            store16(hi + b, _mm_max_epu8(u, w));
        }
    } else if constexpr (Rows == 2) {
        for (std::ptrdiff_t b = 0; b < bytes; b += 16) {
            const __m128i p = load16(src[0] + b), q = load16(src[1] + b);
            store16(lo + b, _mm_min_epu8(p, q));
            store16(hi + b, _mm_max_epu8(p, q));
        }
    }
    const std::uint8_t *low = Rows == 1 ? src[0] : lo;

    if (width - 2 >= 4) {  // pixels 1 .. width - 2 in groups of four
        int x = 1;
        for (; x + 4 <= width - 1; x += 4) median_group<Rows>(src, low, mid, hi, x, out);
        // The last pixels as a group that overlaps the previous one.
        if (x < width - 1) median_group<Rows>(src, low, mid, hi, width - 5, out);
    } else {
        for (int x = 1; x < width - 1; ++x) median_pixel(width, src, Rows, x, out);
    }
    median_pixel(width, src, Rows, 0, out);
    median_pixel(width, src, Rows, width - 1, out);
}

}  // namespace

namespace dispsmooth {

bool pack_filtered_guide(int width, int height, const int *image_arr, std::uint8_t *packed) {
    if (width <= 0 || height <= 0) return true;

    const std::size_t stride = packed_row_bytes(width);
    const std::size_t row_ints = 3 * static_cast<std::size_t>(width);
    const long long pixels = static_cast<long long>(width) * height;
    // Small images stay on one thread: starting threads would cost more.
    const int threads = pixels >= (1LL << 18) ? std::max(1, omp_get_max_threads()) : 1;

    // Per thread: a ring of three repacked source rows, then the sorted
    // columns lo, mid, hi of one row; allocated before the threads start.
    std::vector<buffer_ptr<std::uint8_t>> scratch(static_cast<std::size_t>(threads));
    for (buffer_ptr<std::uint8_t> &s : scratch)
        s = allocate_buffer<std::uint8_t>(6 * stride, "median rows");

    unsigned bits = 0;
#pragma omp parallel num_threads(threads) if (threads > 1)
    {
#pragma omp for schedule(static) reduction(| : bits)
        for (int y = 0; y < height; ++y)
            bits |= or_of(image_arr + static_cast<std::size_t>(y) * row_ints, row_ints);
        // (The loop ends with a barrier: every thread sees the same bits.)

        if ((bits & ~0xFFu) == 0) {
            std::uint8_t *ring = scratch[static_cast<std::size_t>(omp_get_thread_num())].get();
            std::uint8_t *lo = ring + 3 * stride, *mid = lo + stride, *hi = mid + stride;
            int held[3] = {-1, -1, -1};
            // Source row y, repacked into slot y % 3 unless it is there.
            auto source = [&](int y) -> const std::uint8_t * {
                std::uint8_t *slot = ring + static_cast<std::size_t>(y % 3) * stride;
                if (held[y % 3] != y) {
                    pack_row(image_arr + static_cast<std::size_t>(y) * row_ints, width, slot);
                    held[y % 3] = y;
                }
                return slot;
            };

#pragma omp for schedule(static)
            for (int y = 0; y < height; ++y) {
                std::uint8_t *out = packed + static_cast<std::size_t>(y) * stride;
                const std::uint8_t *rows[3];
                int count = 0;
                if (y > 0) rows[count++] = source(y - 1);
                rows[count++] = source(y);
                if (y < height - 1) rows[count++] = source(y + 1);
                if (width < 3) {
                    for (int x = 0; x < width; ++x) median_pixel(width, rows, count, x, out);
                } else if (count == 3) {
                    median_row<3>(width, rows, lo, mid, hi, out);
                } else if (count == 2) {
                    median_row<2>(width, rows, lo, mid, hi, out);
                } else {
                    median_row<1>(width, rows, lo, mid, hi, out);
                }
            }
        }
    }
    return (bits & ~0xFFu) == 0;
}

}  // namespace dispsmooth
