// The second pass: one lane's window that the first pass could not settle
// with its three candidates, its estimates summed per disparity in double
// precision (see smoothing/fast/README.md, "Which path a pixel takes").
//
// The bound of settle_margins.h holds for sums of non-negative terms added in
// any order, so the estimates are summed in whatever order is fastest: where
// the window's disparities span at most dense_bins values and not many more
// than the window has pixels, into two small dense histograms taking
// alternate neighbours, without branches; otherwise into the touched-bin
// histogram.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "smoothing/fast/engine.h"
#include "smoothing/fast/running_bin.h"
#include "smoothing/fast/settle_margins.h"

namespace {

using dispsmooth::lanes;
using dispsmooth::settled_bin;

// The first bin m of the two dense histograms a + b (count bins) whose
// cumulative sum exceeds above * total, provided the bins before it sum to
// less than below * total; else -1.  total is the sum of all their
// contributions.  Clears the bins.
long long dense_crossing(double *a, double *b, int count, double total, double below,
                         double above) {
    const long long m = settled_bin(static_cast<std::size_t>(count), total, below, above,
                                    [&](std::size_t k) { return a[k] + b[k]; });
    std::fill(a, a + count, 0.0);
    std::fill(b, b + count, 0.0);
    return m;
}

}  // namespace

bool dispsmooth::settle_from_estimates(const engine_job &job, thread_scratch &scratch,
                                       const window_rows &wr, int j, int l) {
    const int r = job.reach_x, min_d = job.min_d, x = j + l;
    // The offsets inside the image (the window is clipped at the edges).
    const int dx_lo = std::max(-r, -x), dx_hi = std::min(r, job.width - 1 - x);
    const std::ptrdiff_t row_stride = static_cast<std::ptrdiff_t>(2 * r + 1) * lanes;
    const float *est_start =
        scratch.estimates.get() + static_cast<std::ptrdiff_t>(dx_lo + r) * lanes + l;
    auto disp_row = [&](int y) {
        return job.disp_arr + static_cast<std::ptrdiff_t>(y) * job.width + x;
    };

    int d_lo = disp_row(wr.i)[0], d_hi = d_lo;
    for (int y = wr.y_lo; y <= wr.y_hi; ++y) {
        const int *ds = disp_row(y);
        for (int dx = dx_lo; dx <= dx_hi; ++dx) {
            d_lo = std::min(d_lo, ds[dx]);
            d_hi = std::max(d_hi, ds[dx]);
        }
    }

    long long m;
    int base;
    // The dense bins are cleared and scanned whole: worth it only where they
    // are few against the window's pixels.
    const long long span = static_cast<long long>(d_hi) - d_lo + 1;
    const long long count = static_cast<long long>(wr.y_hi - wr.y_lo + 1) * (dx_hi - dx_lo + 1);
    if (span <= thread_scratch::dense_bins && span <= 2 * count) {
        double *a = scratch.dense.get(), *b = a + thread_scratch::dense_bins;
        double total_a = 0.0, total_b = 0.0;
        const float *est = est_start;
        for (int y = wr.y_lo; y <= wr.y_hi; ++y, est += row_stride) {
            const int *ds = disp_row(y);
            int dx = dx_lo;
            for (; dx + 1 <= dx_hi; dx += 2) {
                // At most 126 * 8: these windows reach at most 63 columns.
                // NOLINTNEXTLINE(bugprone-implicit-widening-of-multiplication-result)
                const double wa = est[(dx - dx_lo) * lanes], wb = est[(dx + 1 - dx_lo) * lanes];
                a[ds[dx] - d_lo] += wa;
                b[ds[dx + 1] - d_lo] += wb;
                total_a += wa;
                total_b += wb;
            }
            if (dx <= dx_hi) {
                // At most 126 * 8, as above.
                // NOLINTNEXTLINE(bugprone-implicit-widening-of-multiplication-result)
                const double wa = est[(dx - dx_lo) * lanes];
                a[ds[dx] - d_lo] += wa;
                total_a += wa;
            }
        }
        m = dense_crossing(a, b, d_hi - d_lo + 1, total_a + total_b, job.below, job.above);
        base = d_lo;
    } else {
        touched_histogram &histo = scratch.histo;
        double *bins = histo.bins();
        // The running bin starts on bin 0 (still +0.0), which adds +0.0 to
        // the sums if nothing else reaches it.
        histo.mark(0);
        running_bin run{min_d, bins[0]};
        const float *est = est_start;
        for (int y = wr.y_lo; y <= wr.y_hi; ++y, est += row_stride) {
            const int *ds = disp_row(y);
            for (int dx = dx_lo; dx <= dx_hi; ++dx)
                add_weight(
                    histo, bins, min_d,
                    // At most 126 * 8, as above.
                    // NOLINTNEXTLINE(bugprone-implicit-widening-of-multiplication-result)
                    std::bit_cast<std::uint64_t>(static_cast<double>(est[(dx - dx_lo) * lanes])),
                    ds[dx], run.d, run.acc);
        }
        bins[static_cast<long long>(run.d) - min_d] = run.acc;
        m = histo.crossing_index_and_clear(job.below, job.above);
        base = min_d;
    }
    if (m < 0) return false;
    job.result_arr[static_cast<std::ptrdiff_t>(wr.i) * job.width + x] = base + static_cast<int>(m);
    return true;
}
