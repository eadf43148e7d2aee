// How many pixels one call of the fast weighted median settled from
// estimated weights, without forming their exact histogram.  A caller that
// asks (the benchmarks, the tests) passes one to run_weighted_median_fast or
// smooth_disparity_fast, which fill it in for that call alone.
#ifndef DISPSMOOTH_SMOOTHING_FAST_SETTLE_STATS_H
#define DISPSMOOTH_SMOOTHING_FAST_SETTLE_STATS_H

namespace dispsmooth {

struct settle_stats {
    long long pixels = 0;      // output pixels computed
    long long settled = 0;     // of those, settled without the exact path
    long long first_pass = 0;  // of those, settled by the first pass alone
    // Window pixels summed for them, over every path each took: the first
    // pass's rows (it may stop early), then the whole window again for each
    // later pass.  Divided by pixels, the window work per output pixel.
    long long window_work = 0;
};

}  // namespace dispsmooth

#endif
