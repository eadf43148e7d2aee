// weighted_median with the same result to the last bit, computed faster:
// remembered weights (weight_table.h), a histogram that handles only the bins
// a window touched (touched_histogram.h), colour distances several at a time
// (guide_rows.h), the window clipped to the image instead of tested pixel by
// pixel, eight neighbouring windows summed together in vector lanes where the
// processor allows (smooth_lanes), and rows shared among OpenMP threads.
//
// What is the same as weighted_median, and why:
// - Most pixels are settled by smooth_lanes without forming a histogram,
//   where estimated weights show beyond doubt that one bin holds more than
//   half the total weight, which makes it median_histo's result (see there).
//   Every other pixel is computed as follows.
// - Every weight is the same double (see weight_table.h), and the
//   contributions to one bin are added in the window's scan order, dy outer
//   and dx inner, starting from +0.0.  A weight of +0.0 is skipped: adding it
//   changes nothing.  The sums, the search and its tie rule are those of
//   median_histo (see touched_histogram.h).
// - Each output pixel depends only on the inputs, so the thread count and the
//   order in which rows are taken change nothing.
// - The failures are the ones the straightforward evaluation reaches first,
//   with its message.  It stops at the first pixel, in row-major order, whose
//   window holds a disparity outside min_d..max_d ("weighted_histo") or whose
//   histogram median_histo rejects ("median_histo"), the former first at the
//   same pixel.  Here the first such window is located beforehand, the
//   pixels before it are computed (threads record a rejected histogram
//   instead of stopping at once), and the earliest failure is reported after
//   the rows are done, from the calling thread.
#include "run_weighted_median_fast.h"

#include "dispsmooth/smoothing.h"

#include <immintrin.h>
#include <omp.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "buffer.h"
#include "settle_stats.h"
#include "progress.h"
#include "guide_rows.h"
#include "touched_histogram.h"
#include "vector_isa.h"
#include "weight_table.h"

namespace {

// Repacked guide rows of all threads together stay within this.
constexpr std::size_t ring_budget_bytes = std::size_t{16} << 20;

// Below this many window pixels in all (well under a millisecond of work)
// starting threads costs more than it saves: the call stays on one thread.
constexpr long long min_parallel_work = 1LL << 17;

// How many neighbours ahead smooth_pixel_window fetches weight-table entries.
constexpr int prefetch_distance = 24;

// Output pixels smooth_lanes computes together.
constexpr int lanes = 8;

// Eight-pixel groups start at least this far from the left edge and end at
// least this far from the right one: their windows, and the horizontal
// neighbours of their centres, lie inside the image.
int lane_margin(int reach_x) { return std::max(reach_x, 1); }

// -log2(e) * q / (sigma * sigma) for smooth_lanes' estimates (q = 1 for the
// factor of C, q = S for an offset), in single precision.  Not a number
// where sigma^2 is 0 or not a number: weighted_histo's centre term 0 / sigma^2
// is then not a number, every total too, and no estimate may settle
// anything.  At least -1e30, which stays finite through the estimate and
// still gives a weight of 0, where the quotient is huge or infinite.
float lane_exponent(double q, double sigma) {
    const double quotient = q / (sigma * sigma);
    if (std::isnan(0.0 / (sigma * sigma)) || std::isnan(quotient))
        return std::numeric_limits<float>::quiet_NaN();
    return static_cast<float>(std::max(-1.4426950408889634 * quotient, -1e30));
}

// Index of the first pixel (row-major) whose window holds a disparity outside
// min_d..max_d, or width * height when there is none.
long long first_invalid_window(int width, int height, const int *disp_arr, int min_d, int max_d,
                               long long r) {
    const long long npixels = static_cast<long long>(width) * height;
    long long first = npixels;
    // Rows are scanned in parallel, each up to its first invalid value.
#pragma omp parallel for schedule(static) reduction(min : first) if (npixels >= (1LL << 18))
    for (long long y = 0; y < height; ++y) {
        // The earliest centre that sees row y lies in row max(0, y - r).
        const int *row = disp_arr + y * width;
        for (long long x = 0; x < width; ++x) {
            if (row[x] < min_d || row[x] > max_d) {
                first = std::min(first, std::max(0LL, y - r) * width + std::max(0LL, x - r));
                break;
            }
        }
    }
    return first;
}

bool guide_in_byte_range(long long n, const int *guide_arr) {
    for (long long p = 0; p < 3 * n; ++p)
        if (guide_arr[p] < 0 || guide_arr[p] > 255) return false;
    return true;
}

std::size_t window_pixels(int reach_x, int reach_y) {
    return static_cast<std::size_t>(2 * reach_x + 1) * static_cast<std::size_t>(2 * reach_y + 1);
}

// Scratch of one thread, allocated once per call before the threads start.
struct thread_scratch {
    dispsmooth::touched_histogram histo;
    dispsmooth::buffer_ptr<int> distances;             // one window row, padded to 4
    dispsmooth::buffer_ptr<std::uint32_t> indices;     // their weight-table entries
    std::unique_ptr<dispsmooth::guide_ring> ring;      // when distances use SSE2
    dispsmooth::buffer_ptr<const std::uint8_t *> rows;  // the ring rows of one output row
    // One whole window in scan order (smooth_row_window): the table entries
    // of the neighbours and their disparities.
    dispsmooth::buffer_ptr<std::uint32_t> window_index;
    dispsmooth::buffer_ptr<int> window_disp;
    dispsmooth::buffer_ptr<std::uint64_t> window_weight;  // bits of the weights
    long long pixels = 0, settled = 0;  // for settle_stats

