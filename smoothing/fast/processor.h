// The processor family the fast smoothing is built for.  DISPSMOOTH_X86 is 1
// on x86 (32- or 64-bit): only there is the AVX2 first pass
// (estimate_lanes_avx2.cpp) built and the processor asked at run time
// whether it has AVX2 and FMA.  Elsewhere it is 0, and every pixel takes an
// exact path (README.md in this folder).  Vector code that needs no more
// than SSE2 tests __SSE2__ itself and has a plain equivalent beside it.
//
// Preprocessor only: estimate_lanes_avx2.cpp, built with its own vector
// flags, includes it.
#ifndef DISPSMOOTH_SMOOTHING_FAST_PROCESSOR_H
#define DISPSMOOTH_SMOOTHING_FAST_PROCESSOR_H

#if defined(__x86_64__) || defined(__i386__)
#define DISPSMOOTH_X86 1
#else
#define DISPSMOOTH_X86 0
#endif

#endif
