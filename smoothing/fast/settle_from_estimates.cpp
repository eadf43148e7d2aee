// The second pass: one lane's window that the first pass could not settle
// with its three candidates.  Its estimated weights, left by the first pass,
// are summed per disparity in double precision, and the first disparity whose
// estimated cumulative weight passes half the estimated total is settled
// where the margins of settle_margins.h show it to be median_histo's result.
// Only windows within about 1.3e-5 of a tie are left to the exact path.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "engine.h"
#include "running_bin.h"

bool dispsmooth::settle_from_estimates(const engine_job &job, thread_scratch &scratch,
                                       const window_rows &wr, int j, int l) {
    const int r = job.reach_x, min_d = job.min_d, x = j + l;
    // The offsets inside the image (the window is clipped at the edges).
    const int dx_lo = std::max(-r, -x), dx_hi = std::min(r, job.width - 1 - x);
    touched_histogram &histo = scratch.histo;
    double *bins = histo.bins();
    const float *est = scratch.estimates.get() + static_cast<std::ptrdiff_t>(dx_lo + r) * lanes + l;
    const std::ptrdiff_t row_stride = static_cast<std::ptrdiff_t>(2 * r + 1) * lanes;
    // The running bin starts on bin 0 (still +0.0), which adds +0.0 to the
    // sums if nothing else reaches it.
    histo.mark(0);
    running_bin run{min_d, bins[0]};
    for (int y = wr.y_lo; y <= wr.y_hi; ++y, est += row_stride) {
        const int *ds = job.disp_arr + static_cast<std::ptrdiff_t>(y) * job.width + x;
        for (int dx = dx_lo; dx <= dx_hi; ++dx)
            add_weight(histo, bins, min_d,
                       std::bit_cast<std::uint64_t>(static_cast<double>(est[(dx - dx_lo) * lanes])),
                       ds[dx], run.d, run.acc);
    }
    bins[static_cast<long long>(run.d) - min_d] = run.acc;
    const long long m = histo.crossing_index_and_clear(job.below, job.above);
    if (m < 0) return false;
    job.result_arr[static_cast<std::ptrdiff_t>(wr.i) * job.width + j + l] =
        min_d + static_cast<int>(m);
    return true;
}
