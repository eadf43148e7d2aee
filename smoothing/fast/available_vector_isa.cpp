#include "vector_isa.h"

#include <algorithm>

namespace dispsmooth {

vector_isa available_vector_isa() {
    static const vector_isa processor =
        __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") ? vector_isa::avx2
                                                                        : vector_isa::baseline;
    return static_cast<vector_isa>(
        std::min(static_cast<int>(processor), vector_isa_limit.load(std::memory_order_relaxed)));
}

}  // namespace dispsmooth
