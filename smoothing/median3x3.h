// The kernels of the 3x3 median, shared by median_fast (ints, and four ints
// at a time) and the guide packing (sixteen bytes at a time).
//
// The median of nine values is formed the classic way: sort each column of
// three, then take the median of the largest of the three column minima, the
// median of the three column medians and the smallest of the three column
// maxima.  Every result is then verified by its rank: v is element k / 2 of k
// values in ascending order when at most k / 2 of them lie below v and more
// than k / 2 at or below it, which holds for that element and for no other
// value.
//
// T is a scalar or a GCC vector; a comparison gives 1 for a scalar and -1 in
// every true lane of a vector, and the same code serves both.
#ifndef DISPSMOOTH_SMOOTHING_MEDIAN3X3_H
#define DISPSMOOTH_SMOOTHING_MEDIAN3X3_H

#include <type_traits>

namespace dispsmooth::median3x3 {

template <class T>
inline T lesser(T a, T b) {
    return a < b ? a : b;
}

template <class T>
inline T greater(T a, T b) {
    return a < b ? b : a;
}

template <class T>
inline T median3(T a, T b, T c) {
    return greater(lesser(a, b), lesser(greater(a, b), c));
}

// One column of three in ascending order.
template <class T>
inline void sort3(T a, T b, T c, T &lo, T &mid, T &hi) {
    const T t = lesser(a, b), u = greater(a, b);
    lo = lesser(t, c);
    const T v = greater(t, c);
    mid = lesser(u, v);
    hi = greater(u, v);
}

// The median of nine values from their three sorted columns.
template <class T>
inline T median_of_columns(T lo0, T lo1, T lo2, T mid0, T mid1, T mid2, T hi0, T hi1, T hi2) {
    return median3(greater(greater(lo0, lo1), lo2), median3(mid0, mid1, mid2),
                   lesser(lesser(hi0, hi1), hi2));
}

// Counts window value n for the rank check of v: into not_below when
// n >= v, into equal when n == v.  Start both at zero.  Unsigned vector
// counts let the compiler add the comparisons in any order.
template <class T, class C>
inline void count_rank(T n, T v, C &not_below, C &equal) {
    not_below += static_cast<C>(n >= v);
    equal += static_cast<C>(n == v);
}

// Non-zero (in a lane) where the counted v is not element k / 2 of its k
// values.  With below = k - not_below and at_or_below = below + equal, the
// conditions below <= k / 2 < at_or_below read not_below >= need and
// equal > not_below - need, need = k - k / 2.
// (For unsigned counts nb - need may wrap, but only where nb < need already
// reports the fault.)
template <class C, class K>
inline C rank_fault(C not_below, C equal, K k) {
    // Vector sums of comparisons are minus the counts.
    if constexpr (std::is_arithmetic_v<C>) {
        const K need = k - k / 2;
        return (not_below < need) | (equal <= not_below - need);
    } else {
        using lane = std::remove_cvref_t<decltype(not_below[0])>;
        const C nb = -not_below, eq = -equal;
        const lane need = static_cast<lane>(k - k / 2);
        return (nb < need) | (eq <= nb - need);
    }
}

}  // namespace dispsmooth::median3x3

#endif
