// Speed of the smoothing: the straightforward composition
// (smooth_disparity_weighted_median_reference) against the fast one
// (smooth_disparity_weighted_median) on a generated 1000 x 1000 scene and on
// uniform noise, at radius 1, 2, 5, 9 and 15, the fast one at 1 and 2
// threads; and the 3x3 prefilter of the three colour channels alone.  Counters: megapixels per second
// (MP/s) and seconds per megapixel (s/MP).
//
// The straightforward evaluation at radius 9 and 15 runs on the top-left
// 500 x 500 and 250 x 250 of the same scene (it takes about 10 s and 25 s
// per megapixel there); its figures are per megapixel all the same.
#include <benchmark/benchmark.h>
#include <omp.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "fast/guide_rows.h"
#include "fast/pack_filtered_guide.h"
#include "dispsmooth/smoothing.h"
#include "make_scene.h"

namespace {

constexpr int side = 1000;
constexpr double sigma_space = 9.0, sigma_color = 20.0;  // as in the example scene

// The scene of a kind cut to its top-left size x size pixels.
const bench::scene &scene_of(bench::scene_kind kind, int size) {
    static std::map<std::pair<int, int>, bench::scene> cache;
    const auto key = std::make_pair(static_cast<int>(kind), size);
    auto it = cache.find(key);
    if (it != cache.end()) return it->second;
    static std::map<int, bench::scene> full;
    if (!full.count(static_cast<int>(kind)))
        full[static_cast<int>(kind)] = bench::make_scene(kind, side, side);
    const bench::scene &f = full[static_cast<int>(kind)];
    bench::scene cut;
    cut.width = cut.height = size;
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x) {
            const std::size_t p = static_cast<std::size_t>(y) * side + x;
            cut.disp.push_back(f.disp[p]);
            for (int c = 0; c < 3; ++c) cut.image.push_back(f.image[3 * p + c]);
        }
    return cache.emplace(key, std::move(cut)).first->second;
}

void set_counters(benchmark::State &state, const bench::scene &s) {
    const double megapixels = static_cast<double>(s.width) * s.height / 1e6;
    state.counters["MP/s"] = benchmark::Counter(megapixels, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["s/MP"] = benchmark::Counter(
        megapixels, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

template <bool fast>
void smooth(benchmark::State &state, bench::scene_kind kind, int radius, int threads, int size) {
    const bench::scene &s = scene_of(kind, size);
    omp_set_num_threads(threads);
    std::vector<int> disp;
    for (auto _ : state) {
        state.PauseTiming();  // a fresh input map for every run, not timed
        disp = s.disp;
        state.ResumeTiming();
        if (fast)
            smooth_disparity_weighted_median(s.width, s.height, s.image.data(), disp.data(), 0, 255,
                                             radius, sigma_space, sigma_color);
        else
            smooth_disparity_weighted_median_reference(s.width, s.height, s.image.data(),
                                                       disp.data(), 0, 255, radius, sigma_space,
                                                       sigma_color);
        benchmark::DoNotOptimize(disp.data());
    }
    set_counters(state, s);
}

// The 3x3 median of the three colour channels: straightforward, channel by
// channel as the straightforward composition runs it; fast, as the fast
// composition runs it, in one pass into the packed guide.
template <bool fast>
void prefilter(benchmark::State &state, int threads) {
    const bench::scene &s = scene_of(bench::scene_kind::natural, side);
    omp_set_num_threads(threads);
    const std::size_t n = s.disp.size();
    std::vector<int> channel(n), filtered(n);
    std::vector<std::uint8_t> packed(dispsmooth::packed_row_bytes(s.width) *
                                     static_cast<std::size_t>(s.height));
    for (auto _ : state) {
        if (fast) {
            benchmark::DoNotOptimize(
                dispsmooth::pack_filtered_guide(s.width, s.height, s.image.data(), packed.data()));
            benchmark::DoNotOptimize(packed.data());
            continue;
        }
        for (int c = 0; c < 3; ++c) {
            for (std::size_t p = 0; p < n; ++p) channel[p] = s.image[3 * p + c];
            median(s.width, s.height, channel.data(), 1, filtered.data());
            benchmark::DoNotOptimize(filtered.data());
        }
    }
    set_counters(state, s);
}

}  // namespace

int main(int argc, char **argv) {
    const std::pair<bench::scene_kind, const char *> kinds[] = {
        {bench::scene_kind::natural, "natural"}, {bench::scene_kind::noise, "noise"}};
    for (const auto &[kind, name] : kinds) {
        for (int radius : {1, 2, 5, 9, 15}) {
            const std::string base = std::string("smooth/") + name + "/radius:" + std::to_string(radius);
            const int ref_size = radius <= 5 ? side : radius <= 9 ? 500 : 250;
            benchmark::RegisterBenchmark((base + "/reference").c_str(), smooth<false>, kind, radius, 1, ref_size)
                ->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
            for (int threads : {1, 2})
                benchmark::RegisterBenchmark((base + "/fast/threads:" + std::to_string(threads)).c_str(),
                                             smooth<true>, kind, radius, threads, side)
                    ->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);
        }
    }
    benchmark::RegisterBenchmark("prefilter_3x3/reference", prefilter<false>, 1)
        ->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);
    for (int threads : {1, 2})
        benchmark::RegisterBenchmark(("prefilter_3x3/fast/threads:" + std::to_string(threads)).c_str(),
                                     prefilter<true>, threads)
            ->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
