#include "smoothing/fast/vector_isa.h"

#include <algorithm>

#include "smoothing/fast/processor.h"

namespace dispsmooth {

vector_isa available_vector_isa() {
#if DISPSMOOTH_X86
    static const vector_isa processor =
        __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") ? vector_isa::avx2
                                                                        : vector_isa::baseline;
#else
    // The AVX2 first pass exists on x86 alone.
    constexpr vector_isa processor = vector_isa::baseline;
#endif
    return static_cast<vector_isa>(
        std::min(static_cast<int>(processor), vector_isa_limit.load(std::memory_order_relaxed)));
}

}  // namespace dispsmooth
