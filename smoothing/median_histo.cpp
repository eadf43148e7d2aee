#include "dispsmooth/smoothing.h"

namespace {

// Index search of the weighted median: from index k with cumulative weight
// cum, steps on while half exceeds the cumulative weight.  Returns n when
// the entries run out first.
long long search(long long n, const double *histo, double half, long long k, double cum) {
    while (half > cum) {
        ++k;
        if (k >= n) return n;
        cum += histo[k];
    }
    return k;
}

}  // namespace

int median_histo(int min_d, int max_d, const double *histo) {
    if (min_d > max_d) error_handler("median_histo");
    const long long n = static_cast<long long>(max_d) - min_d + 1;

    double total = 0.0;
    for (long long k = 0; k < n; ++k) total += histo[k];
    const double half = 0.5 * total;

    const long long k = search(n, histo, half, 0, histo[0]);
    if (k >= n) error_handler("median_histo");
    // Also catches a total that is zero or not a number.
    if (!(half > 0)) error_handler("median_histo");
    // The same search from an empty cumulative sum must agree.
    if (search(n, histo, half, -1, 0.0) != k) error_handler("median_histo");
    // An index beyond INT_MAX (only for a range wider than int) comes back
    // modulo 2^32; weighted_median adds it to min_d in the same arithmetic.
    return static_cast<int>(k);
}
