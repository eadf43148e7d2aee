#include "smoothing/fast/vector_isa.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "smoothing/fast/estimate_lanes.h"

namespace {

using dispsmooth::vector_isa;

// The cap of limit_vector_isa, as an int.
std::atomic<int> vector_isa_limit{static_cast<int>(vector_isa::avx512)};

// What the processor runs.  The AVX2 first pass exists on x86 alone; the
// plain one is taken where the compiler has fused multiply-add as an
// instruction (__FP_FAST_FMAF: every aarch64), and not on an x86 without
// AVX2, where std::fma is a library routine.  The probe asks the operating
// system too whether it keeps the vector registers' state.
vector_isa processor_vector_isa() {
#if DISPSMOOTH_X86
    if (!__builtin_cpu_supports("avx2") || !__builtin_cpu_supports("fma"))
        return vector_isa::baseline;
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                   __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq")
               ? vector_isa::avx512
               : vector_isa::avx2;
#elif defined(__FP_FAST_FMAF)
    return vector_isa::generic_lanes;
#else
    return vector_isa::baseline;
#endif
}

// DISPSMOOTH_FORCE_PORTABLE set to exactly "1"; any other value, or none,
// leaves the choice to the processor.
bool portable_forced() {
    const char *value = std::getenv("DISPSMOOTH_FORCE_PORTABLE");
    return value != nullptr && std::strcmp(value, "1") == 0;
}

}  // namespace

vector_isa dispsmooth::available_vector_isa() {
    // The processor and the environment, read once for the whole process.
    static const vector_isa best =
        portable_forced() ? vector_isa::baseline : processor_vector_isa();
    return static_cast<vector_isa>(
        std::min(static_cast<int>(best), vector_isa_limit.load(std::memory_order_relaxed)));
}

void dispsmooth::limit_vector_isa(vector_isa most) {
    vector_isa_limit.store(static_cast<int>(most), std::memory_order_relaxed);
}

bool dispsmooth::first_pass_may_run(int width) { return first_pass(width) != nullptr; }

dispsmooth::bisect_bins_fn dispsmooth::within_bin_search(estimate_lanes_fn pass) {
#if DISPSMOOTH_X86
    if (pass == estimate_lanes_avx2) return bisect_bins_avx2;
#else
    (void)pass;
#endif
    return bisect_bins_generic;
}

dispsmooth::estimate_lanes_fn dispsmooth::first_pass(int width) {
    // Eight-pixel groups need rows of at least 8 pixels.
    if (width < lanes) return nullptr;
    switch (available_vector_isa()) {
    case vector_isa::avx512:
    case vector_isa::avx2:
#if DISPSMOOTH_X86
        return estimate_lanes_avx2;
#else
        [[fallthrough]];
#endif
    case vector_isa::generic_lanes:
        return estimate_lanes_generic;
    case vector_isa::baseline:
        break;
    }
    return nullptr;
}

dispsmooth::estimate_pairs_fn dispsmooth::first_pass_pairs(estimate_lanes_fn pass) {
#if DISPSMOOTH_X86
    if (pass == estimate_lanes_avx2 && available_vector_isa() == vector_isa::avx512)
        return estimate_lane_pairs_avx512;
#else
    (void)pass;
#endif
    return nullptr;
}

dispsmooth::bisect_pairs_fn dispsmooth::within_bin_search_pairs(estimate_pairs_fn pairs) {
#if DISPSMOOTH_X86
    if (pairs == estimate_lane_pairs_avx512) return bisect_bin_pairs_avx512;
#else
    (void)pairs;
#endif
    return nullptr;
}
