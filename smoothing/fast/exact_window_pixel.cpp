// The exact path for a window laid out whole: guide values in 0..255 in
// packed rows, and every offset of the window in the weight table (radius at
// most 63, or clipped to it).
//
// The window is first laid out in scan order (table entries computed four at
// a time, disparities copied).  The bin of the centre's disparity dom, which
// in smooth regions holds most or all of the window, is then summed in one
// pass in which every other neighbour adds +0.0 (which changes no sum): the
// same additions in the same order as in weighted_histo.  The other bins,
// independent of it, are summed after it in a second pass.  A window of one
// disparity needs no histogram at all: its total is the sum of that bin, and
// median_histo's result is that bin whenever half the total is positive.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "smoothing/fast/engine.h"
#include "smoothing/fast/running_bin.h"

namespace {

// How many neighbours ahead the weight-table entries are fetched.
constexpr int prefetch_distance = 24;

// Weights a thread evaluates directly in a call before it turns to the
// weight table.  Where every pixel takes this path (no first pass): about
// 10 ms of exponentials, about what faulting in the table's scattered pages
// costs; colour noise reaches it within a few rows.  Where the first pass
// runs, only windows near a tie come here, and they seldom share weights:
// at radius 25 a thousand of them touch the whole table (up to 40 MiB, each
// page zeroed by the kernel), which on the 2-core Xeon measured cost more
// than evaluating their 2.6 million weights directly (1.87 against 1.65 s
// for the tool on Aloe, sigma_space 9), so eight times as many.
constexpr long long direct_weight_budget = 1LL << 19;
constexpr long long direct_weight_budget_after_first_pass = 1LL << 22;

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

}  // namespace

bool dispsmooth::exact_window_pixel(const engine_job &job, thread_scratch &scratch,
                                    const window_rows &wr, int j) {
    const int width = job.width, min_d = job.min_d, i = wr.i;
    const weight_table &weights = *job.weights;
    const int tx = weights.table_x(), shift = weights.shift();
    const std::uint64_t *cells = weights.cells();
    const std::uint32_t limit = weights.index_limit();
    touched_histogram &histo = scratch.histo;
    std::uint32_t *index = scratch.window_index.get();
    int *disp = scratch.window_disp.get();
    std::uint64_t *weight = scratch.window_weight.get();

    const int x_lo = std::max(0, j - job.reach_x), x_hi = std::min(width - 1, j + job.reach_x);
    const int span = x_hi - x_lo + 1;
    // 4 * j and 4 * x_lo < 4 * width fit int (width < 2^29); widened, they change the
    // code of this hot path.
    // NOLINTNEXTLINE(bugprone-implicit-widening-of-multiplication-result)
    const centre_colour centre = packed_centre(wr.rows[i - wr.y_lo] + 4 * j);
    // An invalid centre (filled) has no level of its own: the running bin
    // starts on level 0 instead, which exists in every masked call.
    const int own = job.disp_arr[static_cast<std::ptrdiff_t>(i) * width + j];
    const int dom = job.masked && own < 0 ? 0 : own;
    bool mixed = false;
    int n = 0;
    for (int y = wr.y_lo; y <= wr.y_hi; ++y, n += span) {
        // NOLINTNEXTLINE(bugprone-implicit-widening-of-multiplication-result): as for the centre
        distance_indices(wr.rows[y - wr.y_lo] + 4 * x_lo, span, centre,
                         weights.s_numbers(y - i) + tx + (x_lo - j), shift, index + n);
        mixed |= copy_ints_differ(job.disp_arr + static_cast<std::ptrdiff_t>(y) * width + x_lo,
                                  span, dom, disp + n);
    }

    double sum = 0.0;  // the bin of dom
    int slow = 0;      // weights not found in the table
    if (scratch.direct_weights <
        (job.use_lanes ? direct_weight_budget_after_first_pass : direct_weight_budget)) {
        // Few windows have needed the exact path so far: evaluate their
        // weights directly rather than fault in the pages of table entries
        // they would touch once.
        for (int k = 0; k < n; ++k) {
            const std::uint64_t w = weights.compute(index[k]);
            weight[k] = w;
            if (disp[k] == dom) sum += std::bit_cast<double>(w);
        }
        scratch.direct_weights += n;
    } else if (scratch.mostly_slow) {
        // The previous window found few of its weights in the table (a
        // colour-noise image, or a table cut short by a large radius): look
        // them up one by one without leaving the loop.
        for (int k = 0; k < n; ++k) {
            if (k + prefetch_distance < n)
                __builtin_prefetch(cells + std::min(index[k + prefetch_distance], limit));
            const std::uint32_t ix = index[k];
            const std::uint64_t stored =
                ix < limit ? __atomic_load_n(cells + ix, __ATOMIC_RELAXED) : 0;
            const std::uint64_t w =
                stored != 0 ? stored ^ weight_table::sign_bit : (++slow, weights.resolve(ix));
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
    scratch.mostly_slow = 8 * slow > n;
    if (job.masked && mixed) {
        // Invalid neighbours (level -1, never dom) added nothing to the bin
        // of dom; as weights of +0.0 they add nothing to the other bins
        // either (add_weight skips them), which changes no sum.  A window
        // with any invalid pixel is mixed, since dom is a valid level.
        for (int k = 0; k < n; ++k)
            if (disp[k] < 0) weight[k] = 0;
    }

    int *result = job.result_arr + static_cast<std::ptrdiff_t>(i) * width + j;
    if (!mixed) {
        // total = +0.0 + sum over the one bin = sum; the search stops at that
        // bin unless half the total is not positive.
        if (!(0.5 * sum > 0)) return false;
        *result = dom;
        return true;
    }
    // The other bins, each in scan order, starting from the running bin on
    // dom (whose sum is final).
    double *bins = histo.bins();
    histo.mark(static_cast<std::size_t>(static_cast<long long>(dom) - min_d));
    running_bin run{dom, sum};
    for (int k = 0; k < n; ++k)
        if (disp[k] != dom) add_weight(histo, bins, min_d, weight[k], disp[k], run.d, run.acc);
    return finish_histogram(histo, run, min_d, result);
}