    thread_scratch(std::size_t nbins, int reach_x, int reach_y)
        // smooth_row marks bin 0 besides the bins of the window.
        : histo(nbins, window_pixels(reach_x, reach_y) + 1),
          distances(dispsmooth::allocate_buffer<int>(2 * static_cast<std::size_t>(reach_x) + 5,
                                                     "colour distances")),
          indices(dispsmooth::allocate_buffer<std::uint32_t>(
              2 * static_cast<std::size_t>(reach_x) + 5, "colour distances")),
          rows(dispsmooth::allocate_buffer<const std::uint8_t *>(
              2 * static_cast<std::size_t>(reach_y) + 1, "packed guide rows")) {}
};

// The shared inputs of one call.
struct job {
    int width, height;
    const int *guide_arr, *disp_arr;
    int min_d;
    int reach_x, reach_y;
    bool byte_guide;  // every guide value in 0..255
    bool use_lanes;  // smooth_lanes may run
    // Exponents of smooth_lanes' weight estimates: -log2(e) / sigma_color^2,
    // and -log2(e) S / sigma_space^2 for each offset (dy, dx) at
    // (dy + reach_y) (2 reach_x + 1) + dx + reach_x.
    float colour_exponent;
    const float *space_exponent;
    // The guide repacked whole (packed_row_bytes(width) bytes a row), or
    // null when each thread repacks its rows in its ring.
    const std::uint8_t *packed;
    const dispsmooth::weight_table *weights;
    int *result_arr;
};

// The bin being summed, kept in registers rather than in memory: consecutive
// additions to one bin (the common case) then avoid a store-to-load round
// trip.  acc is the value of the bin of disparity d, added to in the same
// order as the bin itself would be.
struct running_bin {
    int d;
    double acc;
};

// Adds weight w (its bits) of a neighbour of disparity d.
inline void add_weight(dispsmooth::touched_histogram &histo, double *bins, int min_d,
                       std::uint64_t w, int d, int &cur_d, double &acc) {
    if (w == 0) return;  // a weight of +0.0 adds nothing
    if (d != cur_d) {
        bins[static_cast<long long>(cur_d) - min_d] = acc;
        const std::size_t b = static_cast<std::size_t>(static_cast<long long>(d) - min_d);
        histo.mark(b);
        cur_d = d;
        acc = bins[b];
    }
    acc += std::bit_cast<double>(w);
}

// Adds count neighbours of one window row, in ascending x, whose weights are
// evaluated directly: offsets dx_from .. dx_from + count - 1, colour
// distances c, disparities ds.
inline void add_direct(const dispsmooth::weight_table &weights, dispsmooth::touched_histogram &histo,
                       int min_d, const int *c, const int *ds, int count, int dx_from,
                       long long dy2, running_bin &run) {
    double *bins = histo.bins();
    for (int k = 0; k < count; ++k)
        add_weight(histo, bins, min_d, weights.evaluate_bits(c[k], dx_from + k, dy2), ds[k],
                   run.d, run.acc);
}

// Adds neighbours k, k + 1, ... of one window row whose weights are in the
// table, and returns the position of the first one that is not (an entry not
// yet filled, or a colour distance beyond the table), or count.  Kept free
// of calls so that its loop runs in registers.
[[gnu::noinline]] int add_filled(std::uint64_t *cells, std::uint32_t limit,
                                 const std::uint32_t *index, const int *ds, int k, int count,
                                 dispsmooth::touched_histogram &histo, int min_d,
                                 running_bin &run) {
    double *bins = histo.bins();
    int cur_d = run.d;
    double acc = run.acc;
    for (; k < count; ++k) {
        const std::uint32_t ix = index[k];
        if (ix >= limit) break;
        const std::uint64_t stored =
            std::atomic_ref<std::uint64_t>(cells[ix]).load(std::memory_order_relaxed);
        if (stored == 0) break;
        add_weight(histo, bins, min_d, stored ^ dispsmooth::weight_table::sign_bit, ds[k], cur_d,
                   acc);
    }
    run.d = cur_d;
    run.acc = acc;
    return k;
}

// The same for tabulated offsets, given their table entries.
inline void add_tabulated(const dispsmooth::weight_table &weights,
                          dispsmooth::touched_histogram &histo, int min_d,
                          const std::uint32_t *index, const int *c, const int *ds, int count,
                          int dx_from, long long dy2, running_bin &run) {
    const std::uint32_t limit = weights.index_limit();
    for (int k = 0;; ++k) {
        k = add_filled(weights.cells(), limit, index, ds, k, count, histo, min_d, run);
        if (k >= count) break;
        const std::uint32_t ix = index[k];
        const std::uint64_t w = ix < limit ? weights.at(ix, dx_from + k, dy2)
                                           : weights.evaluate_bits(c[k], dx_from + k, dy2);
        add_weight(histo, histo.bins(), min_d, w, ds[k], run.d, run.acc);
    }
}

// The result of the running histogram of pixel (i, j): stores it and
// returns true, or returns false where median_histo would reject it.
inline bool finish_pixel(const job &jb, dispsmooth::touched_histogram &histo, running_bin run,
                         int i, int j) {
    histo.bins()[static_cast<long long>(run.d) - jb.min_d] = run.acc;
    const long long k = histo.median_index_and_clear();
    if (k < 0) return false;
    jb.result_arr[static_cast<std::ptrdiff_t>(i) * jb.width + j] = jb.min_d + static_cast<int>(k);
    return true;
}

// Sums, in order, the weights of neighbours k, k + 1, ... of a window whose
// weights are in the table, storing their bits in weight; the neighbours
// whose disparity is not dom add +0.0 instead when mixed (their own bins are
// summed afterwards).  Returns the position of the first neighbour whose
// weight is not in the table (an entry not yet filled, or a colour distance
// beyond it), or n.  Free of calls and of data-dependent branches, so that
// its loop runs in registers at the pace of the additions.
template <bool mixed>
[[gnu::noinline]] int sum_dominant(const std::uint64_t *cells, std::uint32_t limit,
                                   const std::uint32_t *index, const int *disp, int dom, int k,
                                   int n, std::uint64_t *weight, double &sum) {
    double acc = sum;
    for (; k < n; ++k) {
        // The entries of a colour-noise window lie all over the table: ask
        // for them ahead of their turn.
        if (k + prefetch_distance < n)
            __builtin_prefetch(cells + std::min(index[k + prefetch_distance], limit));
        const std::uint32_t ix = index[k];
        if (ix >= limit) break;
        const std::uint64_t stored = __atomic_load_n(cells + ix, __ATOMIC_RELAXED);
        if (stored == 0) break;
        std::uint64_t w = stored ^ dispsmooth::weight_table::sign_bit;
        if constexpr (mixed) {
            weight[k] = w;
            w = disp[k] == dom ? w : 0;
        }
        acc += std::bit_cast<double>(w);
    }
    sum = acc;
    return k;
}

// Row y of the guide repacked (see guide_rows.h).
const std::uint8_t *packed_row(const job &jb, thread_scratch &scratch, int y) {
    if (jb.packed) return jb.packed + dispsmooth::packed_row_bytes(jb.width) * static_cast<std::size_t>(y);
    return scratch.ring->row(y);
}

// The rows of the window of output row i: rows y_lo .. y_hi of the image,
// rows[y - y_lo] their repacked guide colours.
struct window_rows {
    int i, y_lo, y_hi;
    const std::uint8_t *const *rows;
};

// Pixel (i, j) for the common case: guide values in 0..255 repacked in the
// ring, and every offset of the window in the table (radius at most 63 or
// clipped to it).  The window is first laid out in scan order (table entries
// computed four at a time, disparities copied).  The bin of the centre's
// disparity dom, which in smooth regions holds most or all of the window, is
// then summed in one pass in which every other neighbour adds +0.0 (which
// changes no sum): the same additions in the same order as in weighted_histo.
// The other bins, independent of it, are summed after it in a second pass.
// A window of one disparity needs no histogram at all: its total is the sum
// of that bin, and median_histo's result is that bin whenever half the total
// is positive.  Returns false where median_histo would reject the histogram.
// mostly_slow carries from one pixel to the next whether the table missed
// most weights.
bool smooth_pixel_window(const job &jb, thread_scratch &scratch, const window_rows &wr, int j,
                         bool &mostly_slow) {
    const int width = jb.width, min_d = jb.min_d, i = wr.i;
    const dispsmooth::weight_table &weights = *jb.weights;
    const int tx = weights.table_x(), shift = weights.shift();
    const std::uint64_t *cells = weights.cells();
    const std::uint32_t limit = weights.index_limit();
    dispsmooth::touched_histogram &histo = scratch.histo;
    double *bins = histo.bins();
    std::uint32_t *index = scratch.window_index.get();
    int *disp = scratch.window_disp.get();
    std::uint64_t *weight = scratch.window_weight.get();

    const int x_lo = std::max(0, j - jb.reach_x), x_hi = std::min(width - 1, j + jb.reach_x);
    const int span = x_hi - x_lo + 1;
    const __m128i centre = dispsmooth::packed_centre(wr.rows[i - wr.y_lo] + 4 * j);
    const int dom = jb.disp_arr[static_cast<std::ptrdiff_t>(i) * width + j];
    bool mixed = false;
    int n = 0;
    for (int y = wr.y_lo; y <= wr.y_hi; ++y, n += span) {
        dispsmooth::distance_indices(wr.rows[y - wr.y_lo] + 4 * x_lo, span, centre,
                                     weights.s_numbers(y - i) + tx + (x_lo - j), shift, index + n);
        mixed |= dispsmooth::copy_ints_differ(
            jb.disp_arr + static_cast<std::ptrdiff_t>(y) * width + x_lo, span, dom, disp + n);
    }

    double sum = 0.0;  // the bin of dom
    int slow = 0;      // weights not found in the table
    if (mostly_slow) {
        // The previous window found few of its weights in the table (a
        // colour-noise image, or a table cut short by a large radius): look
        // them up one by one without leaving the loop.
        for (int k = 0; k < n; ++k) {
            if (k + prefetch_distance < n)
                __builtin_prefetch(cells + std::min(index[k + prefetch_distance], limit));
            const std::uint32_t ix = index[k];
            const std::uint64_t stored =
                ix < limit ? __atomic_load_n(cells + ix, __ATOMIC_RELAXED) : 0;
            const std::uint64_t w = stored != 0 ? stored ^ dispsmooth::weight_table::sign_bit
                                                : (++slow, weights.resolve(ix));
            weight[k] = w;
            if (disp[k] == dom) sum += std::bit_cast<double>(w);
        }
    } else {
        for (int k = 0;; ++k) {
            k = mixed ? sum_dominant<true>(cells, limit, index, disp, dom, k, n, weight, sum)
                      : sum_dominant<false>(cells, limit, index, disp, dom, k, n, weight, sum);
            if (k >= n) break;
            ++slow;
            const std::uint64_t w = weights.resolve(index[k]);
            weight[k] = w;
            if (disp[k] == dom) sum += std::bit_cast<double>(w);
        }
    }
    mostly_slow = 8 * slow > n;

    if (!mixed) {
        // total = +0.0 + sum over the one bin = sum; the search stops at that
        // bin unless half the total is not positive.
        if (!(0.5 * sum > 0)) return false;
        jb.result_arr[static_cast<std::ptrdiff_t>(i) * width + j] = dom;
        return true;
    }
    // The other bins, each in scan order, starting from the running bin on
    // dom (whose sum is final).
    histo.mark(static_cast<std::size_t>(static_cast<long long>(dom) - min_d));
    running_bin run{dom, sum};
    for (int k = 0; k < n; ++k)
        if (disp[k] != dom) add_weight(histo, bins, min_d, weight[k], disp[k], run.d, run.acc);
    return finish_pixel(jb, histo, run, i, j);
}

// Eight neighbouring output pixels (i, j) .. (i, j + 7) whose windows lie
// inside the image horizontally, settled together where that is certain.
//
// A bin that holds more than half the total weight is the weighted median:
// the cumulative weight before it stays below half the total and reaches it
// at that bin.  Where that holds by a wide margin, it holds just as well for
// the floating-point sums median_histo forms, whose relative error over at
// most 16129 non-negative terms is below 2^-38, so median_histo returns that
// bin, accepts the total, and its repeated search agrees.  Deciding it needs
// the weights only roughly.  So, offset by offset, the eight neighbours
// (consecutive pixels of one row) get a single-precision estimate of their
// weights in vector lanes, and each lane sums the estimates of its window:
// all of them, those of its centre's disparity, and those of a second
// candidate, the median of the centre's and its two horizontal neighbours'
// disparities (the surrounding disparity where the centre is an outlier).
// A lane is settled when a candidate's estimate exceeds (1 + 1/16) / 2 of
// the total's and is at least 2^-60.
//
// The estimate is 2^t, t = -log2(e) (C / sigma_color^2 + S / sigma_space^2),
// as 2^floor(t) times a degree-5 Taylor polynomial of 2^f, f = t - floor(t),
// and 0 below 2^-126.  Relative error of a weight: below 8.6e-5 from the
// polynomial, 2e-5 from t in single precision (|t| <= 127), a few 1e-7 from
// the evaluation; of a sum of at most 16129 of them in single precision,
// below 1e-3 more; an absolute error below 2^-110 from weights taken as 0.
// A candidate settled so holds more than 0.53 of the true total weight,
// which is more than half by a margin far beyond median_histo's rounding.
// A sum that is not a number (a sigma of 0 or not a number) settles nothing.
// The centre pixel's estimate is exactly 1, as its weight.
//
// Every lane not settled is computed exactly, by smooth_pixel_window.
// Returns the lane of the first pixel whose histogram median_histo would
// reject, or -1.
[[gnu::target("avx2,fma")]] int smooth_lanes(const job &jb, thread_scratch &scratch,
                                             const window_rows &wr, int j, bool &mostly_slow) {
    const int width = jb.width, i = wr.i, r = jb.reach_x;
    const int span = 2 * r + 1;
    const int *centre_disp = jb.disp_arr + static_cast<std::ptrdiff_t>(i) * width + j;
    const __m256i own = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(centre_disp));
    const __m256i left = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(centre_disp - 1));
    const __m256i right = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(centre_disp + 1));
    const __m256i around = _mm256_max_epi32(_mm256_min_epi32(left, own),
                                            _mm256_min_epi32(_mm256_max_epi32(left, own), right));
    const std::uint8_t *centre_px = wr.rows[i - wr.y_lo] + 4 * j;
    const __m256i centre_lo =
        _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(centre_px)));
    const __m256i centre_hi =
        _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(centre_px + 16)));

    const __m256 colour_factor = _mm256_set1_ps(jb.colour_exponent);
    const __m256i lowest = _mm256_set1_epi32(-127), bias = _mm256_set1_epi32(127);
    // 2^f = e^(f ln 2), f in [0, 1): (f ln 2)^k / k!, k = 0 .. 5.
    const __m256 p5 = _mm256_set1_ps(1.3333558e-3f), p4 = _mm256_set1_ps(9.6181291e-3f),
                 p3 = _mm256_set1_ps(5.5504109e-2f), p2 = _mm256_set1_ps(2.4022651e-1f),
                 p1 = _mm256_set1_ps(6.9314718e-1f), one = _mm256_set1_ps(1.0f);
    __m256 total = _mm256_setzero_ps(), of_own = total, of_around = total;

    for (int y = wr.y_lo; y <= wr.y_hi; ++y) {
        const float *space = jb.space_exponent + static_cast<std::size_t>(y - i + jb.reach_y) * span + r;
        const std::uint8_t *px_row = wr.rows[y - wr.y_lo] + 4 * j;
        const int *disp_row = jb.disp_arr + static_cast<std::ptrdiff_t>(y) * width + j;
        for (int dx = -r; dx <= r; ++dx) {
            // Squared colour distances of the eight neighbours: per pixel
            // dR^2 + dG^2 and dB^2 from one multiply-add, then the pairs
            // summed and put back in pixel order.
            const std::uint8_t *px = px_row + 4 * dx;
            const __m256i d_lo = _mm256_sub_epi16(
                _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(px))),
                centre_lo);
            const __m256i d_hi = _mm256_sub_epi16(
                _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(px + 16))),
                centre_hi);
            const __m256i pairs =
                _mm256_hadd_epi32(_mm256_madd_epi16(d_lo, d_lo), _mm256_madd_epi16(d_hi, d_hi));
            const __m256i c = _mm256_permute4x64_epi64(pairs, _MM_SHUFFLE(3, 1, 2, 0));

            const __m256 t = _mm256_fmadd_ps(_mm256_cvtepi32_ps(c), colour_factor,
                                             _mm256_set1_ps(space[dx]));
            const __m256 whole = _mm256_floor_ps(t);
            const __m256 f = _mm256_sub_ps(t, whole);
            __m256 poly = _mm256_fmadd_ps(p5, f, p4);
            poly = _mm256_fmadd_ps(poly, f, p3);
            poly = _mm256_fmadd_ps(poly, f, p2);
            poly = _mm256_fmadd_ps(poly, f, p1);
            poly = _mm256_fmadd_ps(poly, f, one);
            // 2^floor(t) from its exponent bits; floor(t) <= -127 gives 0.
            const __m256i e = _mm256_max_epi32(_mm256_cvttps_epi32(whole), lowest);
            const __m256 w = _mm256_mul_ps(
                poly, _mm256_castsi256_ps(_mm256_slli_epi32(_mm256_add_epi32(e, bias), 23)));

            const __m256i d = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(disp_row + dx));
            total = _mm256_add_ps(total, w);
            of_own = _mm256_add_ps(
                of_own, _mm256_and_ps(w, _mm256_castsi256_ps(_mm256_cmpeq_epi32(d, own))));
            of_around = _mm256_add_ps(
                of_around, _mm256_and_ps(w, _mm256_castsi256_ps(_mm256_cmpeq_epi32(d, around))));
        }
    }

    const __m256 half = _mm256_mul_ps(total, _mm256_set1_ps(0.5f * (1.0f + 1.0f / 16)));
    const __m256 least = _mm256_set1_ps(0x1p-60f);
    const int own_settled = _mm256_movemask_ps(_mm256_and_ps(
        _mm256_cmp_ps(of_own, half, _CMP_GT_OQ), _mm256_cmp_ps(of_own, least, _CMP_GE_OQ)));
    const int around_settled = _mm256_movemask_ps(_mm256_and_ps(
        _mm256_cmp_ps(of_around, half, _CMP_GT_OQ), _mm256_cmp_ps(of_around, least, _CMP_GE_OQ)));
    alignas(32) int around_disp[8];
    _mm256_store_si256(reinterpret_cast<__m256i *>(around_disp), around);
    int *result = jb.result_arr + static_cast<std::ptrdiff_t>(i) * width + j;
    int rejected = -1;
    scratch.settled += std::popcount(static_cast<unsigned>(own_settled | around_settled));
    for (int l = 0; l < lanes; ++l) {
        if (own_settled >> l & 1) {
            result[l] = centre_disp[l];
        } else if (around_settled >> l & 1) {
            result[l] = around_disp[l];
        } else if (!smooth_pixel_window(jb, scratch, wr, j + l, mostly_slow) && rejected < 0) {
            rejected = l;
        }
    }
    return rejected;
}

