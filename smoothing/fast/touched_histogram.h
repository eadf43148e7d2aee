// Weighted disparity histogram of weighted_median_fast that clears, sums and
// searches only the bins a window touched.
//
// The bins hold exactly what weighted_histo's histogram holds: every
// contribution is added to its bin in the caller's scan order, and a bin no
// contribution reached stays +0.0.  Weights are exp() results, never
// negative and never -0.0, so a skipped bin or a skipped weight of +0.0
// would only have added +0.0, which changes no sum (x + 0.0 == x for every x
// that is not -0.0, NaN and infinities included).  The sums over the touched
// bins in ascending order are therefore the very sums median_histo forms
// over all bins, and the search below finds the index median_histo finds.
//
// Touched bins are recorded in a bitmap (one bit per bin) with a second
// level of one bit per bitmap word, so that visiting them in ascending order
// costs a few word scans for the usual 256 bins and stays cheap for wide
// disparity ranges.
#ifndef DISPSMOOTH_SMOOTHING_FAST_TOUCHED_HISTOGRAM_H
#define DISPSMOOTH_SMOOTHING_FAST_TOUCHED_HISTOGRAM_H

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "common/buffer.h"
#include "smoothing/fast/settle_margins.h"

namespace dispsmooth {

class touched_histogram {
public:
    // A histogram of nbins bins, all +0.0, of which at most most_touched
    // receive contributions between two medians (the pixels of a window).
    // The bins are one block of nbins doubles allocated like
    // weighted_median's own histogram.
    touched_histogram(std::size_t nbins, std::size_t most_touched)
        : bins_(allocate_buffer<double>(nbins, "disparity histogram")),
          nwords_((nbins + 63) / 64),
          ngroups_((nwords_ + 63) / 64),
          words_(allocate_buffer<std::uint64_t>(nwords_, "disparity histogram bitmap")),
          groups_(allocate_buffer<std::uint64_t>(ngroups_, "disparity histogram bitmap")),
          touched_(allocate_buffer<std::uint32_t>(std::min(nbins, most_touched),
                                                  "disparity histogram bitmap")) {}

    double *bins() { return bins_.get(); }

    // Records that bin b holds a contribution.
    void mark(std::size_t b) {
        words_[b >> 6] |= std::uint64_t{1} << (b & 63);
        groups_[b >> 12] |= std::uint64_t{1} << ((b >> 6) & 63);
    }

    // The index median_histo returns for the histogram, then every touched
    // bin back to +0.0.  Returns -1 where median_histo would end the run: a
    // total that is zero or not a number, a search that runs past the last
    // bin, or a repeated search that disagrees.
    long long median_index_and_clear() {
        const std::size_t count = collect_touched();
        double total = 0.0;
        for (std::size_t t = 0; t < count; ++t) total += bins_[touched_[t]];
        const double half = 0.5 * total;
        const long long k = search(half, count);
        const long long again = search(half, count);
        clear(count);
        if (k < 0 || !(half > 0) || again != k) return -1;
        return k;
    }

    // For a histogram of estimated weights: the first bin m whose cumulative
    // sum exceeds above * total, provided the sum of the bins before it is
    // below below * total (see settle_margins.h); otherwise -1, as for a
    // total that is not a number.  Then every touched bin back to +0.0.
    long long crossing_index_and_clear(double below, double above) {
        const std::size_t count = collect_touched();
        double total = 0.0;
        for (std::size_t t = 0; t < count; ++t) total += bins_[touched_[t]];
        const long long k = settled_bin(count, total, below, above,
                                        [&](std::size_t t) { return bins_[touched_[t]]; });
        const long long m = k < 0 ? -1 : static_cast<long long>(touched_[k]);
        clear(count);
        return m;
    }

private:
    // Lists the touched bins in ascending order, read once from the bitmap
    // (which is cleared on the way), and returns their count.
    std::size_t collect_touched() {
        std::size_t count = 0;
        for (std::size_t g = 0; g < ngroups_; ++g) {
            for (std::uint64_t gbits = groups_[g]; gbits != 0; gbits &= gbits - 1) {
                const std::size_t w = g * 64 + static_cast<std::size_t>(std::countr_zero(gbits));
                for (std::uint64_t bits = words_[w]; bits != 0; bits &= bits - 1)
                    touched_[count++] = static_cast<std::uint32_t>(
                        w * 64 + static_cast<std::size_t>(std::countr_zero(bits)));
                words_[w] = 0;
            }
            groups_[g] = 0;
        }
        return count;
    }

    void clear(std::size_t count) {
        for (std::size_t t = 0; t < count; ++t) bins_[touched_[t]] = 0.0;
    }

    // First touched bin whose cumulative weight reaches half, or -1.
    long long search(double half, std::size_t count) const {
        double cum = 0.0;
        for (std::size_t t = 0; t < count; ++t) {
            cum += bins_[touched_[t]];
            if (!(half > cum)) return static_cast<long long>(touched_[t]);
        }
        return -1;
    }

    buffer_ptr<double> bins_;
    std::size_t nwords_, ngroups_;
    buffer_ptr<std::uint64_t> words_, groups_;
    buffer_ptr<std::uint32_t> touched_;  // bin numbers fit 32 bits
};

}  // namespace dispsmooth

#endif
