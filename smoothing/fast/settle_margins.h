// How far an estimated cumulative weight must lie from half the estimated
// total before the fast weighted median may settle a pixel without its exact
// histogram: the error bound of the estimates, and the factors derived from
// it.
//
// median_histo returns the first bin m whose cumulative weight reaches half
// the total: W(d < m) < total / 2 <= W(d <= m), in its double sums.  The
// fast passes estimate W(d < m), W(d <= m) and the total from estimated
// weights, and settle m when
//     estimate of W(d < m)  <  below * estimate of the total, and
//     estimate of W(d <= m) >  above * estimate of the total.
//
// The error of one estimated weight (estimate_lanes_avx2.cpp).  The estimate
// is 2^(t' - 127) with t' = C colour_exponent + space_exponent[offset] in
// single precision, the exact weight 2^(t'' - 127) with t'' the exact
// exponent.  Where the estimate is not 0, 1 <= t' <= 127, and:
//   - space_exponent holds 127 - log2(e) S / sigma_space^2 rounded to float,
//     at most 2^-18 off (half a unit in the last place below 128);
//   - colour_exponent is -log2(e) / sigma_color^2 rounded to float, relative
//     error 2^-24 (plus 2^-50 from the double steps before), so the product
//     C colour_exponent, at most 126 in magnitude there, is at most
//     126 * 2^-24 off;
//   - the fused multiply-add rounds once, at most 2^-18 off;
// so |t' - t''| <= 2 * 2^-18 + 126 * 2^-24 < 1.52e-5, a relative error of
// 2^1.52e-5 - 1 < 1.06e-5 in the weight.  2^(e - 127) is exact, f = t' - e is
// exact, and the polynomial for 2^f, evaluated in float, is within 2.8e-6
// relative for every float f in [0, 1); the product of the two is exact.
// So every estimate that is not 0 lies within eps_w = 1.34e-5 of the weight,
// relatively.  An estimate of 0 stands for a weight below 2^-126; the at most
// 127^2 of them in a window add up to less than 2^-112, and the total weight
// is at least 1 (the centre's own weight), so they amount to less than
// 2^-112 of the total.  Not-a-number sigmas make every sum not a number,
// which settles nothing (the comparisons are ordered).
//
// The error of a sum of N non-negative terms, added one by one in any order
// in a precision of unit roundoff u: at most gamma = (N - 1) u / (1 - (N - 1) u)
// of the sum.  The lane sums are in float (u = 2^-24), the second pass's in
// double (u = 2^-53); the product below * total rounds once more (u).
//
// With these, for any set A of window pixels, W(A) <= est(A) / ((1 - eps_w)
// (1 - gamma)) + 2^-112 total and est(total) <= total (1 + eps_w)(1 + gamma),
// so the first condition gives
//     W(d < m) < below (1 + u)(1 + eps_w)(1 + gamma) / ((1 - eps_w)(1 - gamma)) total
//                + 2^-112 total,
// and symmetrically for the second.  The factors are chosen so that this is
//     W(d < m) < (1 - 1e-9) total / 2   and   W(d <= m) > (1 + 1e-9) total / 2.
// median_histo's double sums over at most 16129 terms are within 4e-12 of
// these relatively, so its search passes every bin below m and stops at m,
// its total is positive, and its repeated search agrees: it returns m.
//
// For a window of 11 x 11 pixels the float margin comes to about 2.1e-5 of
// the total on either side of the half, 7.1e-5 for 31 x 31; the double
// margin to 1.34e-5.  Only windows that close to a tie fall to the exact
// path.
//
// Stopping early.  The first pass sums a window in square rings from the
// centre outwards and, after ring n, may settle a lane before the rings
// beyond are summed.  Let R be a bound on the exact weight of every offset
// beyond ring n (run_weighted_median_fast.cpp, weight_bounds: a
// neighbour's weight is at most its weight at colour distance 0), T and B
// the exact weights of the rings summed and of those of their pixels below
// m, and x <= R, y <= x the weights still to come in all and below m.  The
// window's W(d < m) = B + y and total T + x, and
//     B + y - (T + x) / 2  <=  B + R - (T + R) / 2,
// so W(d < m) < total / 2 follows from B + R < (T + R) / 2: the test above
// with R added to both sums, as one more term of exact value (the sums are
// then of at most the window's count of terms, so the same factors hold).
// Likewise W(d <= m) >= B' > (T + R) / 2 >= total / 2 follows from the
// test with R added to the total alone.  Each keeps its margin of 1e-9 of
// T + R, which is at least the total.  After the last ring R is 0 and the
// tests are the plain ones (adding +0.0 changes no float sum).
//
// A lane that finishes its window alone (ring_tail, estimate_lanes.h) forms
// its sums in another order: its group's sums of the rings before, plus
// eight partial sums of the rings since, added up in a tree.  The bound on
// the error of a sum holds for any order and grouping of the additions of
// its N terms, and the padding's estimates are +0.0, whose additions round
// nothing; so the same factors hold for these sums, and the same R after
// each ring.
#ifndef DISPSMOOTH_SMOOTHING_FAST_SETTLE_MARGINS_H
#define DISPSMOOTH_SMOOTHING_FAST_SETTLE_MARGINS_H

#include <cstddef>

namespace dispsmooth {

struct settle_factors {
    float below_float, above_float;     // for sums in float (the lanes)
    double below_double, above_double;  // for sums in double (the second pass)
};

// The factors for windows of at most window_pixels pixels (at most 127^2).
settle_factors settle_margins(std::size_t window_pixels);

// The settling test on the count bins of a histogram of estimates in
// ascending order, bin(k) giving the value of the k-th: the first k whose
// cumulative sum exceeds above * total, provided the bins before it sum to
// less than below * total; else -1 (also for a total that is not a number).
template <class Bin>
long long settled_bin(std::size_t count, double total, double below, double above, Bin bin) {
    const double lo = below * total, hi = above * total;
    double cum = 0.0;
    for (std::size_t k = 0; k < count; ++k) {
        const double before = cum;
        cum += bin(k);
        if (cum > hi) return before < lo ? static_cast<long long>(k) : -1;
    }
    return -1;
}

}  // namespace dispsmooth

#endif
