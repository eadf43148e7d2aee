// The second pass: one lane's window that the first pass could not settle
// with its three candidates, its estimates summed per disparity in double
// precision (see smoothing/fast/README.md, "Which path a pixel takes").
//
// The bound of settle_margins.h holds for sums of non-negative terms added in
// any order, so the estimates are summed in whatever order is fastest: where
// the window's disparities span at most dense_bins values, into two or four
// small dense histograms taking the neighbours in turn, without branches, and
// searched by blocks of eight levels; otherwise (levels spread wide:
// sub-pixel levels, wide ranges) coarse to fine, a few hundred bins at a
// time, so that neither the range nor the count of levels costs anything.
#include <algorithm>
#include <bit>
#include <climits>
#include <cstddef>
#include <cstdint>

#include "smoothing/fast/engine.h"
#include "smoothing/fast/running_bin.h"
#include "smoothing/fast/settle_margins.h"

namespace {

using dispsmooth::lanes;

// The dense search of one lane's window (levels d_lo .. d_lo + span - 1):
// its estimates summed per level into `ways` histograms of span bins at
// hist, taking the neighbours of each window row in turn, and their totals
// likewise; then the first level m whose cumulative sum exceeds above *
// total, provided the levels before it sum to less than below * total; else
// -1.  Several histograms, because neighbours mostly share their level: with
// one, each addition would wait for the one before to reach memory.
// Invalid neighbours (estimate +0.0) count as level d_lo (clamp_lo, see the
// caller).  Clears the bins.
template <int ways, class Rows>
long long dense_search(double *hist, int span, int d_lo, int clamp_lo, double below, double above,
                       Rows rows) {
    // Histogram w; level d in its bin d - d_lo.
    double *h[ways];
    for (int w = 0; w < ways; ++w)
        h[w] = hist + static_cast<std::ptrdiff_t>(w) * dispsmooth::thread_scratch::dense_bins;
    double totals[ways] = {};
    rows([&](const int *ds, const float *est, int n) {
        int k = 0;
        for (; k + ways <= n; k += ways) {
            for (int w = 0; w < ways; ++w) {
                const double e = est[static_cast<std::ptrdiff_t>(k + w) * lanes];
                h[w][std::max(ds[k + w], clamp_lo) - d_lo] += e;
                totals[w] += e;
            }
        }
        for (int w = 0; k < n; ++k, ++w) {
            const double e = est[static_cast<std::ptrdiff_t>(k) * lanes];
            h[w][std::max(ds[k], clamp_lo) - d_lo] += e;
            totals[w] += e;
        }
    });
    double total = 0.0;
    for (const double t : totals) total += t;
    const double lo_limit = below * total, hi_limit = above * total;
    const auto bin = [&](int k) {
        double sum = 0.0;
        for (int w = 0; w < ways; ++w) sum += h[w][k];
        return sum;
    };
    // Blocks of eight levels that the cumulative sum does not cross are
    // passed over whole, so that the sum waits for one addition a block
    // rather than one a level.  A level is settled only by the test on the
    // sums formed here, below it and up to it: sums of the window's
    // estimates, each taken once, in some order, which is all the bound of
    // settle_margins.h asks.  Where a block's sum hides a crossing inside
    // it by a rounding, the crossing found later fails its lower test and
    // settles nothing.
    double cum = 0.0;
    long long m = -1;
    int k = 0;
    for (; k + 8 <= span; k += 8) {
        const double block = ((bin(k) + bin(k + 1)) + (bin(k + 2) + bin(k + 3))) +
                             ((bin(k + 4) + bin(k + 5)) + (bin(k + 6) + bin(k + 7)));
        if (cum + block > hi_limit) break;
        cum += block;
    }
    for (; k < span; ++k) {
        const double before = cum;
        cum += bin(k);
        if (cum > hi_limit) {
            if (before < lo_limit) m = k;
            break;
        }
    }
    for (int w = 0; w < ways; ++w) std::fill(h[w], h[w] + span, 0.0);
    return m;
}

// Most bins of one round of the coarse-to-fine search.
constexpr int most_round_bins = 256;

// The coarse-to-fine search of a window whose levels spread over more than
// the dense histograms hold (sub-pixel levels, or wide ranges): each round
// sums the estimates of the levels in [lo, lo + width) into at most
// most_round_bins bins of 2^shift levels each, in the window's own order,
// and settles the bin that holds the crossing, which the next round splits
// again, until a bin of one level is settled.  The sums compared are those
// of the estimates of every level below the bin (base, the bins before it in
// earlier rounds, plus the bins before it in this one) and up to it: sums of
// at most the window's estimates, each taken once, added in some order, which
// is all that the bound of settle_margins.h asks.  Returns the level's offset
// from d_lo, or -1 where some round does not settle.
template <class Each>
long long coarse_to_fine(double *bins, long long span, int count, double below, double above,
                         Each each_neighbour) {
    double total = 0.0, lo_limit = 0.0, hi_limit = 0.0;
    // Bins per round: about half the window's pixel count, a power of 2
    // between 16 and most_round_bins.
    int round_bins = 16;
    while (round_bins < most_round_bins && 2 * round_bins < count) round_bins *= 2;
    long long lo = 0, width = span;
    double base = 0.0;
    for (bool first_round = true; width > 1; first_round = false) {
        int shift = 0;
        while ((width - 1) >> shift >= round_bins) ++shift;
        const int nbins = static_cast<int>(((width - 1) >> shift) + 1);
        // The bins are +0.0 on entry, and left so for the next window.
        if (first_round) {
            // The first round holds every neighbour: the total is summed
            // beside it, in the window's order.
            each_neighbour([&](long long offset, float w) {
                total += w;
                bins[offset >> shift] += w;
            });
            lo_limit = below * total;
            hi_limit = above * total;
        } else {
            each_neighbour([&](long long offset, float w) {
                const long long k = offset - lo;
                if (k >= 0 && k < width) bins[k >> shift] += w;
            });
        }
        double cum = base, below_m = 0.0;
        int m = -1;
        for (int k = 0; k < nbins; ++k) {
            const double before = cum;
            cum += bins[k];
            if (cum > hi_limit) {
                if (before < lo_limit) m = k, below_m = before;
                break;
            }
        }
        std::fill(bins, bins + nbins, 0.0);
        if (m < 0) return -1;
        base = below_m;
        lo += static_cast<long long>(m) << shift;
        width = std::min(width - (static_cast<long long>(m) << shift), 1LL << shift);
    }
    return lo;
}

}  // namespace

