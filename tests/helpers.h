// Small helpers of the test files that reach into the library: header-only,
// so that the shared test support needs none of the library's layers.
#ifndef DISPSMOOTH_TESTS_HELPERS_H
#define DISPSMOOTH_TESTS_HELPERS_H

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "dispsmooth/dispsmooth.hpp"
#include "smoothing/fast/vector_isa.h"

namespace test_support {

// What the call threw as a dispsmooth::error, or "" when it threw nothing.
template <class F>
std::string refusal(F &&call) {
    try {
        call();
    } catch (const dispsmooth::error &e) {
        return e.what();
    }
    return "";
}

// The vector code paths of this processor, best first, down to the
// baseline one every processor of its family runs.
inline std::vector<dispsmooth::vector_isa> code_paths() {
    dispsmooth::limit_vector_isa(dispsmooth::vector_isa::avx512);
    // The best path and every one below it: on x86 with AVX2 the plain
    // first pass runs too, as it does on Arm.
    std::vector<dispsmooth::vector_isa> paths;
    for (int path = static_cast<int>(dispsmooth::available_vector_isa()); path >= 0; --path)
        paths.push_back(static_cast<dispsmooth::vector_isa>(path));
    return paths;
}

// W(outer) - W(inner) of the window of radius radius around (px, py),
// clipped to the w x h image, under one colour: the neighbours for which
// counts(x, y) holds weigh exp(-(0 / 400 + S / sigma^2)), as the smoothing
// weighs them, on the outer side where outer(x, y) holds.
template <class Outer, class Counts>
double weight_imbalance(int w, int h, int px, int py, int radius, double sigma, Outer outer,
                        Counts counts) {
    double outside = 0, inside = 0;
    for (int y = std::max(0, py - radius); y <= std::min(h - 1, py + radius); ++y)
        for (int x = std::max(0, px - radius); x <= std::min(w - 1, px + radius); ++x) {
            if (!counts(x, y)) continue;
            const int s2 = (x - px) * (x - px) + (y - py) * (y - py);
            (outer(x, y) ? outside : inside) += std::exp(-(0.0 / 400.0 + s2 / (sigma * sigma)));
        }
    return outside - inside;
}

// The log of the spatial sigma at which imbalance(sigma), negative at
// exp(log_lo) and positive at exp(log_hi), changes sign: 80 bisection steps
// on the log.  NaN where the ends do not have those signs.
template <class F>
double log_sigma_of_balance(F imbalance, double log_lo, double log_hi) {
    if (!(imbalance(std::exp(log_lo)) < 0) || !(imbalance(std::exp(log_hi)) > 0))
        return std::nan("");
    for (int step = 0; step < 80; ++step) {
        const double mid = 0.5 * (log_lo + log_hi);
        (imbalance(std::exp(mid)) < 0 ? log_lo : log_hi) = mid;
    }
    return log_lo;
}

}  // namespace test_support

#endif
