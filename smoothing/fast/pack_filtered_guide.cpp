// The 3x3 median of the three channels of an 8-bit RGB image, written
// directly in the packed guide form (R, G, B, 0 per pixel).
//
// First every value is checked to lie in 0..255 (an OR of all values has no
// bit above the lowest eight); nothing is written otherwise.  Then each
// thread takes a contiguous band of rows.  It repacks the source rows it
// needs into a ring of three packed rows, so that one byte vector holds the
// four channels of four pixels and the horizontal neighbours of a channel lie
// 4 bytes apart.  Inside the image the kernels of smoothing/median3x3.h
// select the median sixteen bytes at a time (see there for the selection and
// the rank check that verifies every result).  The fourth byte of each pixel
// is 0 in every row, so its median is 0 too.  Border pixels (clipped windows
// of k = 1 to 6 values) take element k / 2 of their k values in ascending
// order, as median does: completed to nine values by zeros and 255s so that
// element 4 of the nine is that element, they go through the same selection
// (the first and last rows sixteen bytes at a time, the left and right ends
// one pixel at a time), and are checked against their k values alone.  A
// failed check ends the process with "median", as median's order check does.
#include "smoothing/fast/pack_filtered_guide.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

#include "common/buffer.h"
#include "common/parallel.h"
#include "dispsmooth/smoothing.h"
#include "smoothing/fast/guide_rows.h"
#include "smoothing/median3x3.h"

