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

// The vector code paths of this processor: the best one, and the baseline
// one every processor of its family runs (the only one off x86).
inline std::vector<dispsmooth::vector_isa> code_paths() {
    dispsmooth::limit_vector_isa(dispsmooth::vector_isa::avx2);
    std::vector<dispsmooth::vector_isa> paths{dispsmooth::available_vector_isa()};
    if (paths[0] != dispsmooth::vector_isa::baseline)
        paths.push_back(dispsmooth::vector_isa::baseline);
    return paths;
}

}  // namespace test_support

#endif
