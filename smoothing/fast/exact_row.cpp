// The exact path for any guide and any radius: each pixel's histogram built
// window row by window row.  Colour distances come four at a time from packed
// rows where the guide is in 0..255 (else from color_distance_squared); the
// weights of offsets in the table (|dx|, |dy| <= 63) are looked up or filled,
// the others evaluated directly; the three spans of a window row are
// consecutive, so the scan order of weighted_histo is kept.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "dispsmooth/smoothing.h"
#include "smoothing/fast/engine.h"
#include "smoothing/fast/running_bin.h"

namespace {

using dispsmooth::running_bin;
using dispsmooth::touched_histogram;
using dispsmooth::weight_table;

// Adds count neighbours of one window row, in ascending x, whose weights are
// evaluated directly: offsets dx_from .. dx_from + count - 1, colour
// distances c, disparities ds.
template <bool masked>
void add_direct(const weight_table &weights, touched_histogram &histo, int min_d, const int *c,
                const int *ds, int count, int dx_from, long long dy2, running_bin &run) {
    double *bins = histo.bins();
    for (int k = 0; k < count; ++k)
        add_weight<masked>(histo, bins, min_d, weights.evaluate_bits(c[k], dx_from + k, dy2), ds[k],
                           run.d, run.acc);
}

// Adds neighbours k, k + 1, ... of one window row whose weights are in the
// table, and returns the position of the first one that is not (an entry not
// yet filled, or a colour distance beyond the table), or count.  Kept free
// of calls so that its loop runs in registers.
template <bool masked>
[[gnu::noinline]] int add_filled(std::uint64_t *cells, std::uint32_t limit,
                                 const std::uint32_t *index, const int *ds, int k, int count,
                                 touched_histogram &histo, int min_d, running_bin &run) {
    double *bins = histo.bins();
    int cur_d = run.d;
    double acc = run.acc;
    for (; k < count; ++k) {
        const std::uint32_t ix = index[k];
        if (ix >= limit) break;
        const std::uint64_t stored = __atomic_load_n(cells + ix, __ATOMIC_RELAXED);
        if (stored == 0) break;
        add_weight<masked>(histo, bins, min_d, stored ^ weight_table::sign_bit, ds[k], cur_d, acc);
    }
    run.d = cur_d;
    run.acc = acc;
    return k;
}

// The same for tabulated offsets, given their table entries.
template <bool masked>
void add_tabulated(const weight_table &weights, touched_histogram &histo, int min_d,
                   const std::uint32_t *index, const int *c, const int *ds, int count, int dx_from,
                   long long dy2, running_bin &run) {
    const std::uint32_t limit = weights.index_limit();
    for (int k = 0;; ++k) {
        k = add_filled<masked>(weights.cells(), limit, index, ds, k, count, histo, min_d, run);
        if (k >= count) break;
        const std::uint32_t ix = index[k];
        const std::uint64_t w = ix < limit ? weights.at(ix, dx_from + k, dy2)
                                           : weights.evaluate_bits(c[k], dx_from + k, dy2);
        add_weight<masked>(histo, histo.bins(), min_d, w, ds[k], run.d, run.acc);
    }
}

template <bool masked>
int exact_row_of(const dispsmooth::engine_job &job, dispsmooth::thread_scratch &scratch, int i,
                 int j_end) {
    using namespace dispsmooth;
    const int width = job.width, height = job.height;
    const int y_lo = std::max(0, i - job.reach_y), y_hi = std::min(height - 1, i + job.reach_y);
    const weight_table &weights = *job.weights;
    const int tx = weights.table_x(), ty = weights.table_y(), shift = weights.shift();
    int *c = scratch.distances.get();
    std::uint32_t *index = scratch.indices.get();
    touched_histogram &histo = scratch.histo;
    const std::uint8_t **rows = scratch.rows.get();
    const bool packed = job.packed || scratch.ring;
    if (packed)
        for (int y = y_lo; y <= y_hi; ++y) rows[y - y_lo] = packed_row(job, scratch, y);

    for (int j = 0; j < j_end; ++j) {
        int *result = job.result_arr + static_cast<std::ptrdiff_t>(i) * width + j;
        const bool invalid = invalid_pixel(job, static_cast<std::ptrdiff_t>(i) * width + j);
        if (invalid && !job.fill) {
            *result = -1;  // left invalid, and not counted as computed
            --scratch.pixels;
            continue;
        }
        const int x_lo = std::max(0, j - job.reach_x), x_hi = std::min(width - 1, j + job.reach_x);
        centre_colour centre{};
        // 4 * j < 4 * width fits int (width < 2^29); widened, it changes the code of this hot loop.
        // NOLINTNEXTLINE(bugprone-implicit-widening-of-multiplication-result)
        if (packed) centre = packed_centre(rows[i - y_lo] + 4 * j);
        // The running bin starts on bin 0 (still +0.0): marking a bin that
        // then receives nothing only adds +0.0 to the sums.
        histo.mark(0);
        running_bin run{job.min_d, histo.bins()[0]};
        for (int y = y_lo; y <= y_hi; ++y) {
            const int dy = y - i;
            const long long dy2 = static_cast<long long>(dy) * dy;
            const int *ds = job.disp_arr + static_cast<std::ptrdiff_t>(y) * width;
            if (packed) {
                // 4 * x_lo fits int likewise; widened, it changes the code of this hot loop.
                // NOLINTNEXTLINE(bugprone-implicit-widening-of-multiplication-result)
                squared_distances(rows[y - y_lo] + 4 * x_lo, x_hi - x_lo + 1, centre, c);
            } else {
                for (int x = x_lo; x <= x_hi; ++x)
                    c[x - x_lo] = color_distance_squared(width, height, job.guide_arr, i, j, y, x);
            }
            // Offsets beyond the table (|dx| or |dy| > 63) are evaluated
            // directly.
            if (dy < -ty || dy > ty) {
                add_direct<masked>(weights, histo, job.min_d, c, ds + x_lo, x_hi - x_lo + 1,
                                   x_lo - j, dy2, run);
                continue;
            }
            const int t_lo = std::max(x_lo, j - tx), t_hi = std::min(x_hi, j + tx);
            if (x_lo < t_lo)
                add_direct<masked>(weights, histo, job.min_d, c, ds + x_lo, t_lo - x_lo, x_lo - j,
                                   dy2, run);
            const int *ct = c + (t_lo - x_lo);
            const int *sn = weights.s_numbers(dy) + tx + (t_lo - j);
            const int count = t_hi - t_lo + 1;
            if (job.byte_guide)
                table_indices(ct, sn, count, shift, index);
            else
                table_indices_checked(ct, sn, count, shift, weights.c_count(),
                                      weights.index_limit(), index);
            add_tabulated<masked>(weights, histo, job.min_d, index, ct, ds + t_lo, count, t_lo - j,
                                  dy2, run);
            if (t_hi < x_hi)
                add_direct<masked>(weights, histo, job.min_d, c + (t_hi + 1 - x_lo), ds + t_hi + 1,
                                   x_hi - t_hi, t_hi + 1 - j, dy2, run);
        }
        if (!finish_histogram(histo, run, job.min_d, result)) {
            // An invalid centre whose valid neighbours weigh nothing stays
            // invalid; any other rejection is a failure.
            if (!invalid) return j;
            *result = -1;
        }
    }
    return -1;
}

}  // namespace

int dispsmooth::exact_row(const engine_job &job, thread_scratch &scratch, int i, int j_end) {
    return job.masked ? exact_row_of<true>(job, scratch, i, j_end)
                      : exact_row_of<false>(job, scratch, i, j_end);
}