// smooth_row for the common case (see smooth_pixel_window): windows inside
// the image horizontally eight at a time where the processor has AVX2, the
// others one by one.
int smooth_row_window(const job &jb, thread_scratch &scratch, int i, int j_end) {
    const int y_lo = std::max(0, i - jb.reach_y), y_hi = std::min(jb.height - 1, i + jb.reach_y);
    const std::uint8_t **rows = scratch.rows.get();
    for (int y = y_lo; y <= y_hi; ++y) rows[y - y_lo] = packed_row(jb, scratch, y);
    const window_rows wr{i, y_lo, y_hi, rows};
    // Eight-lane groups start at lane_margin and end at least lane_margin
    // before the last column, and stop before j_end.
    const int lanes_end = jb.use_lanes ? std::min(j_end, jb.width - lane_margin(jb.reach_x)) : 0;

    const int margin = lane_margin(jb.reach_x);
    bool mostly_slow = false;
    for (int j = 0; j < j_end;) {
        if (j >= margin && j < lanes_end) {
            // The last group ends at lanes_end, overlapping the one before
            // it: its first pixels are computed again, to the same values.
            const int start = std::max(margin, std::min(j, lanes_end - lanes));
            if (start + lanes <= lanes_end) {
                const int rejected = smooth_lanes(jb, scratch, wr, start, mostly_slow);
                if (rejected >= 0) return start + rejected;
                j = start + lanes;
                continue;
            }
        }
        if (!smooth_pixel_window(jb, scratch, wr, j, mostly_slow)) return j;
        ++j;
    }
    return -1;
}