bool dispsmooth::settle_from_estimates(const engine_job &job, thread_scratch &scratch,
                                       const window_rows &wr, const float *estimates, int j,
                                       int l) {
    const int r = job.reach_x, x = j + l;
    // The offsets inside the image (the window is clipped at the edges).
    const int dx_lo = std::max(-r, -x), dx_hi = std::min(r, job.width - 1 - x);
    const std::ptrdiff_t row_stride = static_cast<std::ptrdiff_t>(2 * r + 1) * lanes;
    const float *est_start = estimates + static_cast<std::ptrdiff_t>(dx_lo + r) * lanes + l;
    // The window's rows inside the image, each_row(levels, estimates, n) for
    // its n neighbours, the lane's estimates lanes apart.
    const auto rows = [&](auto each_row) {
        const float *est = est_start;
        for (int y = wr.y_lo; y <= wr.y_hi; ++y, est += row_stride)
            each_row(job.disp_arr + static_cast<std::ptrdiff_t>(y) * job.width + x + dx_lo, est,
                     dx_hi - dx_lo + 1);
    };

    const long long count = static_cast<long long>(wr.y_hi - wr.y_lo + 1) * (dx_hi - dx_lo + 1);
    int d_lo = job.min_d, d_hi = job.max_d;
    // Where the call's whole range fits the dense bins and the window has
    // pixels enough to pay for clearing them all (the levels of a computed
    // window lie in the range), the range serves as the window's span.
    // Else the span of the window's levels, compared as unsigned keys
    // without a test per neighbour: in a masked call the levels themselves
    // (valid ones are 0 or more, and the invalid neighbours' -1 lies above
    // them all), otherwise with the sign bit flipped, which keeps the order
    // of int.
    const long long range = static_cast<long long>(job.max_d) - job.min_d + 1;
    if (job.masked || range > thread_scratch::dense_bins || 2 * count < range) {
        const unsigned flip = job.masked ? 0U : 0x80000000U;
        unsigned least = UINT_MAX;
        d_hi = job.masked ? 0 : INT_MIN;
        rows([&](const int *ds, const float *, int n) {
            for (int k = 0; k < n; ++k) {
                least = std::min(least, static_cast<unsigned>(ds[k]) ^ flip);
                d_hi = std::max(d_hi, ds[k]);
            }
        });
        if (job.masked && least > INT_MAX)
            return false;  // no valid neighbour: left to the exact path
        d_lo = static_cast<int>(least ^ flip);
    }

    long long m;
    // Invalid neighbours' estimates are +0.0: taken as level d_lo, they
    // change no sum, and the loops below need no test of their own for them
    // (holes scattered at random would make such a test a poor guess).
    const int clamp_lo = job.masked ? d_lo : INT_MIN;
    // The dense bins are cleared whole, but scanned by blocks up to the
    // crossing only: cheaper than the coarse-to-fine rounds, each a pass over
    // the window, wherever the span fits, even in windows of a few pixels.
    const long long span = static_cast<long long>(d_hi) - d_lo + 1;
    if (span <= thread_scratch::dense_bins) {
        const int bins = static_cast<int>(span);
        // Four histograms pay for their clearing in wide windows only.
        m = thread_scratch::dense_histograms(count) == 4
                ? dense_search<4>(scratch.dense.get(), bins, d_lo, clamp_lo, job.below, job.above,
                                  rows)
                : dense_search<2>(scratch.dense.get(), bins, d_lo, clamp_lo, job.below, job.above,
                                  rows);
    } else {
        // Levels spread wide: coarse bins first, then the levels inside the
        // one that holds the crossing.
        m = coarse_to_fine(scratch.dense.get(), span, static_cast<int>(count), job.below, job.above,
                           [&](auto add) {
                               rows([&](const int *ds, const float *est, int n) {
                                   for (int k = 0; k < n; ++k)
                                       add(static_cast<long long>(std::max(ds[k], clamp_lo)) - d_lo,
                                           est[static_cast<std::ptrdiff_t>(k) * lanes]);
                               });
                           });
    }
    if (m < 0) return false;
    job.result_arr[static_cast<std::ptrdiff_t>(wr.i) * job.width + x] = d_lo + static_cast<int>(m);
    return true;
}

