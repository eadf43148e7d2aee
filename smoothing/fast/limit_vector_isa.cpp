#include "smoothing/fast/vector_isa.h"

namespace dispsmooth {

std::atomic<int> vector_isa_limit{static_cast<int>(vector_isa::avx2)};

void limit_vector_isa(vector_isa most) {
    vector_isa_limit.store(static_cast<int>(most), std::memory_order_relaxed);
}

}  // namespace dispsmooth
