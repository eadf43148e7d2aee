// Which vector instructions the fast smoothing may use: the best the
// processor offers, or less where limit_vector_isa asked for less (so that
// tests can run every code path on one machine).  Every path gives the same
// results to the last bit.
#ifndef DISPSMOOTH_SMOOTHING_FAST_VECTOR_ISA_H
#define DISPSMOOTH_SMOOTHING_FAST_VECTOR_ISA_H

#include <atomic>

namespace dispsmooth {

// baseline: what every processor of the family runs (SSE2 on x86-64, plain
// C++ and generic vectors elsewhere); avx2: AVX2 and FMA, on x86 alone.
enum class vector_isa { baseline = 0, avx2 = 1 };

vector_isa available_vector_isa();

// Caps available_vector_isa() at most, for the calls that start after it.
void limit_vector_isa(vector_isa most);

// The cap, as an int (vector_isa::avx2 when never limited).
extern std::atomic<int> vector_isa_limit;

}  // namespace dispsmooth

#endif
