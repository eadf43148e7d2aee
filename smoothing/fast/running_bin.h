// The bin being summed by the exact paths, kept in registers rather than in
// memory: consecutive additions to one bin (the common case) then avoid a
// store-to-load round trip.  acc is the value of the bin of disparity d,
// added to in the same order as the bin itself would be.
#ifndef DISPSMOOTH_SMOOTHING_FAST_RUNNING_BIN_H
#define DISPSMOOTH_SMOOTHING_FAST_RUNNING_BIN_H

#include <bit>
#include <cstddef>
#include <cstdint>

#include "smoothing/fast/touched_histogram.h"

namespace dispsmooth {

struct running_bin {
    int d;
    double acc;
};

// Adds weight w (its bits) of a neighbour of disparity d.  In a masked call
// (masked_levels, run_weighted_median_fast.h) a neighbour of level below 0
// is invalid and adds nothing, as a weight of +0.0 would.
template <bool masked = false>
inline void add_weight(touched_histogram &histo, double *bins, int min_d, std::uint64_t w, int d,
                       int &cur_d, double &acc) {
    if (w == 0) return;  // a weight of +0.0 adds nothing
    if constexpr (masked) {
        if (d < 0) return;
    }
    if (d != cur_d) {
        bins[static_cast<long long>(cur_d) - min_d] = acc;
        const std::size_t b = static_cast<std::size_t>(static_cast<long long>(d) - min_d);
        histo.mark(b);
        cur_d = d;
        acc = bins[b];
    }
    acc += std::bit_cast<double>(w);
}

// Closes the running bin and stores min_d plus median_histo's index for the
// histogram in *result, or returns false where median_histo would reject it.
inline bool finish_histogram(touched_histogram &histo, running_bin run, int min_d, int *result) {
    histo.bins()[static_cast<long long>(run.d) - min_d] = run.acc;
    const long long k = histo.median_index_and_clear();
    if (k < 0) return false;
    *result = min_d + static_cast<int>(k);
    return true;
}

}  // namespace dispsmooth

#endif