// Smooths pixels (i, 0) .. (i, j_end - 1).  Returns the column of the first
// pixel whose histogram median_histo would reject, or -1.
int smooth_row(const job &jb, thread_scratch &scratch, int i, int j_end) {
    const int width = jb.width, height = jb.height;
    const int y_lo = std::max(0, i - jb.reach_y), y_hi = std::min(height - 1, i + jb.reach_y);
    const dispsmooth::weight_table &weights = *jb.weights;
    const int tx = weights.table_x(), ty = weights.table_y(), shift = weights.shift();
    int *c = scratch.distances.get();
    std::uint32_t *index = scratch.indices.get();
    dispsmooth::touched_histogram &histo = scratch.histo;
    const std::uint8_t **rows = scratch.rows.get();
    const bool packed = jb.packed || scratch.ring;
    if (packed)
        for (int y = y_lo; y <= y_hi; ++y) rows[y - y_lo] = packed_row(jb, scratch, y);

    for (int j = 0; j < j_end; ++j) {
        const int x_lo = std::max(0, j - jb.reach_x), x_hi = std::min(width - 1, j + jb.reach_x);
        __m128i centre = _mm_setzero_si128();
        if (packed) centre = dispsmooth::packed_centre(rows[i - y_lo] + 4 * j);
        // The running bin starts on bin 0 (still +0.0): marking a bin that
        // then receives nothing only adds +0.0 to the sums.
        histo.mark(0);
        running_bin run{jb.min_d, histo.bins()[0]};
        for (int y = y_lo; y <= y_hi; ++y) {
            const int dy = y - i;
            const long long dy2 = static_cast<long long>(dy) * dy;
            const int *ds = jb.disp_arr + static_cast<std::ptrdiff_t>(y) * width;
            if (packed) {
                dispsmooth::squared_distances(rows[y - y_lo] + 4 * x_lo, x_hi - x_lo + 1, centre, c);
            } else {
                for (int x = x_lo; x <= x_hi; ++x)
                    c[x - x_lo] = color_distance_squared(width, height, jb.guide_arr, i, j, y, x);
            }
            // Offsets beyond the table (|dx| or |dy| > 63) are evaluated
            // directly; the three spans are consecutive, so the scan order
            // is kept.
            if (dy < -ty || dy > ty) {
                add_direct(weights, histo, jb.min_d, c, ds + x_lo, x_hi - x_lo + 1, x_lo - j, dy2,
                           run);
                continue;
            }
            const int t_lo = std::max(x_lo, j - tx), t_hi = std::min(x_hi, j + tx);
            if (x_lo < t_lo)
                add_direct(weights, histo, jb.min_d, c, ds + x_lo, t_lo - x_lo, x_lo - j, dy2, run);
            const int *ct = c + (t_lo - x_lo);
            const int *sn = weights.s_numbers(dy) + tx + (t_lo - j);
            const int count = t_hi - t_lo + 1;
            if (jb.byte_guide)
                dispsmooth::table_indices(ct, sn, count, shift, index);
            else
                dispsmooth::table_indices_checked(ct, sn, count, shift, weights.c_count(),
                                                  weights.index_limit(), index);
            add_tabulated(weights, histo, jb.min_d, index, ct, ds + t_lo, count, t_lo - j, dy2,
                          run);
            if (t_hi < x_hi)
                add_direct(weights, histo, jb.min_d, c + (t_hi + 1 - x_lo), ds + t_hi + 1,
                           x_hi - t_hi, t_hi + 1 - j, dy2, run);
        }
        if (!finish_pixel(jb, histo, run, i, j)) return j;
    }
    return -1;
}

}  // namespace