namespace {

using dispsmooth::median3x3::count_rank;
using dispsmooth::median3x3::greater;
using dispsmooth::median3x3::lesser;
using dispsmooth::median3x3::median3;
using dispsmooth::median3x3::median_of_columns;
using dispsmooth::median3x3::rank_fault;
using dispsmooth::median3x3::sort3;

// Sixteen bytes and four ints, in the compiler's portable vectors.
typedef std::uint8_t v16qu __attribute__((vector_size(16)));
typedef int v4si __attribute__((vector_size(16)));

template <class V>
V load(const void *p) {
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <class V>
void store(void *p, V v) {
    std::memcpy(p, &v, sizeof v);
}

v16qu load16(const std::uint8_t *p) { return load<v16qu>(p); }

void store16(std::uint8_t *p, v16qu v) { store(p, v); }

// Whether any of the sixteen lanes is non-zero.
bool any_lane(v16qu v) {
    std::uint64_t half[2];
    std::memcpy(half, &v, sizeof half);
    return (half[0] | half[1]) != 0;
}

// The OR of count ints.
unsigned or_of(const int *values, std::size_t count) {
    v4si acc = {0, 0, 0, 0};
    std::size_t k = 0;
    for (; k + 8 <= count; k += 8) acc |= load<v4si>(values + k) | load<v4si>(values + k + 4);
    unsigned bits = static_cast<unsigned>(acc[0] | acc[1] | acc[2] | acc[3]);
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
        const v4si a = load<v4si>(src), b = load<v4si>(src + 4), c = load<v4si>(src + 8);
        // Lane i of __builtin_shufflevector(x, y, m0, m1, m2, m3) is lane m_i of x
        // followed by y.  Each move takes two lanes of its first operand and
        // two of its second, which one instruction does (SSE's shufps).
        const v4si bc = __builtin_shufflevector(b, c, 2, 2, 5, 5);     // b2 b2 c1 c1
        const v4si r = __builtin_shufflevector(a, bc, 0, 3, 4, 6);     // a0 a3 b2 c1
        const v4si ab0 = __builtin_shufflevector(a, b, 1, 1, 4, 4);    // a1 a1 b0 b0
        const v4si bc3 = __builtin_shufflevector(b, c, 3, 3, 6, 6);    // b3 b3 c2 c2
        const v4si g = __builtin_shufflevector(ab0, bc3, 0, 2, 4, 6);  // a1 b0 b3 c2
        const v4si ab1 = __builtin_shufflevector(a, b, 2, 2, 5, 5);    // a2 a2 b1 b1
        const v4si cc = __builtin_shufflevector(c, c, 0, 0, 3, 3);     // c0 c0 c3 c3
        const v4si l = __builtin_shufflevector(ab1, cc, 0, 2, 4, 6);   // a2 b1 c0 c3
        store(dst, r | (g << 8) | (l << 16));
    }
    for (; x < width; ++x, src += 3, dst += 4) {
        dst[0] = static_cast<std::uint8_t>(src[0]);
        dst[1] = static_cast<std::uint8_t>(src[1]);
        dst[2] = static_cast<std::uint8_t>(src[2]);
    }
}

// The four bytes of packed pixel x in the low lanes of a vector.
v16qu load_pixel(const std::uint8_t *row, int x) {
    v16qu v = {};
    std::memcpy(&v, row + 4 * static_cast<std::ptrdiff_t>(x), 4);
    return v;
}

// Element k / 2 of the k values of the window of pixel x clipped to the
// image, for the four bytes of the pixel at once, with the window rows
// rows[0 .. count - 1].  The k values are completed to nine by 4 - k / 2
// zeros and the rest 255: element 4 of the nine is then element k / 2 of the
// k, and the classic 3x3 selection finds it.
void median_pixel(int width, const std::uint8_t *const *rows, int count, int x, std::uint8_t *out) {
    const int x_lo = std::max(0, x - 1), x_hi = std::min(width - 1, x + 1);
    v16qu cell[9];
    int k = 0;
    for (int r = 0; r < count; ++r)
        for (int xx = x_lo; xx <= x_hi; ++xx) cell[k++] = load_pixel(rows[r], xx);
    for (int j = k; j < 9; ++j) cell[j] = j < k + 4 - k / 2 ? v16qu{} : ~v16qu{};
    v16qu lo[3], mid[3], hi[3];
    for (std::size_t c = 0; c < 3; ++c)
        sort3(cell[3 * c], cell[3 * c + 1], cell[3 * c + 2], lo[c], mid[c], hi[c]);
    const v16qu v =
        median_of_columns(lo[0], lo[1], lo[2], mid[0], mid[1], mid[2], hi[0], hi[1], hi[2]);

    // Rank check of the pixel's four bytes against the k window values alone.
    v16qu not_below = {}, equal = {};
    for (int j = 0; j < k; ++j) count_rank(cell[j], v, not_below, equal);
    const v16qu bad = rank_fault(not_below, equal, k);
    if (bad[0] | bad[1] | bad[2] | bad[3]) error_handler("median");
    std::memcpy(out + 4 * static_cast<std::ptrdiff_t>(x), &v, 4);
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
    v16qu v;
    if constexpr (Rows == 3) {
        v = median_of_columns(load16(lo + b - 4), load16(lo + b), load16(lo + b + 4),
                              load16(mid + b - 4), load16(mid + b), load16(mid + b + 4),
                              load16(hi + b - 4), load16(hi + b), load16(hi + b + 4));
    } else if constexpr (Rows == 2) {
        const v16qu a = greater(load16(lo + b), load16(lo + b + 4));
        const v16qu m = median3(load16(lo + b - 4), load16(hi + b), load16(hi + b + 4));
        v = median3(a, m, load16(hi + b - 4));
    } else {
        v = median3(load16(lo + b - 4), load16(lo + b), load16(lo + b + 4));
    }

    // Rank check of the sixteen results against their k = 3 Rows values.
    v16qu not_below = {}, equal = {};
    for (int r = 0; r < Rows; ++r)
        for (std::ptrdiff_t d = -4; d <= 4; d += 4)
            count_rank(load16(src[r] + b + d), v, not_below, equal);
    if (any_lane(rank_fault(not_below, equal, 3 * Rows))) error_handler("median");
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
            v16qu l, m, h;
            sort3(load16(src[0] + b), load16(src[1] + b), load16(src[2] + b), l, m, h);
            store16(lo + b, l);
            store16(mid + b, m);
            store16(hi + b, h);
        }
    } else if constexpr (Rows == 2) {
        for (std::ptrdiff_t b = 0; b < bytes; b += 16) {
            const v16qu p = load16(src[0] + b), q = load16(src[1] + b);
            store16(lo + b, lesser(p, q));
            store16(hi + b, greater(p, q));
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
    // Small images stay on one thread: starting threads would cost more
    // (tens of microseconds each, against about 3 ns a pixel here).
    const int threads = pixels >= (1LL << 16) ? thread_count_for_call() : 1;

    // Per thread: a ring of three repacked source rows, then the sorted
    // columns lo, mid, hi of one row; allocated before the threads start.
    std::vector<buffer_ptr<std::uint8_t>> scratch(static_cast<std::size_t>(threads));
    for (buffer_ptr<std::uint8_t> &s : scratch)
        s = allocate_buffer<std::uint8_t>(6 * stride, "median rows");

    // Contiguous blocks of rows, one a thread, as each thread's ring of
    // repacked rows wants.
    const long long block = (height + threads - 1) / threads;
    std::vector<unsigned> thread_bits(static_cast<std::size_t>(threads), 0);
    for_each_chunk(threads, height, block, [&](int thread, long long begin, long long end) {
        unsigned &bits = thread_bits[static_cast<std::size_t>(thread)];
        for (long long y = begin; y < end; ++y)
            bits |= or_of(image_arr + static_cast<std::size_t>(y) * row_ints, row_ints);
    });
    unsigned bits = 0;
    for (const unsigned b : thread_bits) bits |= b;
    if ((bits & ~0xFFu) != 0) return false;

    for_each_chunk(threads, height, block, [&](int thread, long long begin, long long end) {
        std::uint8_t *ring = scratch[static_cast<std::size_t>(thread)].get();
        std::uint8_t *lo = ring + 3 * stride, *mid = lo + stride, *hi = mid + stride;
        int held[3] = {-1, -1, -1};
        // Source row y, repacked into slot y % 3 unless it is there.
        auto source = [&](int y) -> const std::uint8_t * {
            const std::size_t k = static_cast<std::size_t>(y) % 3;  // rows are never negative
            std::uint8_t *slot = ring + k * stride;
            if (held[k] != y) {
                pack_row(image_arr + static_cast<std::size_t>(y) * row_ints, width, slot);
                held[k] = y;
            }
            return slot;
        };

        for (int y = static_cast<int>(begin); y < end; ++y) {
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
    });
    return true;
}

}  // namespace dispsmooth
