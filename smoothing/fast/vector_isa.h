// Which vector path the fast weighted median takes, decided here alone: the
// processor family it is built for, what the processor offers, the tests'
// override and the environment's (README.md in this folder, "Choosing the
// vector path").  Every path gives the same results to the last bit.
//
// Declarations and constants only: estimate_lanes_avx2.cpp, built with its
// own vector flags, includes this header, so it must hold no code that the
// linker could pick from there for the rest of the library.
#ifndef DISPSMOOTH_SMOOTHING_FAST_VECTOR_ISA_H
#define DISPSMOOTH_SMOOTHING_FAST_VECTOR_ISA_H

// 1 on x86 (32- or 64-bit), the one family for which the AVX2 first pass is
// built; 0 elsewhere.  For the preprocessor, around code that compiles for
// x86 alone (the processor probe, the AVX2 intrinsics); C++ code asks
// x86_build.  Vector code that needs no more than SSE2 tests __SSE2__ itself
// and has a plain equivalent beside it (guide_rows.h).
#if defined(__x86_64__) || defined(__i386__)
#define DISPSMOOTH_X86 1
#else
#define DISPSMOOTH_X86 0
#endif

namespace dispsmooth {

inline constexpr bool x86_build = DISPSMOOTH_X86 == 1;

// baseline: what every processor of the family runs (SSE2 on x86-64, plain
// C++ and generic vectors elsewhere); avx2: AVX2 and FMA, on x86 alone.
enum class vector_isa { baseline = 0, avx2 = 1 };

// The best path this processor offers, asked once, unless the environment
// variable DISPSMOOTH_FORCE_PORTABLE is "1" when it is first called (then
// baseline for the rest of the process); capped by limit_vector_isa.
vector_isa available_vector_isa();

// The tests' override: caps available_vector_isa() at most for the calls
// that start after it, so that every path can run on one machine.
// limit_vector_isa(vector_isa::avx2) lifts the cap.
void limit_vector_isa(vector_isa most);

// Whether the AVX2 first pass may run in a call on rows of width pixels:
// available_vector_isa() is avx2 and a row holds a group of lanes.  The
// engine asks this once per call, and nothing else.
bool first_pass_may_run(int width);

}  // namespace dispsmooth

#endif
