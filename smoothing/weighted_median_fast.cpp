// weighted_median with the same result to the last bit, computed faster:
// remembered weights (weight_table.h), a histogram that handles only the bins
// a window touched (touched_histogram.h), colour distances four at a time
// (guide_rows.h), the window clipped to the image instead of tested pixel by
// pixel, and rows shared among OpenMP threads.
//
// What is the same as weighted_median, and why:
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
#include "dispsmooth/smoothing.h"

#include <omp.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "buffer.h"
#include "progress.h"
#include "guide_rows.h"
#include "touched_histogram.h"
#include "weight_table.h"

namespace {

// Repacked guide rows of all threads together stay within this.
constexpr std::size_t ring_budget_bytes = std::size_t{16} << 20;

// Below this many window pixels in all (well under a millisecond of work)
// starting threads costs more than it saves: the call stays on one thread.
constexpr long long min_parallel_work = 1LL << 17;

// Index of the first pixel (row-major) whose window holds a disparity outside
// min_d..max_d, or width * height when there is none.
long long first_invalid_window(int width, int height, const int *disp_arr, int min_d, int max_d,
                               long long r) {
    long long first = static_cast<long long>(width) * height;
    for (long long y = 0; y < height; ++y) {
        // The earliest centre that sees row y lies in row max(0, y - r).
        if (std::max(0LL, y - r) * width >= first) break;
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

    thread_scratch(std::size_t nbins, int reach_x, int reach_y)
        : histo(nbins),
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

// smooth_row for the common case: guide values in 0..255 repacked in the
// ring, and every offset of the window in the table (radius at most 63 or
// clipped to it).  Each window is first laid out in scan order (table entries
// computed four at a time, disparities copied).  The bin of the centre's
// disparity dom, which in smooth regions holds most or all of the window, is
// then summed in one pass in which every other neighbour adds +0.0 (which
// changes no sum): the same additions in the same order as in weighted_histo.
// The other bins, independent of it, are summed after it in a second pass.
// A window of one disparity needs no histogram at all: its total is the sum
// of that bin, and median_histo's result is that bin whenever half the total
// is positive.
int smooth_row_window(const job &jb, thread_scratch &scratch, int i, int j_end) {
    const int width = jb.width, min_d = jb.min_d;
    const int y_lo = std::max(0, i - jb.reach_y), y_hi = std::min(jb.height - 1, i + jb.reach_y);
    const dispsmooth::weight_table &weights = *jb.weights;
    const int tx = weights.table_x(), shift = weights.shift();
    const std::uint64_t *cells = weights.cells();
    const std::uint32_t limit = weights.index_limit();
    dispsmooth::touched_histogram &histo = scratch.histo;
    double *bins = histo.bins();
    std::uint32_t *index = scratch.window_index.get();
    int *disp = scratch.window_disp.get();
    std::uint64_t *weight = scratch.window_weight.get();
    const std::uint8_t **rows = scratch.rows.get();
    for (int y = y_lo; y <= y_hi; ++y) rows[y - y_lo] = scratch.ring->row(y);
    const int *centre_disp = jb.disp_arr + static_cast<std::ptrdiff_t>(i) * width;

    bool mostly_slow = false;
    for (int j = 0; j < j_end; ++j) {
        const int x_lo = std::max(0, j - jb.reach_x), x_hi = std::min(width - 1, j + jb.reach_x);
        const int span = x_hi - x_lo + 1;
        const __m128i centre = dispsmooth::packed_centre(rows[i - y_lo] + 4 * j);
        const int dom = centre_disp[j];
        bool mixed = false;
        int n = 0;
        for (int y = y_lo; y <= y_hi; ++y, n += span) {
            dispsmooth::distance_indices(rows[y - y_lo] + 4 * x_lo, span, centre,
                                         weights.s_numbers(y - i) + tx + (x_lo - j), shift,
                                         index + n);
            mixed |= dispsmooth::copy_ints_differ(
                jb.disp_arr + static_cast<std::ptrdiff_t>(y) * width + x_lo, span, dom, disp + n);
        }

        double sum = 0.0;  // the bin of dom
        int slow = 0;      // weights not found in the table
        if (mostly_slow) {
            // The previous window found few of its weights in the table (a
            // colour-noise image, or a table cut short by a large radius):
            // look them up one by one without leaving the loop.
            for (int k = 0; k < n; ++k) {
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
            // total = +0.0 + sum over the one bin = sum; the search stops at
            // that bin unless half the total is not positive.
            if (!(0.5 * sum > 0)) return j;
            jb.result_arr[static_cast<std::ptrdiff_t>(i) * width + j] = dom;
            continue;
        }
        // The other bins, each in scan order, starting from the running bin
        // on dom (whose sum is final).
        histo.mark(static_cast<std::size_t>(static_cast<long long>(dom) - min_d));
        running_bin run{dom, sum};
        for (int k = 0; k < n; ++k)
            if (disp[k] != dom) add_weight(histo, bins, min_d, weight[k], disp[k], run.d, run.acc);
        if (!finish_pixel(jb, histo, run, i, j)) return j;
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
    if (scratch.ring)
        for (int y = y_lo; y <= y_hi; ++y) rows[y - y_lo] = scratch.ring->row(y);

    for (int j = 0; j < j_end; ++j) {
        const int x_lo = std::max(0, j - jb.reach_x), x_hi = std::min(width - 1, j + jb.reach_x);
        __m128i centre = _mm_setzero_si128();
        if (scratch.ring) centre = dispsmooth::packed_centre(rows[i - y_lo] + 4 * j);
        // The running bin starts on bin 0 (still +0.0): marking a bin that
        // then receives nothing only adds +0.0 to the sums.
        histo.mark(0);
        running_bin run{jb.min_d, histo.bins()[0]};
        for (int y = y_lo; y <= y_hi; ++y) {
            const int dy = y - i;
            const long long dy2 = static_cast<long long>(dy) * dy;
            const int *ds = jb.disp_arr + static_cast<std::ptrdiff_t>(y) * width;
            if (scratch.ring) {
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

void weighted_median_fast(int width, int height, const int *guide_arr, const int *disp_arr,
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
    const bool byte_guide = guide_in_byte_range(npixels, guide_arr);
    if (byte_guide &&
        ring_slots * dispsmooth::packed_row_bytes(width) * static_cast<std::size_t>(threads) <=
            ring_budget_bytes) {
        for (auto &s : scratch)
            s->ring = std::make_unique<dispsmooth::guide_ring>(width, static_cast<int>(ring_slots),
                                                               guide_arr);
    }

    const dispsmooth::weight_table weights(reach_x, reach_y, work, sigma_space, sigma_color);
    // Whole windows laid out at once when the table covers every offset.
    const bool by_window = scratch[0]->ring && reach_x <= weights.table_x() &&
                           reach_y <= weights.table_y();
    if (by_window) {
        const std::size_t window =
            static_cast<std::size_t>(2 * reach_x + 1) * (2 * reach_y + 1) + 4;
        for (auto &s : scratch) {
            s->window_index = dispsmooth::allocate_buffer<std::uint32_t>(window, "window layout");
            s->window_disp = dispsmooth::allocate_buffer<int>(window, "window layout");
            s->window_weight = dispsmooth::allocate_buffer<std::uint64_t>(window, "window layout");
        }
    }
    const job jb{width,   height,  guide_arr,  disp_arr, min_d,
                 reach_x, reach_y, byte_guide, &weights, result_arr};

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

    if (first_rejected.load() < limit) error_handler("median_histo");
    if (limit < npixels) error_handler("weighted_histo");
}
