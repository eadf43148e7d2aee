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

struct lane_constants;
struct lane_group;
struct bin_lanes;
using estimate_lanes_fn = unsigned (*)(const lane_constants &, const lane_group &, int *);
using bisect_bins_fn = unsigned (*)(const bin_lanes &, int *);
using estimate_pairs_fn = unsigned (*)(const lane_constants &, const lane_group &,
                                       const lane_group &, int *, int *);
using bisect_pairs_fn = unsigned (*)(const bin_lanes &, const bin_lanes &, int *, int *);

inline constexpr bool x86_build = DISPSMOOTH_X86 == 1;

// baseline: what every processor of the family runs (SSE2 on x86-64, plain
// C++ and generic vectors elsewhere), every pixel on an exact path;
// generic_lanes: the first and second passes, the first in plain C++ with
// fused multiply-adds (chosen where those are an instruction: every
// aarch64); avx2: the first pass in AVX2 and FMA, on x86 alone; avx512: the
// same, two groups side by side in AVX-512 vectors where both are inside
// the image.  Each path includes the ones below it, for the tests' override.
enum class vector_isa { baseline = 0, generic_lanes = 1, avx2 = 2, avx512 = 3 };

// The best path this processor offers, asked once, unless the environment
// variable DISPSMOOTH_FORCE_PORTABLE is "1" when it is first called (then
// baseline for the rest of the process); capped by limit_vector_isa.
vector_isa available_vector_isa();

// The tests' override: caps available_vector_isa() at most for the calls
// that start after it, so that every path can run on one machine.
// limit_vector_isa(vector_isa::avx512) lifts the cap.
void limit_vector_isa(vector_isa most);

// Whether a first pass may run in a call on rows of width pixels:
// available_vector_isa() is not baseline and a row holds a group of lanes.
bool first_pass_may_run(int width);

// The first pass of a call on rows of width pixels (estimate_lanes.h), or
// null where none may run.  The engine asks this once per call.
estimate_lanes_fn first_pass(int width);

// The search inside coarse bins that goes with the first pass pass (the
// AVX2 one with the AVX2 pass, else the plain one).
bisect_bins_fn within_bin_search(estimate_lanes_fn pass);

// The sweep of two groups side by side that goes with the first pass pass
// (estimate_lane_pairs_avx512 with the AVX2 pass where the path is avx512),
// or null: then every group is estimated alone.
estimate_pairs_fn first_pass_pairs(estimate_lanes_fn pass);

// The search inside coarse bins of two groups at once that goes with the
// two-group sweep pairs, or null where pairs is null.
bisect_pairs_fn within_bin_search_pairs(estimate_pairs_fn pairs);

}  // namespace dispsmooth

#endif