namespace {

// The search's view of one group (bin_lanes, estimate_lanes.h): each lane's
// levels lo .. lo + 2^shift - 1 of its bin, and the thread's room for kept
// neighbours.
dispsmooth::bin_lanes halving_of(const dispsmooth::engine_job &job,
                                 dispsmooth::thread_scratch &scratch,
                                 const dispsmooth::window_rows &wr,
                                 const dispsmooth::settled_bins &g, int *lo) {
    for (int l = 0; l < lanes; ++l) lo[l] = g.bin[l] << job.lane.coarse_shift;
    return {g.estimates,
            job.disp_arr,
            job.width,
            job.reach_x,
            wr.y_lo,
            wr.y_hi,
            g.j,
            dispsmooth::group_clipped(job, g.j),
            job.lane.coarse_shift,
            g.mask,
            lo,
            g.below,
            g.total,
            job.lane.below,
            job.lane.above,
            scratch.kept_neighbours.get()};
}

void store_levels(const dispsmooth::engine_job &job, const dispsmooth::window_rows &wr, int j,
                  unsigned settled, const int *level) {
    for (unsigned left = settled; left != 0; left &= left - 1) {
        const int l = std::countr_zero(left);
        job.result_arr[static_cast<std::ptrdiff_t>(wr.i) * job.width + j + l] = level[l];
    }
}

}  // namespace

// Every sum the search inside bins compares is one of the window's
// estimates, each taken once, added in float in some order (the first
// pass's below the bin, a round's in scan order, or a relative round's sum
// over a lane's interval added to the sum below it), which is all the bound
// of settle_margins.h for float sums asks; a level m is settled only where
// the sum below it is less than below * total and the sum below m + 1 more
// than above * total: a round's, or the first pass's below the next bin,
// which its own test found so.
unsigned dispsmooth::settle_within_bins(const engine_job &job, thread_scratch &scratch,
                                        const window_rows &wr, const settled_bins &g) {
    int lo[lanes], level[lanes];
    const unsigned settled = job.bisect_bins(halving_of(job, scratch, wr, g, lo), level);
    store_levels(job, wr, g.j, settled, level);
    return settled;
}

unsigned dispsmooth::settle_within_bin_pairs(const engine_job &job, thread_scratch &scratch,
                                             const window_rows &wr, const settled_bins &a,
                                             const settled_bins &b) {
    int lo_a[lanes], lo_b[lanes], level_a[lanes], level_b[lanes];
    const unsigned settled =
        job.bisect_pairs(halving_of(job, scratch, wr, a, lo_a),
                         halving_of(job, scratch, wr, b, lo_b), level_a, level_b);
    store_levels(job, wr, a.j, settled & 0xFFU, level_a);
    store_levels(job, wr, b.j, settled >> lanes, level_b);
    return settled;
}
