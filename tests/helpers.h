// Small helpers of the test files that reach into the library: header-only,
// so that the shared test support needs none of the library's layers.
#ifndef DISPSMOOTH_TESTS_HELPERS_H
#define DISPSMOOTH_TESTS_HELPERS_H

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
    dispsmooth::limit_vector_isa(dispsmooth::vector_isa::avx2);
    // The best path and every one below it: on x86 with AVX2 the plain
    // first pass runs too, as it does on Arm.
    std::vector<dispsmooth::vector_isa> paths;
    for (int path = static_cast<int>(dispsmooth::available_vector_isa()); path >= 0; --path)
        paths.push_back(static_cast<dispsmooth::vector_isa>(path));
    return paths;
}

}  // namespace test_support

#endif