void dispsmooth::run_weighted_median_fast(int width, int height, const int *guide_arr,
                                          const std::uint8_t *packed_guide, const int *disp_arr,
                                          int min_d, int max_d, int radius, double sigma_space,
                                          double sigma_color, int *result_arr) {
    if (min_d > max_d) error_handler("weighted_median");
    if (width <= 0 || height <= 0) return;

    const std::size_t nbins = static_cast<std::size_t>(static_cast<long long>(max_d) - min_d + 1);
    const long long npixels = static_cast<long long>(width) * height;
    // Offsets reach at most the image's extent, however large the radius.
    const int reach_x = radius < 0 ? 0 : std::min(radius, width - 1);
    const int reach_y = radius < 0 ? 0 : std::min(radius, height - 1);

    // Per-thread scratch, allocated before the threads start so that a
    // refused allocation ends the process from this thread.
    const long long work = npixels * (2LL * reach_x + 1) * (2LL * reach_y + 1);
    const int threads = work >= min_parallel_work ? std::max(1, omp_get_max_threads()) : 1;
    std::vector<std::unique_ptr<thread_scratch>> scratch;
    scratch.reserve(static_cast<std::size_t>(threads));
    for (int t = 0; t < threads; ++t)
        scratch.push_back(std::make_unique<thread_scratch>(nbins, reach_x, reach_y));

    // An empty window has a total weight of 0.
    if (radius < 0) error_handler("median_histo");

    const long long limit = first_invalid_window(width, height, disp_arr, min_d, max_d, radius);

    const std::size_t ring_slots =
        static_cast<std::size_t>(std::min(2LL * reach_y + 1, static_cast<long long>(height)));
    const bool byte_guide = packed_guide || guide_in_byte_range(npixels, guide_arr);
    if (byte_guide && !packed_guide &&
        ring_slots * dispsmooth::packed_row_bytes(width) * static_cast<std::size_t>(threads) <=
            ring_budget_bytes) {
        for (auto &s : scratch)
            s->ring = std::make_unique<dispsmooth::guide_ring>(width, static_cast<int>(ring_slots),
                                                               guide_arr);
    }

    const dispsmooth::weight_table weights(reach_x, reach_y, work, sigma_space, sigma_color);
    // Whole windows laid out at once when the table covers every offset.
    const bool by_window = (packed_guide || scratch[0]->ring) && reach_x <= weights.table_x() &&
                           reach_y <= weights.table_y();
    if (by_window) {
        const std::size_t window = window_pixels(reach_x, reach_y) + 4;
        for (auto &s : scratch) {
            s->window_index = dispsmooth::allocate_buffer<std::uint32_t>(window, "window layout");
            s->window_disp = dispsmooth::allocate_buffer<int>(window, "window layout");
            s->window_weight = dispsmooth::allocate_buffer<std::uint64_t>(window, "window layout");
        }
    }
    // Eight-pixel groups need rows of at least 8 + 2 reach_x pixels.
    // Eight-pixel groups need rows of at least 8 + 2 lane_margin pixels.
    const bool use_lanes = by_window && width >= lanes + 2 * lane_margin(reach_x) &&
                           dispsmooth::available_vector_isa() == dispsmooth::vector_isa::avx2;
    float colour_exponent = 0;
    std::vector<float> space_exponent;
    if (use_lanes) {
        colour_exponent = lane_exponent(1.0, sigma_color);
        for (int dy = -reach_y; dy <= reach_y; ++dy)
            for (int dx = -reach_x; dx <= reach_x; ++dx)
                space_exponent.push_back(lane_exponent(dx * dx + dy * dy, sigma_space));
    }
    const job jb{width,     height,          guide_arr,
                 disp_arr,  min_d,           reach_x,
                 reach_y,   byte_guide,      use_lanes,
                 colour_exponent, space_exponent.data(), packed_guide,
                 &weights,  result_arr};

    // First pixel whose histogram was rejected, over all threads.
    std::atomic<long long> first_rejected{npixels};
    // Shown on standard error only when it is a terminal.
    dispsmooth::progress_meter *const progress = dispsmooth::progress_start(height);

#pragma omp parallel num_threads(threads) if (threads > 1)
    {
        thread_scratch &mine = *scratch[static_cast<std::size_t>(omp_get_thread_num())];
#pragma omp for schedule(dynamic, 4)
        for (int i = 0; i < height; ++i) {
            const long long row_start = static_cast<long long>(i) * width;
            // Pixels from the first failure on need not be computed.
            const long long stop = std::min(limit, first_rejected.load(std::memory_order_relaxed));
            if (row_start < stop) {
                const int j_end = static_cast<int>(std::min<long long>(width, stop - row_start));
                mine.pixels += j_end;
                const int rejected = by_window ? smooth_row_window(jb, mine, i, j_end)
                                               : smooth_row(jb, mine, i, j_end);
                if (rejected >= 0) {
                    const long long p = row_start + rejected;
                    long long seen = first_rejected.load(std::memory_order_relaxed);
                    while (p < seen && !first_rejected.compare_exchange_weak(seen, p)) {
                    }
                }
            }
            // Row i is complete here: the one place to report progress.
            dispsmooth::progress_row_done(progress);
        }
    }
    // Erase the indicator before any fatal message.
    dispsmooth::progress_finish(progress);
    dispsmooth::settle_stats counts;
    for (const auto &s : scratch) {
        counts.pixels += s->pixels;
        counts.settled += s->settled;
    }
    dispsmooth::record_settle_stats(counts);

    if (first_rejected.load() < limit) error_handler("median_histo");
    if (limit < npixels) error_handler("weighted_histo");
}
